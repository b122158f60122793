#!/usr/bin/env python3
"""Plants realistic faults one at a time and says which the tests catch.

Each fault is a small change a hurried developer could make, with what a user would see. For
each: the change is made in the working tree, the library's tests and the command line's are
built and run (the library's first, the processes' only when those all pass), and the file is
put back whatever happens. A fault is caught when a test fails or hangs. The tree must be
clean of edits to the files named, and `cmake --preset default` configured.

    scripts/plant-faults.py [--only SUBSTRING] [--list]

Exit status 0 when at least 95 % of the faults are caught.
"""
import argparse
import pathlib
import signal
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "default"

# (file, text as it is, text with the fault, what a user would see)
FAULTS = [
    # Wireless meters: the extended link layer, frames, security modes, compact frames.
    ("src/wmbus/security.cpp", "b[11] & ~0x10", "b[11]",
     "a telegram a repeater passed on fails its decryption with the right key"),
    ("src/wmbus/security.cpp",
     "b[kEllCipherAt] != (crc & 0xFF) || b[kEllCipherAt + 1] != (crc >> 8)",
     "b[kEllCipherAt] != (crc >> 8) || b[kEllCipherAt + 1] != (crc & 0xFF)",
     "every CI 0x8D telegram refused: its payload CRC read high byte first"),
    ("src/wmbus/security.cpp", "return Fails(out, Status::kAuthenticationFailed,",
     "return Fails(out, Status::kWrongKey,",
     "a mode 7 message whose MAC fails is blamed on the key"),
    ("src/wmbus/security.cpp", "if (mode != 5 && mode != 7)", "if (mode > 13)",
     "modes 8 to 13 decrypted as if they were mode 5 or 7"),
    ("src/wmbus/security.cpp", "data[0] != 0x2F || data[1] != 0x2F", "data[0] != 0x2F",
     "a wrong key taken for the right one once in 256 keys"),
    ("src/wmbus/frame.cpp", "if (crcs == FrameCrcs::kRemoved) {",
     "if (crcs == FrameCrcs::kRemoved || !OpenB(raw, bytes)) {",
     "a damaged format B frame read as one without CRCs, with a wrong value"),
    ("src/wmbus/layers.cpp", "return ci == 0x8C ? 2 : ci == 0x8D ? 8 : 10;",
     "return ci == 0x8C ? 2 : 8;", "every radio converter's telegram (CI 0x8E) misread"),
    ("src/wmbus/layers.cpp", "h.accessNumber = b[at + 2];", "h.accessNumber = 0;",
     "access number 0 made up behind an extended link layer"),
    ("src/wmbus/telegram.cpp", "if (out.error.empty() && WirelessCrc(out.expanded) != l.fullCrc)",
     "if (false)", "a compact frame under a stale format read with wrong values"),
    ("src/wmbus/telegram.cpp", "out.formatSignature = WirelessCrc(difvif);",
     "out.formatSignature = WirelessCrc(std::span(difvif).first(difvif.size() - 1));",
     "compact frames never matched to the format their full frame taught"),
    # Records of any meter.
    ("src/records/data_field.cpp", "d.year = year > 99 ? -1 : FullYear(year);",
     "d.year = FullYear(year);", "a date not set printed as a year of the next century"),
    ("src/records/record_value.cpp", "out = kind == VifKind::kBits ?",
     "out = kind == VifKind::kUnknown ?",
     "error flags and digital inputs shown as negative numbers"),
    ("src/records/vif_tables.cpp", 'Scaled(t, 0x1A, 2, "Relative humidity", "%", -1,',
     'Scaled(t, 0x1A, 2, "Relative humidity", "%", 0,', "71.6 % humidity shown as 716 %"),
    ("src/records/record_text.cpp", "if (*b < 0x80) {", "if (true) {",
     "a text's characters from 0x80 up (ISO/IEC 8859-1) sent on as bytes that are not UTF-8"),
    ("src/records/vif_tables.cpp", 't[0x74] = {"Remaining battery life time", "d",',
     't[0x74] = {"Remaining battery life time", "h",',
     "a battery's remaining life counted in hours where the meter says days"),
    ("tools/common/plain_values.cpp", "r.errorCode <= 0", "r.errorCode < 0",
     "a reading its meter marks \"no error\" left out of the values"),
    ("tools/common/plain_values.cpp", "return r.subunit == 0 ||", "return true ||",
     "a channel's voltage or current (subunit 1-3) published as the meter's own"),
    # One status, one number, one word.
    ("src/codec/status.cpp", "    case Status::kNoKey:\n      return -12;",
     "    case Status::kNoKey:\n      return -13;",
     "a meter without a key published as one with a wrong key"),
    ("src/codec/status.cpp", "return linkResult != 0 ? linkResult : -4;",
     "return linkResult != 0 ? linkResult : -3;", "a checksum error published as a damaged reply"),
    ("src/codec/status.cpp", '"checksum error"', '"damaged reply"',
     "the status word of a checksum failure not the documented one"),
    # The collector's states.
    ("tools/poll/reading_message.cpp", "if (last_good) j[\"lastGood\"] = IsoUtc(*last_good);",
     "if (last_good) j[\"lastGood\"] = IsoUtc(when);",
     "a failed read published as the last good one"),
    ("tools/poll/radio_pace.cpp", "  if (good) available_ = true;\n", "  available_ = true;\n",
     "a radio meter that sends only damaged telegrams shown online"),
    ("tools/poll/radio_pace.cpp", "if (!available_ || now - lastHeard_ < SilenceLimit())",
     "if (now - lastHeard_ < SilenceLimit())",
     "a silent radio meter announced offline again at every check"),
    ("tools/poll/bus_worker.cpp", "for (const MeterEntry& meter : bus_.meters) availability_(meter, false);",
     "(void)bus_;", "a lost bus's meters still online in Home Assistant"),
    ("tools/poll/poll_discovery.cpp", '    c["availability_mode"] = "all";',
     '    c["availability_mode"] = "any";',
     "a meter's values shown available while the collector is gone"),
    ("tools/poll/poll_discovery.cpp", '    b["device_class"] = "problem";\n', "",
     "a status flag not shown as a problem"),
    # The spool: its lock and its recovery.
    ("tools/poll/spool.cpp", "::flock(lock_fd_, LOCK_EX | LOCK_NB)",
     "::flock(lock_fd_, LOCK_SH | LOCK_NB)", "two collectors on one spool lose readings"),
    ("tools/poll/spool_rescue.cpp", "return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;",
     "return primary == SQLITE_CORRUPT;",
     "a spool whose header is overwritten stops the collector instead of being rescued"),
    ("tools/poll/spool_rescue.cpp",
     "out_.lost = std::max<std::int64_t>(0, sqlite3_column_int64(s, 0) - read);",
     "out_.lost = std::max<std::int64_t>(read - read, sqlite3_column_int64(s, 0));",
     "the log says readings were lost that were recovered"),
    ("tools/poll/spool_rescue.cpp", "return out.find('\\0') == std::string::npos;", "return true;",
     "half-overwritten readings published as good"),
    ("tools/poll/spool_rescue.cpp", "if (row.id <= last) return false;", "(void)last;",
     "a damaged spool whose page points back makes the collector loop for ever"),
    # Meter profiles.
    ("tools/common/profiles.cpp", "if (at < maker.size()) return maker[at];",
     "return at < maker.size() ? maker[at] : std::uint8_t{0};",
     "an alarm whose byte the telegram lacks reported as clear"),
    ("tools/common/profiles.cpp",
     "if (best == nullptr || p.match.Specificity() > best->match.Specificity()) {",
     "if (best == nullptr) {", "a general profile taking a meter a more specific one names"),
    ("tools/common/profile.cpp", "if (!seen.insert(name).second) {",
     "if (!seen.insert(name).second && name.empty()) {",
     "a profile naming two values alike accepted, one hiding the other"),
    ("tools/poll/bus_worker.cpp", "if (profiles_ != nullptr && r.Ok()) {",
     "if (profiles_ != nullptr && r.Ok() && r.reading.records.empty()) {",
     "a wired meter's profile fields and alarms missing from the collector's message"),
    ("tools/poll/poll_discovery.cpp", "      if (f.alarm) {", "      if (!f.alarm) {",
     "a profile's alarms not discovered as problems in Home Assistant"),
    # This maker's fields.
    ("tools/common/maker_fields.cpp",
     'for (const auto& t : std::get<Tariffs>(v)) a.push_back(t ? Json(*t) : Json("-"));',
     "for (const auto& t : std::get<Tariffs>(v)) a.push_back(Json(t.value_or(0)));",
     "a tariff the meter flags as not valid shown as 0 kWh"),
    # Receivers beyond the sticks, the spool's damaged counter, the maker's bytes of a wired
    # reading, and the meter profiles' published telegrams.
    ("src/wmbus/cul.cpp",
     "t.crcs = bytes.size() == l + 1 ? FrameCrcs::kRemoved : FrameCrcs::kPresent;",
     "t.crcs = FrameCrcs::kRemoved;", "a CUL that passes the CRCs on: every telegram refused"),
    ("src/wmbus/cul.cpp", "return value / 2 - 74;", "return value - 74;",
     "a CUL's signal strength shown twice as strong as it is"),
    ("tools/common/rtl433_lines.cpp", "(n % 10) | ((n / 10 % 10) << 4)",
     "(n / 10 % 10) | ((n % 10) << 4)",
     "rtl_433's older lines give meters the wrong identification number"),
    ("src/platform/posix/process_port.cpp", "return \"it exited with status \" + ",
     "return \"it ended with status \" + ", "rtl_433's end not told with its exit status"),
    ("tools/cli/cmd_listen.cpp", "return std::min(b * 2, std::chrono::seconds(60));",
     "return std::min(b, std::chrono::seconds(60));",
     "rtl_433 that keeps failing is started again every second"),
    ("tools/poll/spool_rescue.cpp", "if (highest >= 0) return std::min(highest, kFurthest);",
     "if (highest >= 0) return highest;",
     "a damaged spool whose id counter is at its end is never recovered: the collector hangs"),
    ("src/bus/reading.cpp",
     "manufacturerData(Rebased(other.manufacturerData, other.telegrams, telegrams)),",
     "manufacturerData(other.manufacturerData),",
     "a copied wired reading's maker flags read freed memory"),
    ("profiles/diehl-sharky.toml", 'quantity = "energy"\nstorage = 1',
     'quantity = "energy"\nstorage = 2',
     "a heat meter's set-day energy missing from its named fields"),
    ("tools/common/profiles.cpp", "return r.storage == f.storage && r.tariff == f.tariff",
     "return r.storage >= f.storage && r.tariff == f.tariff",
     "a meter profile names a billing-date value as the current one"),
    # The ten the suite once let through: the bus, the spool, radio meters' pace, the bus pane
    # of the desktop tool, and set-address.
    ("src/bus/frame_judge.cpp", "(b[4] & 0xCF) != 0x08", "(b[4] & 0xFF) != 0x08",
     "a meter that asks for attention (C 0x28 or 0x38) can no longer be read"),
    ("src/bus/bus.cpp", "if (subcode) data.push_back(*subcode);",
     "if (subcode && *subcode != 0) data.push_back(*subcode);",
     "an application reset with subcode 0 sent without its subcode byte"),
    ("tools/poll/spool.cpp", "if (memory_.empty() && Insert(e)) {", "if (Insert(e)) {",
     "readings published out of order after a full disk"),
    ("tools/poll/spool.cpp", "if (e.id > after) out.push_back(e);",
     "if (e.id >= after) out.push_back(e);", "a reading held in memory published twice"),
    ("tools/poll/radio_pace.cpp", ": interval_(intervalSeconds),",
     ": interval_(std::chrono::duration_cast<std::chrono::seconds>("
     "std::chrono::milliseconds(intervalSeconds))),",
     "a radio meter published at every telegram instead of once per interval"),
    ("tools/poll/radio_pace.hpp", "return 3 * interval_;", "return interval_;",
     "radio meters flap offline whenever one telegram is missed"),
    ("gui/bus_pane.cpp", "m.identKnown ? QString::fromStdString(IdentNumberText(m.identNumber))",
     "m.identKnown ? QString::number(m.identNumber)",
     "an identification number shown as 42 where 00000042 belongs"),
    ("gui/bus_pane.cpp", "if (m->primaryAddress >= 0) return Address::Primary",
     "if (m->primaryAddress > 0) return Address::Primary",
     "a meter found at primary address 0 read by its identification number"),
    ("src/bus/bus.cpp", "if (newAddress > 250) return Status::kBadArgument;",
     "if (newAddress >= 250) return Status::kBadArgument;",
     "the highest primary address, 250, cannot be given"),
    ("src/scan/bus_scanner.cpp", "return there != Status::kNoReply;",
     "return there == Status::kOk;",
     "a meter put on an address two meters already answer at"),
]


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, cwd=ROOT, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def caught(path):
    """True when a test fails (or hangs); None when the tree does not build. A fault in the
    desktop tool is tried by its own tests, which need the whole tree built."""
    if path.startswith("gui/"):
        if run(["cmake", "--build", str(BUILD)], 1800) != 0:
            return None
        return run(["ctest", "--test-dir", str(BUILD), "-L", "gui", "-j2", "--timeout", "120"],
                   1200) != 0
    if run(["cmake", "--build", str(BUILD), "--target", "velmar_tests"], 900) != 0:
        return None
    if run([str(BUILD / "tests" / "velmar_tests")], 300) != 0:
        return True
    if run(["cmake", "--build", str(BUILD), "--target", "velmar_cli", "velmar_cli_tests"],
           900) != 0:
        return None
    return run(["ctest", "--test-dir", str(BUILD), "-L", "processes", "-j2", "--timeout", "120"],
               1200) != 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="plant only faults whose file or text holds this")
    parser.add_argument("--list", action="store_true", help="list the faults and exit")
    parser.add_argument("--skip", type=int, default=0, help="skip the first N faults")
    args = parser.parse_args()
    # A stop in the middle still puts the planted file back (the finally below runs).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    faults = [f for f in FAULTS if not args.only or any(args.only in part for part in f)]
    if args.list:
        for path, _, _, seen in faults:
            print(f"{path}: {seen}")
        return 0
    found = 0
    for n, (path, old, new, seen) in enumerate(faults, 1):
        if n < args.skip + 1:
            continue
        file = ROOT / path
        original = file.read_text()
        if original.count(old) != 1:
            print(f"{n:2} {path}: the text to change is not there once; the list needs updating")
            return 2
        try:
            file.write_text(original.replace(old, new))
            verdict = caught(path)
        finally:
            file.write_text(original)
        found += verdict is True
        word = {True: "caught", False: "MISSED", None: "does not build"}[verdict]
        print(f"{n:2} {word:14} {path}: {seen}", flush=True)
    run(["cmake", "--build", str(BUILD)], 1800)
    tried = len(faults) - args.skip
    share = 100.0 * found / tried if tried > 0 else 100.0
    print(f"{found} of {tried} caught ({share:.0f} %)")
    return 0 if share >= 95 else 1


if __name__ == "__main__":
    sys.exit(main())
