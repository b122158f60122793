"""EN 13757-3 records read by hand's rules: the DIF and DIFEs, the data types A to M, the VIF
tables (primary, 0xFB, 0xFD) and the orthogonal VIFEs, each record given as the conformance corpus
holds it. Written from the standard's tables, apart from the decoder under test; used by
corpus-records.py."""
import struct

FUNCTIONS = ["instantaneous", "maximum", "minimum", "error"]
TIME_UNITS = ["s", "min", "h", "d"]
SECONDS = {"s": 1, "min": 60, "h": 3600, "d": 86400}


class Unreadable(Exception):
    pass


# ---- the VIF tables: code -> (quantity, unit, exponent, kind) ----------------------------------
# kind: "scaled" (value x 10^exponent), "duration", "date", "datetime", "plain", "bits"

def primary(code):
    n = code & 0x07
    if code < 0x08: return ("Energy", "Wh", n - 3, "scaled")
    if code < 0x10: return ("Energy", "J", n, "scaled")
    if code < 0x18: return ("Volume", "m^3", n - 6, "scaled")
    if code < 0x20: return ("Mass", "kg", n - 3, "scaled")
    if code < 0x24: return ("On time", TIME_UNITS[code & 3], 0, "duration")
    if code < 0x28: return ("Operating time", TIME_UNITS[code & 3], 0, "duration")
    if code < 0x30: return ("Power", "W", n - 3, "scaled")
    if code < 0x38: return ("Power", "J/h", n, "scaled")
    if code < 0x40: return ("Volume flow", "m^3/h", n - 6, "scaled")
    if code < 0x48: return ("Volume flow", "m^3/min", n - 7, "scaled")
    if code < 0x50: return ("Volume flow", "m^3/s", n - 9, "scaled")
    if code < 0x58: return ("Mass flow", "kg/h", n - 3, "scaled")
    two = (code & 3) - 3
    if code < 0x5C: return ("Flow temperature", "°C", two, "scaled")
    if code < 0x60: return ("Return temperature", "°C", two, "scaled")
    if code < 0x64: return ("Temperature difference", "K", two, "scaled")
    if code < 0x68: return ("External temperature", "°C", two, "scaled")
    if code < 0x6C: return ("Pressure", "bar", two, "scaled")
    if code == 0x6C: return ("Date", "", 0, "date")
    if code == 0x6D: return ("Date and time", "", 0, "datetime")
    if code == 0x6E: return ("Units for H.C.A.", "", 0, "plain")
    if 0x70 <= code < 0x74: return ("Averaging duration", TIME_UNITS[code & 3], 0, "duration")
    if 0x74 <= code < 0x78: return ("Actuality duration", TIME_UNITS[code & 3], 0, "duration")
    if code == 0x78: return ("Fabrication number", "", 0, "plain")
    if code == 0x79: return ("Enhanced identification", "", 0, "plain")
    if code == 0x7A: return ("Bus address", "", 0, "plain")
    return None  # 0x6F reserved


def table_fb(code):
    if code in (0x00, 0x01): return ("Energy", "Wh", 5 + code, "scaled")        # 0.1 MWh, 1 MWh
    if code in (0x08, 0x09): return ("Energy", "J", 8 + (code & 1), "scaled")   # 0.1 GJ, 1 GJ
    if code in (0x10, 0x11): return ("Volume", "m^3", 2 + (code & 1), "scaled")
    if code in (0x18, 0x19): return ("Mass", "kg", 5 + (code & 1), "scaled")    # 100 t, 1000 t
    if code in (0x1A, 0x1B): return ("Relative humidity", "%", -1 + (code & 1), "scaled")
    if code == 0x21: return ("Volume", "ft^3", -1, "scaled")
    if code == 0x22: return ("Volume", "US gal", -1, "scaled")
    if code == 0x23: return ("Volume", "US gal", 0, "scaled")
    if code == 0x24: return ("Volume flow", "US gal/min", -3, "scaled")
    if code == 0x25: return ("Volume flow", "US gal/min", 0, "scaled")
    if code == 0x26: return ("Volume flow", "US gal/h", 0, "scaled")
    if code in (0x28, 0x29): return ("Power", "W", 5 + (code & 1), "scaled")    # 0.1 MW, 1 MW
    if code in (0x30, 0x31): return ("Power", "J/h", 8 + (code & 1), "scaled")  # GJ/h
    two = (code & 3) - 3
    if 0x58 <= code < 0x5C: return ("Flow temperature", "°F", two, "scaled")
    if 0x5C <= code < 0x60: return ("Return temperature", "°F", two, "scaled")
    if 0x60 <= code < 0x64: return ("Temperature difference", "°F", two, "scaled")
    if 0x64 <= code < 0x68: return ("External temperature", "°F", two, "scaled")
    if 0x70 <= code < 0x74: return ("Cold/warm temperature limit", "°F", two, "scaled")
    if 0x74 <= code < 0x78: return ("Cold/warm temperature limit", "°C", two, "scaled")
    if 0x78 <= code < 0x80: return ("Cumulative count max power", "W", (code & 7) - 3, "scaled")
    return None


FD_PLAIN = {
    0x08: "Access number", 0x09: "Medium", 0x0A: "Manufacturer",
    0x0B: "Parameter set identification", 0x0C: "Model/version", 0x0D: "Hardware version",
    0x0E: "Firmware version", 0x0F: "Software version", 0x10: "Customer location",
    0x11: "Customer", 0x12: "Access code user", 0x13: "Access code operator",
    0x14: "Access code system operator", 0x15: "Access code developer", 0x16: "Password",
    0x1E: "Retry", 0x20: "First storage number for cyclic storage",
    0x21: "Last storage number for cyclic storage", 0x22: "Size of storage block",
    0x3A: "Dimensionless", 0x60: "Reset counter", 0x61: "Cumulation counter",
    0x62: "Control signal", 0x63: "Day of week", 0x64: "Week number",
    0x65: "Time point of day change", 0x66: "State of parameter activation",
    0x67: "Special supplier information", 0x75: "Number of times the meter was stopped",
}
FD_BITS = {0x17: "Error flags", 0x18: "Error mask", 0x1A: "Digital output",
           0x1B: "Digital input"}
LONG_UNITS = ["h", "d", "month", "a"]


def table_fd(code):
    if code < 0x04: return ("Credit", "currency units", (code & 3) - 3, "scaled")
    if code < 0x08: return ("Debit", "currency units", (code & 3) - 3, "scaled")
    if code in FD_PLAIN: return (FD_PLAIN[code], "", 0, "plain")
    if code in FD_BITS: return (FD_BITS[code], "", 0, "bits")
    if code == 0x1C: return ("Baud rate", "Bd", 0, "scaled")
    if code == 0x1D: return ("Response delay time", "bit times", 0, "scaled")
    if 0x24 <= code < 0x28: return ("Storage interval", TIME_UNITS[code & 3], 0, "duration")
    if code == 0x28: return ("Storage interval", "month", 0, "duration")
    if code == 0x29: return ("Storage interval", "a", 0, "duration")
    if 0x2C <= code < 0x30:
        return ("Duration since last readout", TIME_UNITS[code & 3], 0, "duration")
    if code == 0x30: return ("Start of tariff", "", 0, "datetime")
    if 0x31 <= code < 0x34: return ("Duration of tariff", TIME_UNITS[code & 3], 0, "duration")
    if 0x34 <= code < 0x38: return ("Period of tariff", TIME_UNITS[code & 3], 0, "duration")
    if code == 0x38: return ("Period of tariff", "month", 0, "duration")
    if code == 0x39: return ("Period of tariff", "a", 0, "duration")
    if 0x40 <= code < 0x50: return ("Voltage", "V", (code & 0x0F) - 9, "scaled")
    if 0x50 <= code < 0x60: return ("Current", "A", (code & 0x0F) - 12, "scaled")
    if 0x68 <= code < 0x6C:
        return ("Duration since last cumulation", LONG_UNITS[code & 3], 0, "duration")
    if 0x6C <= code < 0x70: return ("Operating time battery", LONG_UNITS[code & 3], 0, "duration")
    if code == 0x70: return ("Date and time of battery change", "", 0, "datetime")
    if code == 0x71: return ("RF level", "dBm", 0, "scaled")
    if code == 0x74: return ("Remaining battery life time", "d", 0, "duration")
    return None


PER = ["/s", "/min", "/h", "/d", "/week", "/month", "/a", "/revolution", "/input pulse",
       "/input pulse", "/output pulse", "/output pulse", "/l", "/m^3", "/kg", "/K", "/kWh",
       "/GJ", "/kW", "/(K*l)", "/V", "/A", "*s", "*s/V", "*s/A"]


def is_time_point_vife(c):
    # E100 uf1b: date of a limit exceed; E110 1f1b: date of the first/last begin/end; E011 1001:
    # start date of
    return (c & 0x72) == 0x42 or (c & 0x7A) == 0x6A or c == 0x39


# ---- data types ----------------------------------------------------------------------------

def full_year(y):
    return 1900 + y if y > 80 else 2000 + y


def date_part(day_byte, month_byte):
    day, month = day_byte & 0x1F, month_byte & 0x0F
    y = ((day_byte & 0xE0) >> 5) | ((month_byte & 0xF0) >> 1)
    invalid = month < 1 or month > 12 or day < 1 or y > 99
    year = "-" if y > 99 else "%04d" % full_year(y)
    return "%s-%02d-%02d" % (year, month, day), invalid


def bcd(data):
    """Type A: digits low byte first; a top nibble F in the last byte is a minus sign."""
    if not data: return 0
    digits = []
    for i, b in enumerate(reversed(data)):
        hi, lo = b >> 4, b & 0x0F
        if i == 0 and hi == 0xF:
            if lo > 9: return None
            digits.append(-1); digits.append(lo)
            continue
        if hi > 9 or lo > 9: return None
        digits += [hi, lo]
    negative = digits and digits[0] == -1
    v = 0
    for d in digits[1:] if negative else digits:
        v = v * 10 + d
    return -v if negative else v


def time_point(coding, data, kind):
    """Types G (2 bytes date), F (4), I (6), J (3, time only), M-like BCD of 12 digits."""
    if kind == "date" and coding == 0x2:
        return date_part(data[0], data[1])
    if coding == 0x4:
        minute, hour = data[0] & 0x3F, data[1] & 0x1F
        d, invalid = date_part(data[2], data[3])
        invalid = invalid or bool(data[0] & 0x80) or minute > 59 or hour > 23
        return "%sT%02d:%02d:00" % (d, hour, minute), invalid
    if coding == 0x6:
        second, minute, hour = data[0] & 0x3F, data[1] & 0x3F, data[2] & 0x1F
        d, invalid = date_part(data[3], data[4])
        invalid = invalid or bool(data[1] & 0x80) or second > 59 or minute > 59 or hour > 23
        return "%sT%02d:%02d:%02d" % (d, hour, minute, second), invalid
    if coding == 0x3:
        second, minute, hour = data[0] & 0x3F, data[1] & 0x3F, data[2] & 0x1F
        return "%02d:%02d:%02d" % (hour, minute, second), second > 59 or minute > 59 or hour > 23
    if coding == 0xE:
        v = bcd(data)
        if v is None or v < 0: return None
        s, mi, h, d, mo, y = (v % 100, v // 100 % 100, v // 10**4 % 100, v // 10**6 % 100,
                              v // 10**8 % 100, v // 10**10 % 100)
        invalid = mo < 1 or mo > 12 or d < 1 or d > 31 or h > 23 or mi > 59 or s > 59
        return "%04d-%02d-%02dT%02d:%02d:%02d" % (full_year(y), mo, d, h, mi, s), invalid
    return None


FIELD_LENGTH = [0, 1, 2, 3, 4, 4, 6, 8, 0, 1, 2, 3, 4, None, 6, 0]


def number(coding, data, form, bits):
    if form in ("bcd", "-bcd"):
        v = bcd(data)
        return None if v is None else (v if form == "bcd" else -v)
    if form == "binary":
        return int.from_bytes(data, "little") if len(data) <= 8 else None
    if coding in (1, 2, 3, 4, 6, 7):
        return int.from_bytes(data, "little", signed=not bits)
    if coding == 5:
        return struct.unpack("<f", bytes(data))[0]
    if coding in (9, 0xA, 0xB, 0xC, 0xE):
        return bcd(data)
    return None


def scale(v, e):
    return v if e == 0 else (v * 10**e if e > 0 else v / 10**-e)


# ---- one record ----------------------------------------------------------------------------

def read_record(t, at, end):
    """The record at `at`: (record, next position, DIF/VIF bytes)."""
    start = at
    dif = t[at]; at += 1
    storage, tariff, subunit = (dif >> 6) & 1, 0, 0
    last, n = dif, 0
    while last & 0x80:
        if at >= end: raise Unreadable("the telegram ends inside the DIFE chain")
        last = t[at]; at += 1
        storage |= (last & 0x0F) << (1 + 4 * n)
        tariff |= ((last >> 4) & 3) << (2 * n)
        subunit |= ((last >> 6) & 1) << n
        n += 1
    if at >= end: raise Unreadable("the telegram ends before the VIF")
    vif = t[at]; at += 1
    plain_unit = None
    if vif & 0x7F == 0x7C:
        length = t[at]; at += 1
        plain_unit = bytes(t[at:at + length])[::-1].decode("latin-1"); at += length
    vifes = []
    last = vif
    while last & 0x80:
        if at >= end: raise Unreadable("the telegram ends inside the VIFE chain")
        last = t[at]; at += 1
        vifes.append(last)
    shape = bytes(t[start:at]) if plain_unit is None else None
    coding = dif & 0x0F
    length, form = FIELD_LENGTH[coding], None
    if coding == 0xD:
        lvar = t[at]; at += 1
        if lvar <= 0xBF: length, form = lvar, "text"
        elif lvar <= 0xCF: length, form = lvar & 0x0F, "bcd"
        elif lvar <= 0xDF: length, form = lvar & 0x0F, "-bcd"
        elif lvar <= 0xEF: length, form = lvar - 0xE0, "binary"
        elif lvar <= 0xF4: length, form = 4 * (lvar - 0xEC), "binary"
        elif lvar == 0xF5: length, form = 48, "binary"
        elif lvar == 0xF6: length, form = 64, "binary"
        else: raise Unreadable("reserved LVAR")
    if at + length > end: raise Unreadable("the data field runs past the telegram")
    data = list(t[at:at + length]); at += length
    record = interpret(dif, storage, tariff, subunit, vif, vifes, plain_unit, coding, form, data)
    return record, at, shape


def interpret(dif, storage, tariff, subunit, vif, vifes, plain_unit, coding, form, data):
    r = {"storage": storage, "tariff": tariff, "subunit": subunit,
         "function": FUNCTIONS[(dif >> 4) & 3]}
    code = vif & 0x7F
    first_orthogonal = 0
    unscaled = False
    if code == 0x7B or code == 0x7D:
        entry = (table_fb if code == 0x7B else table_fd)(vifes[0] & 0x7F) if vifes else None
        first_orthogonal = 1
        if entry is None: entry, unscaled = ("", "", 0, "unknown"), True
    elif code == 0x7C:
        entry = ("", plain_unit, 0, "unknown")
    elif code == 0x7E:
        entry = ("Any VIF", "", 0, "unknown")
    elif code == 0x7F:
        entry = ("Manufacturer specific", "", 0, "manufacturer")
    else:
        entry = primary(code)
        if entry is None: entry, unscaled = ("", "", 0, "unknown"), True
    quantity, unit, exponent, kind = entry
    suffix, correction, when, profile = "", 0, False, False
    if kind != "manufacturer":
        i = first_orthogonal
        while i < len(vifes):
            c = vifes[i] & 0x7F
            i += 1
            if c == 0x7C:      # the next byte is from the second extension table (phase...)
                i += 1
                continue
            if c == 0x7F:      # the rest is the maker's
                break
            if c in (0x1E, 0x1F): profile = True
            elif 0x20 <= c <= 0x38: suffix = PER[c - 0x20]
            elif is_time_point_vife(c): when = True
            elif 0x70 <= c <= 0x77: correction += (c & 7) - 6
            elif c == 0x7D: correction += 3
    r["quantity"], r["unit"] = quantity, unit + suffix
    if unscaled: r["unscaled"] = True
    if coding in (0x0, 0x8):
        r["value"] = None
        return r
    if profile:
        r["value"] = bytes(data).hex().upper()
        return r
    if kind in ("date", "datetime") or when:
        tp = time_point(coding, data, "datetime" if when else kind)
        if tp is not None:
            r["unit"] = ""
            r["value"] = tp[0]
            if tp[1]: r["invalid"] = True
            return r
    if when: r["unit"] = ""
    if form == "text":
        r["value"] = bytes(data)[::-1].decode("latin-1")
        return r
    v = number(coding, data, form, kind == "bits")
    if v is None:
        r["value"] = bytes(data).hex().upper()
        return r
    v = float(v)
    if kind == "scaled" and not when: v = scale(v, exponent)
    if kind == "duration" and unit in SECONDS:
        v *= SECONDS[unit]
        r["unit"] = "s" + suffix
    r["value"] = scale(v, correction)
    if r["value"] != r["value"]: r["value"] = "NaN"  # a real that is not a number; JSON has none
    elif r["value"] == 0: r["value"] = 0.0
    return r


def read_records(t, at, end):
    """Every record from `at` to `end`, and the DIF/VIF bytes of them all (a compact frame's
    format)."""
    records, shape = [], b""
    while at < end:
        dif = t[at]
        if dif == 0x2F:
            at += 1
            continue
        if dif in (0x0F, 0x1F):
            break
        if dif & 0x0F == 0x0F: raise Unreadable("a special DIF that is reserved here")
        r, at, s = read_record(t, at, end)
        records.append(r)
        if s is not None:
            shape += s
    return records, shape
