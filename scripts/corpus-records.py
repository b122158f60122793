#!/usr/bin/env python3
"""Works out the records of the conformance corpus' telegrams by hand's rules, not the decoder's.

A second reader of EN 13757-3 (data and value information blocks, data types A to M, the VIF
tables 10 to 16) and of the EN 13757-4 / OMS transport layers the corpus uses (short and long
transport headers, the extended link layer with its AES-CTR, the authentication and
fragmentation layer, security modes 5 and 7, frame formats A and B, and compact frames). It is
written from the standard's tables and shares nothing with the decoder
under test, so where the two disagree one of them misreads the standard and the table decides.
Names of quantities and units are this project's names for the standard's entries; durations in
seconds, minutes, hours and days are given in seconds, values scaled to the table's unit.

  corpus-records.py --check   compare with every record the corpus already holds (published by
                              its source or worked by hand) and with every value a source
                              published; print what disagrees
  corpus-records.py --write   add the records of entries that have published values only

Needs Python 3 and, for the enciphered telegrams, python3-cryptography.
"""
import argparse
import json
import struct
import sys
from pathlib import Path

CORPUS = Path(__file__).resolve().parent.parent / "tests" / "data" / "conformance.jsonl"
FUNCTIONS = ["instantaneous", "maximum", "minimum", "error"]
TIME_UNITS = ["s", "min", "h", "d"]
SECONDS = {"s": 1, "min": 60, "h": 3600, "d": 86400}


class Unreadable(Exception):
    pass


class NotReadHere(Exception):
    """A structure this reader leaves to the source's published records."""


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
    if kind == "duration" and unit in SECONDS and unit != "s":
        v *= SECONDS[unit]
        r["unit"] = "s" + suffix
    elif kind == "duration" and unit == "s":
        pass
    r["value"] = scale(v, correction)
    if r["value"] != r["value"]: r["value"] = "NaN"  # a real that is not a number; JSON has none
    elif r["value"] == 0: r["value"] = 0.0
    return r


def read_records(t, at, end):
    """Every record from `at` to `end`, and the DIF/VIF bytes of each (a compact frame's
    format), and the data bytes in order (what a compact frame carries)."""
    records, shape, data = [], b"", b""
    while at < end:
        dif = t[at]
        if dif == 0x2F:
            at += 1
            continue
        if dif in (0x0F, 0x1F):
            break
        if dif & 0x0F == 0x0F: raise Unreadable("a special DIF that is reserved here")
        before = at
        r, at, s = read_record(t, at, end)
        records.append(r)
        if s is not None:
            shape += s
            data += bytes(t[before + len(s):at])
    return records, shape, data


# ---- transport layers ----------------------------------------------------------------------

def crc16(data, final_xor):
    """EN 13757's CRC: polynomial 0x3D65, start 0."""
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x3D65) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc ^ final_xor


def strip_crcs(t):
    """A telegram with its block CRCs (EN 13757-4, high byte first) without them: frame format
    A (10 bytes, then blocks of 16, each with its CRC) or B (up to 126 bytes with one CRC over
    them, the rest with another), whichever holds."""
    def holds(block, crc):
        c = crc16(block, 0xFFFF)
        return crc == bytes([c >> 8, c & 0xFF])
    a, at, ok = b"", 0, True
    while at < len(t) and ok:
        n = 10 if at == 0 else min(16, len(t) - at - 2)
        ok = n > 0 and holds(t[at:at + n], t[at + n:at + n + 2])
        a += t[at:at + n]
        at += n + 2
    if ok and at == len(t):
        return a
    first = min(126, len(t) - 2)
    if holds(t[:first], t[first:first + 2]):
        if first + 2 == len(t):
            return t[:first]
        if holds(t[first + 2:-2], t[-2:]):
            return t[:first] + t[first + 2:-2]
    raise Unreadable("block CRCs that hold in neither frame format")


def cmac(key, message):
    from cryptography.hazmat.primitives.cmac import CMAC
    from cryptography.hazmat.primitives.ciphers import algorithms
    c = CMAC(algorithms.AES(key))
    c.update(message)
    return c.finalize()


def aes_cbc_decrypt(key, iv, data):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
    d = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    return d.update(data) + d.finalize()


def identity(ident, maker, version, medium):
    """The header fields of a meter's address: the identification number's BCD digits (as hex
    digits: a few meters send A-F), the maker's three letters (5 bits each; a code of 0 names no
    maker), version, medium."""
    code = maker[0] | (maker[1] << 8)
    letters = "".join(chr(((code >> s) & 0x1F) + 64) for s in (10, 5, 0)) if code else ""
    return {"identNumber": bytes(ident[::-1]).hex().upper(), "manufacturer": letters,
            "version": version, "medium": medium}


class Reader:
    """Reads wireless telegrams in corpus order, learning each meter's compact format."""

    def __init__(self):
        self.formats = {}  # (meter address bytes, signature) -> DIF/VIF bytes

    def wired(self, t):
        if t[0] != 0x68 or t[3] != 0x68 or t[-1] != 0x16: raise Unreadable("not a long frame")
        end = len(t) - 2
        ci = t[6]
        at = 7 + (12 if ci in (0x72, 0x76) else 4 if ci == 0x7A else 0)
        if ci in (0x73, 0x77): raise NotReadHere("a fixed data structure")
        if ci not in (0x72, 0x76, 0x7A): raise Unreadable("CI %02X" % ci)
        self.header = identity(t[7:11], t[11:13], t[13], t[14]) if at == 19 else {}
        self.header.update(accessNumber=t[at - 4], status=t[at - 3])
        return read_records(t, at, end)[0]

    def wireless(self, t, key, deciphered):
        afl = None
        address = bytes(t[2:10])  # M field and A field
        self.header = identity(t[4:8], t[2:4], t[8], t[9])
        at = 10
        while True:
            ci = t[at]
            if ci in (0x8C, 0x8D, 0x8E): self.header["accessNumber"] = t[at + 2]
            if ci == 0x8C: at += 3
            elif ci == 0x8D:
                if not deciphered: t = self.ell_ctr(t, at, key)
                at += 9
            elif ci == 0x8E: at += 11
            elif ci == 0x90:
                afl = self.authentication(t, at)
                at += 2 + t[at + 1]
            else: break
        at += 1
        t = bytearray(t)
        if ci == 0x78:
            records, shape, _ = read_records(t, at, len(t))
            self.learn(address, shape)
            return records
        if ci == 0x79:
            return self.compact(address, t, at)
        if ci == 0x7A:
            iv_address, header = address, 4
        elif ci == 0x72:
            h = t[at:at + 8]
            iv_address, header = bytes(h[4:6] + h[0:4] + h[6:8]), 12
            self.header = identity(h[0:4], h[4:6], h[6], h[7])  # the meter, not its radio
        else:
            raise Unreadable("CI %02X" % ci)
        tpl = at - 1
        access, cw = t[at + header - 4], t[at + header - 2] | (t[at + header - 1] << 8)
        self.header.update(accessNumber=access, status=t[at + header - 3])
        at += header
        mode, blocks = (cw >> 8) & 0x1F, (cw >> 4) & 0x0F
        if mode == 5 and blocks and not deciphered:
            if key is None: raise Unreadable("no key")
            n = 16 * blocks
            t[at:at + n] = aes_cbc_decrypt(bytes.fromhex(key), iv_address + bytes([access] * 8),
                                           bytes(t[at:at + n]))
            if t[at:at + 2] != b"\x2F\x2F": raise Unreadable("wrong key")
        elif mode == 7 and blocks and not deciphered:
            at = self.mode7(t, at, blocks, key, afl, tpl)
        elif mode not in (0, 5) and not deciphered:
            raise Unreadable("mode %d" % mode)
        records, shape, _ = read_records(t, at, len(t))
        self.learn(address, shape)
        return records

    @staticmethod
    def ell_ctr(t, at, key):
        """The extended link layer's AES-CTR (session number bits 29-31 not 0): the counter
        block is M, A, the CC field without its hop bit (a repeater sets it on the way), the
        session number, frame number 0 and block counter 0; the payload CRC (low byte first)
        over CI and what follows says the key was right."""
        sn = bytes(t[at + 3:at + 7])
        if sn[3] >> 5 == 0: return t
        if key is None: raise Unreadable("no key")
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        counter = bytes(t[2:10]) + bytes([t[at + 1] & ~0x10 & 0xFF]) + sn + bytes(3)
        c = Cipher(algorithms.AES(bytes.fromhex(key)), modes.CTR(counter)).decryptor()
        out = bytearray(t)
        out[at + 7:] = c.update(bytes(t[at + 7:])) + c.finalize()
        crc = crc16(bytes(out[at + 9:]), 0xFFFF)
        if out[at + 7:at + 9] != bytes([crc & 0xFF, crc >> 8]): raise Unreadable("wrong key")
        return out

    @staticmethod
    def authentication(t, at):
        """The authentication and fragmentation layer's message control and counter: FCL bits
        13 (MCL), 9 (key information), 11 (MCR) and 10 (MAC) say which fields follow."""
        fcl = t[at + 2] | (t[at + 3] << 8)
        i = at + 4
        mcl = bytes(t[i:i + 1]) if fcl & 0x2000 else b""
        i += len(mcl) + (2 if fcl & 0x0200 else 0)
        mcr = bytes(t[i:i + 4]) if fcl & 0x0800 else None
        i += 4 if mcr else 0
        mac = bytes(t[i:i + 8]) if fcl & 0x0400 else None
        return {"mcl": mcl, "mcr": mcr, "mac": mac, "ident": bytes(t[4:8])}

    @staticmethod
    def mode7(t, at, blocks, key, afl, tpl):
        """OMS security mode 7: keys derived with AES-CMAC from the meter's key, the message
        counter and the meter's identification (0x00 for the cipher key, 0x01 for the MAC key,
        padding 0x07), AES-CBC with a zero IV after the configuration field's extension byte,
        and a CMAC over MCL, MCR and the transport layer from its CI, cut to 8 bytes."""
        if key is None: raise Unreadable("no key")
        if afl is None or afl["mcr"] is None: raise Unreadable("mode 7 without a message counter")
        k = bytes.fromhex(key)
        derive = afl["mcr"] + afl["ident"] + b"\x07" * 7
        if cmac(cmac(k, b"\x01" + derive), afl["mcl"] + afl["mcr"] + bytes(t[tpl:]))[:8] \
                != afl["mac"]:
            raise Unreadable("the MAC fails")
        at += 1  # the configuration field's extension
        n = 16 * blocks
        t[at:at + n] = aes_cbc_decrypt(cmac(k, b"\x00" + derive), bytes(16), bytes(t[at:at + n]))
        if t[at:at + 2] != b"\x2F\x2F": raise Unreadable("wrong key")
        return at

    def learn(self, address, shape):
        for final_xor in (0xFFFF, 0):
            self.formats[(address, crc16(shape, final_xor))] = shape

    def compact(self, address, t, at):
        signature = t[at] | (t[at + 1] << 8)
        full_crc = t[at + 2] | (t[at + 3] << 8)
        shape = self.formats.get((address, signature))
        if shape is None: raise Unreadable("format not yet known")
        data = bytes(t[at + 4:])
        # The full frame rebuilt: each DIF/VIF group followed by its share of the data.
        full, s, d = bytearray(), 0, 0
        while s < len(shape):
            probe, _, group = read_record(shape + bytes(64), s, len(shape) + 64)
            full += group
            s += len(group)
            dif = group[0]
            n = FIELD_LENGTH[dif & 0x0F]
            if n is None: raise Unreadable("variable length in a compact frame")
            full += data[d:d + n]
            d += n
        # The second word is the CRC of the full frame's records the values belong in.
        if full_crc not in (crc16(full, 0xFFFF), crc16(full, 0)):
            raise Unreadable("the values do not give the full frame's CRC")
        return read_records(full, 0, len(full))[0]


# ---- the corpus ----------------------------------------------------------------------------

COMPARED = ("storage", "tariff", "subunit", "function", "quantity", "unit", "value", "invalid",
            "unscaled")


def same(a, b, tolerance):
    for k in COMPARED:
        if (k in a) != (k in b): return False
        if k not in a: continue
        x, y = a[k], b[k]
        if isinstance(x, float) and isinstance(y, (int, float)) and not isinstance(y, bool):
            if abs(x - y) > max(tolerance, 1e-9 * max(1.0, abs(y))): return False
        elif x != y:
            return False
    return True


def carries(records, value):
    def near(r, unit, v):
        return (isinstance(r["value"], float) and r["unit"] == unit
                and abs(r["value"] - v) <= 1e-6 * max(1.0, abs(r["value"])))
    for r in records:
        if r["quantity"] not in value["quantity"]: continue
        if near(r, value["unit"], value["value"]): return True
        alt = value.get("alternative")
        if alt and near(r, alt["unit"], alt["value"]): return True
    return False


def read_entry(reader, e):
    t = bytes.fromhex(e["hex"])
    if e["kind"] == "wired":
        return reader.wired(t)
    if e.get("crc") != "removed": t = strip_crcs(t)
    return reader.wireless(t, e.get("key"), e.get("deciphered", False))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true", help="compare with the corpus, change nothing")
    ap.add_argument("--write", action="store_true", help="add records to entries without them")
    args = ap.parse_args()
    if args.check == args.write:
        ap.error("give one of --check and --write")
    lines = CORPUS.read_text(encoding="utf-8").splitlines()
    entries = [json.loads(line) for line in lines]
    given = set()
    reader = Reader()
    problems, written, headers = 0, 0, 0
    for e in entries:
        x = e["expect"]
        ok = x.get("status", "ok") == "ok" and not x.get("refused")
        try:
            records = read_entry(reader, e)
        except NotReadHere as why:
            print("%s: left to its source (%s)" % (e["id"], why))
            continue
        except (Unreadable, IndexError, ValueError) as why:
            if ok and (x.get("records") or x.get("values")):
                print("%s: not read: %s" % (e["id"], why)); problems += 1
            continue
        if not ok: continue
        missing = [v["field"] for v in x.get("values", []) if not carries(records, v)]
        if missing:
            print("%s: published values not carried: %s" % (e["id"], ", ".join(missing)))
            problems += 1
        header = x.get("header", {})
        differ = [k for k in header if k in reader.header and header[k] != reader.header[k]]
        if differ:
            print("%s: header %s: reader %s, corpus %s" % (
                e["id"], ", ".join(differ), [reader.header[k] for k in differ],
                [header[k] for k in differ]))
            problems += 1
        elif args.write and set(reader.header) - set(header):
            x["header"] = {**reader.header, **header}
            given.add(id(e))
            headers += 1
        if "records" in x:
            want = x["records"]
            bad = [i for i in range(max(len(want), len(records)))
                   if i >= len(want) or i >= len(records)
                   or not same(records[i], want[i], want[i].get("tolerance", 0.0))]
            for i in bad[:3]:
                print("%s: record %d: reader %s, corpus %s" % (
                    e["id"], i, records[i] if i < len(records) else None,
                    want[i] if i < len(want) else None))
            problems += bool(bad)
        elif args.write and not missing:
            x["records"] = records
            given.add(id(e))
            written += 1
    if args.write:
        # Lines not given records stay as they are, in the spacing they were written with.
        def line(e, old):
            if id(e) not in given: return old
            compact = old.startswith('{"id":"')
            return json.dumps(e, ensure_ascii=False,
                              separators=(",", ":") if compact else (", ", ": "))
        CORPUS.write_text("".join(line(e, old) + "\n" for e, old in zip(entries, lines)),
                          encoding="utf-8")
    print("%d problems; %d entries given their records" % (problems, written), file=sys.stderr)
    if args.write:
        print("%d entries given the rest of their header" % headers, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
