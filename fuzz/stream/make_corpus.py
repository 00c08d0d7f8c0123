#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_stream: real encodings, spelled out here
byte by byte (see the input layout at the top of FuzzStream.cpp)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = 28  # read types of FuzzStream.cpp


def u32(v): return struct.pack(">I", v & 0xFFFFFFFF)
def u16(v): return struct.pack(">H", v & 0xFFFF)
def text(s): return u32(len(s) + 1) + s.encode() + b"\0"
def nested(b): return u32(len(b)) + b
def oid(s, ns=1): return (text(s) if s else u32(0)) + u32(ns)


def seed(ops, data, message=False, expected_kind=0):
    assert len(ops) < 32
    flags = len(ops) | (0x80 if message else 0) | (expected_kind << 5)
    return bytes([flags] + ops) + data


def message(des, org, tid, typ, kind, payload_data, iptr=None):
    cursor = len(payload_data) if iptr is None else iptr
    return u32(des) + u32(org) + u32(tid) + u32(typ) + u32(kind) + u32(cursor) + payload_data


seeds = {
    "scalars": seed([0, 1, 2, 3, 4, 5, 6, 7, 8, 9],
                    b"\xab" + u16(-2) + u16(0xBEEF) + u32(-5) + u32(0x89ABCDEF) + u32(-2) +
                    u32(0xFFFFFFFE) + u32(7) + u32(2) + u32(0x12345678)),
    "strings": seed([10, 11, 11], text("abc") + text("") + text("Top")),
    "nested_any": seed([12, 13, 27], nested(b"\x07\x08\x09") + nested(u16(5)) + nested(text("x"))),
    "oids": seed([14, 14], oid("TopServices") + oid(None, 2)),
    "sequences": seed([15, 16, 17],
                      u32(2) + u32(1) + u32(0x0A0B0C0D) +
                      u32(2) + text("a") + text("") +
                      u32(2) + nested(b"") + nested(u32(1))),
    "sequence_oid_nested": seed([18, 19],
                                u32(1) + oid("PhysicalServices") +
                                u32(2) + u32(1) + u16(1) + u32(0)),
    "arrays": seed([20, 21, 22, 23],
                   b"".join(u16(v) for v in (1, -1, 3, 4)) +
                   b"".join(u16(v) for v in range(6)) + bytes(range(0xA0, 0xA6)) +
                   b"".join(u32(v) for v in range(96))),
    "exceptions": seed([24, 25, 24], u32(1) + nested(u32(7)) + u32(0x660006) + u32(0) + nested(b"")),
    "skip": seed([26 + 3 * OPS, 6], b"\x01\x02\x03" + u32(0xCAFE)),
    "short_read": seed([3, 3], u32(1) + u16(2)),
    "hostile_count": seed([15, 16], u32(0x7FFFFFFF) + u32(1)),
    "msg_payload_request": seed(
        [6, 7, 6, 6, 17],
        message(0x00010203, 0x0A0B0C0D, 0x00170001, 2, 2,
                u32(0x1234) + u32(1) + u32(0x641E8FCD) + u32(0) + u32(1) + nested(u32(0xC0A80001))),
        message=True, expected_kind=2),
    "msg_resolve": seed([14], message(0x00010203, 0x0A0B0C0D, 0x00170002, 1, 2, oid("TopServices")),
                        message=True, expected_kind=2),
    "msg_bad_cursor": seed([6, 6], message(0, 0, 5, 0, 0, u32(1) + u32(2), iptr=0x100), message=True),
}

out = os.path.join(HERE, "corpus")
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
print(f"{len(seeds)} seeds in {out}")
