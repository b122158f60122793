#!/usr/bin/env python3
"""Works out the records of the conformance corpus' telegrams by hand's rules, not the decoder's.

A second reader of EN 13757-3 (data and value information blocks, data types A to M, the VIF
tables 10 to 16: en13757_records.py beside this script) and of the EN 13757-4 / OMS transport
layers the corpus uses (short and long transport headers, the extended link layer with its
AES-CTR, the authentication and fragmentation layer, security modes 5 and 7, frame formats A
and B, compact frames). It is written from the standard's tables and shares nothing with the
decoder under test, so where the two disagree one of them misreads the standard and the table
decides. Names of quantities and units are this project's names for the standard's entries;
durations in seconds, minutes, hours and days are given in seconds, values scaled to the
table's unit.

  corpus-records.py --check   compare with every record and header field the corpus holds
                              (published by its source or worked by hand) and with every
                              value a source published; print what disagrees
  corpus-records.py --write   add the records and header fields of entries that have only
                              the values their source published

Needs Python 3 and, for the enciphered telegrams, python3-cryptography.
"""
import argparse
import json
import sys
from pathlib import Path

from en13757_records import FIELD_LENGTH, Unreadable, read_record, read_records

CORPUS = Path(__file__).resolve().parent.parent / "tests" / "data" / "conformance.jsonl"


class NotReadHere(Exception):
    """A structure this reader leaves to the source's published records."""


# ---- transport layers ----------------------------------------------------------------------

def crc16(data):
    """EN 13757's CRC: polynomial 0x3D65, start 0, the result complemented."""
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x3D65) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc ^ 0xFFFF


def strip_crcs(t):
    """A telegram with its block CRCs (EN 13757-4, high byte first) without them: frame format
    A (10 bytes, then blocks of 16, each with its CRC) or B (up to 126 bytes with one CRC over
    them, the rest with another), whichever holds."""
    def holds(block, crc):
        c = crc16(block)
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
            records, shape = read_records(t, at, len(t))
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
        records, shape = read_records(t, at, len(t))
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
        crc = crc16(bytes(out[at + 9:]))
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
        self.formats[(address, crc16(shape))] = shape

    def compact(self, address, t, at):
        signature = t[at] | (t[at + 1] << 8)
        full_crc = t[at + 2] | (t[at + 3] << 8)
        shape = self.formats.get((address, signature))
        if shape is None: raise Unreadable("format not yet known")
        data = bytes(t[at + 4:])
        # The full frame rebuilt: each DIF/VIF group followed by its share of the data.
        full, s, d = bytearray(), 0, 0
        while s < len(shape):
            _, _, group = read_record(shape + bytes(64), s, len(shape) + 64)
            full += group
            s += len(group)
            dif = group[0]
            n = FIELD_LENGTH[dif & 0x0F]
            if n is None: raise Unreadable("variable length in a compact frame")
            full += data[d:d + n]
            d += n
        # The second word is the CRC of the full frame's records the values belong in.
        if full_crc != crc16(full):
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
