#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_orb: one message per kind of request a peer
sends, spelled out byte by byte (see the input layout in FuzzOrb.cpp)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
THING, FACTORY, OBSERVER, PERFORMANCE = 0x7E570011, 0x7E570012, 0x641E8FCD, 0xEABDD29F
# Object indexes of the harness: factory, first thing, second thing, observer,
# the performance link's trigger observer; then the process's own: the
# performance link's creation, deletion and trigger observers.
I_FACTORY, I_FIRST, I_SECOND, I_OBSERVER, I_TRIGGER = 0, 1, 2, 3, 4
I_LINK_CREATIONS, I_LINK_DELETIONS = 5, 6


def u32(v): return struct.pack(">I", v & 0xFFFFFFFF)
def text(s): return u32(len(s) + 1) + s.encode() + b"\0"
def oid(s, ns=1): return (text(s) if s else u32(0)) + u32(ns)
def ref(name, ioid, orb): return oid(name) + u32(ioid) + u32(orb)
def seq(items): return u32(len(items)) + b"".join(items)
def any_(b): return u32(len(b)) + b


def message(typ, data, kind=2, tid=0x0B000001):
    return u32(tid) + u32(typ) + u32(kind) + u32(len(data)) + data


def call(target, cc, mc, args=b""):
    return message(2, u32(target) + u32(1) + u32(cc) + u32(mc) + args)


far = ref("", 7, 0x0B000101)  # an object of the peer
seeds = {
    "subscribe-creations": message(5, u32(THING) + u32(1)),
    "subscribe-deletions": message(6, u32(THING)),
    "subscribe-unknown-class": message(6, u32(0x5EED0001)),
    "unsubscribe-creations": message(7, u32(THING)),
    "unsubscribe-deletions": message(8, u32(THING)),
    "created-named": message(3, u32(THING) + ref("remote", 9, 0x0B000101)),
    "deleted-anonymous": message(4, u32(THING) + far),
    "resolve": message(1, oid("first")),
    "counters": message(10, b""),
    "register-observer": call(I_FIRST, 0, 1000, u32(1) + u32(THING) + u32(1) + far),
    "remove-observer": call(I_FIRST, 0, 1001, far),
    "names": call(I_FIRST, 0, 1100),
    "relative-name": call(I_SECOND, 0, 1101),
    "parent": call(I_FIRST, 0, 1103),
    "child": call(I_FACTORY, 0, 1104, text("first")),
    "children": call(I_FACTORY, 0, 1105),
    "register-child": call(I_FACTORY, 0, 1106, text("alias") + far),
    "unregister-child": call(I_FACTORY, 0, 1107, text("second")),
    "class-codes": call(I_SECOND, 0, 1108),
    "set-exception": call(I_FIRST, 0, 2100, u32(1) + any_(u32(5))),
    "get-exception": call(I_FIRST, 0, 2101),
    "set-value-observed": call(I_FIRST, THING, 1, u32(42)),
    "peer": call(I_FIRST, THING, 3),
    "set-peer": call(I_SECOND, THING, 4, far),
    "create": call(I_FACTORY, FACTORY, 1, text("third")),
    "destroy": call(I_FACTORY, FACTORY, 2, text("first")),
    "notify-observer": call(I_OBSERVER, OBSERVER, 0,
                            far + u32(THING) + u32(1) + seq([any_(u32(3)), any_(text("x"))])),
    "observer-unknown-method": call(I_OBSERVER, OBSERVER, 3),
    # A trigger's pre-observation: the result's place, monitored name, identifiers, command.
    "trigger-arguments": call(I_TRIGGER, OBSERVER, 0, far + u32(PERFORMANCE) + u32(8) + seq(
        [any_(b""), any_(text("/flow")), any_(seq([u32(1), u32(5)])), any_(u32(8))])),
    "trigger-hostile-identifiers": call(I_TRIGGER, OBSERVER, 0, far + u32(PERFORMANCE) + u32(8) + seq(
        [any_(b""), any_(text("/flow")), any_(u32(0x7FFFFFFF)), any_(u32(2))])),
    "ps-created": call(I_LINK_CREATIONS, OBSERVER, 0, ref("perf", 9, 0x0B000101) + u32(PERFORMANCE) + u32(0) + seq([])),
    "ps-deleted": call(I_LINK_DELETIONS, OBSERVER, 0, ref("perf", 9, 0x0B000101) + u32(PERFORMANCE) + u32(0) + seq([])),
    "register-child-lasting": call(I_LINK_CREATIONS, 0, 1106, text("alias") + far),
    "register-observer-lasting": call(I_LINK_DELETIONS, 0, 1000, u32(1) + u32(THING) + u32(1) + far),
    "unknown-object": call(0x999, THING, 1, u32(1)),
    "header-only": message(5, b"")[:12],
    "hostile-count": message(2, u32(I_OBSERVER) + u32(1) + u32(OBSERVER) + u32(0) + far + u32(THING)
                             + u32(1) + u32(0x7FFFFFFF)),
}

out = os.path.join(HERE, "corpus")
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
