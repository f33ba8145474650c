#!/usr/bin/env python3
"""Differential fuzzing of ObjectLink against Link and json.

One input drives both directions:
  - a Python value built from the bytes (message shapes, names from the
    declarations, subclasses of str, dict, list and tuple, values JSON cannot
    hold) goes to ObjectLink.send, and json.dumps of it to Link.send: both
    accept with the same packets, or both refuse;
  - frames built from the bytes (valid and other versions, any body, broken
    COBS) go to both links' handle_receive: ObjectLink gives what json.loads
    gives of Link's texts, and counts in skipped_frames the frames Link
    passes over.

    python fuzz/fuzz_objects.py [libFuzzer options] CORPUS...   # with atheris (fuzz/run_objects.sh)
    python fuzz/fuzz_objects.py --replay FILE_OR_DIR...          # without it
"""
import json
import math
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
DESCRIPTION = ROOT / "tests" / "python" / "data" / "message_description.json"
HEADER = bytes([0, 0, 2, 0, 0, 0])
DEPTH = 5


def declared_names():
    names = set()

    def walk(node):
        if isinstance(node, dict):
            for key, value in node.items():
                if key in ("name", "family") and isinstance(value, str):
                    names.add(value)
                walk(value)
        elif isinstance(node, list):
            for item in node:
                walk(item)

    walk(json.loads(DESCRIPTION.read_text()))
    return sorted(names)


NAMES = declared_names()


class Key(str):
    """Equal to no other key: a dict may hold its text twice."""
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __ne__(self, other):
        return self is not other


class Items(dict):
    """Holds one set of members and shows another through items()."""
    def __init__(self, shown):
        super().__init__(hidden=1)
        self.shown = shown

    def items(self):
        return self.shown


class Backwards(list):
    def __iter__(self):
        return iter(list(super().__iter__())[::-1])


class Input:
    """The fuzzer's bytes, read front to back; zeros once they run out."""
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk.ljust(n, b"\0")

    def left(self):
        return len(self.data) - self.pos


def name(source):
    choice = source.byte()
    if choice < 200:
        return NAMES[choice % len(NAMES)]
    text = source.take(source.byte() % 6)
    return text.decode("utf-8", "surrogateescape")  # lone surrogates too


def key(source):
    text = name(source)
    return Key(text) if source.byte() % 4 == 0 else text


def value(source, depth=0):
    kind = source.byte() % (17 if depth < DEPTH else 9)
    if kind == 0:
        return None
    if kind == 1:
        return bool(source.byte() & 1)
    if kind == 2:
        return struct.unpack("b", source.take(1))[0]
    if kind == 3:
        return int.from_bytes(source.take(source.byte() % 20), "little", signed=True)
    if kind == 4:
        return struct.unpack("<d", source.take(8))[0]
    if kind == 5:
        return struct.unpack("<f", source.take(4))[0]
    if kind == 6:
        return name(source)
    if kind == 7:
        return key(source)
    if kind == 8:
        return source.take(source.byte() % 4)  # bytes: JSON cannot hold it
    if kind in (9, 10):
        return {key(source): value(source, depth + 1) for _ in range(source.byte() % 4)}
    if kind == 11:
        return Items([(key(source), value(source, depth + 1)) for _ in range(source.byte() % 4)])
    if kind == 12:
        return [value(source, depth + 1) for _ in range(source.byte() % 4)]
    if kind == 13:
        return tuple(value(source, depth + 1) for _ in range(source.byte() % 4))
    if kind == 14:
        return Backwards(value(source, depth + 1) for _ in range(source.byte() % 4))
    if kind == 15:
        return {source.byte(): value(source, depth + 1)}  # a key json.dumps turns into text
    return {key(source): value(source, depth + 1) for _ in range(1 + source.byte() % 3)}


def message(source):
    shape = source.byte() % 5
    if shape == 0:
        return key(source)
    if shape == 4:
        return value(source)
    payload = value(source, 1)
    return {key(source): payload} if shape < 3 else Items([(key(source), payload)])


def has_other_keys(item, depth=0):
    """Whether json.dumps would turn a key that is not a str into text."""
    if depth > 50:
        return False
    if isinstance(item, dict):
        members = list(item.items()) if dict.__len__(item) else []  # the view json.dumps reads
        return any(not isinstance(k, str) or has_other_keys(v, depth + 1) for k, v in members)
    if isinstance(item, (list, tuple)):
        return any(has_other_keys(v, depth + 1) for v in item)
    return False


def drain(poll):
    out = []
    while (item := poll()) is not None:
        out.append(item)
    return out


def check_send(plim_ffi, item):
    objects = plim_ffi.ObjectLink()
    try:
        objects.send(item)
        got = drain(objects.poll_transmit)
    except (TypeError, ValueError) as error:
        assert objects.poll_transmit() is None, "a refused value queued a packet"
        got = error
    except RecursionError:
        raise AssertionError(f"RecursionError escaped ObjectLink.send for {item!r}")
    try:
        text = json.dumps(item)
    except (TypeError, ValueError, RecursionError):
        assert isinstance(got, Exception), f"ObjectLink accepted {item!r}, which json.dumps refuses"
        return
    if has_other_keys(item):
        assert isinstance(got, Exception), f"ObjectLink accepted a key that is not a str in {item!r}"
        return
    link = plim_ffi.Link()
    try:
        link.send(text)
        expected = [bytes(json.loads(p)) for p in drain(link.poll_transmit)]
    except ValueError as error:
        assert isinstance(got, Exception), f"ObjectLink accepted {item!r}; Link refused {text!r}: {error}"
        return
    assert got == expected, f"{item!r}: ObjectLink gave {got!r}, Link {expected!r} for {text!r}"


def cobs(data):
    out = bytearray()
    block = bytearray()
    for byte in data:
        if byte == 0:
            out += bytes([len(block) + 1]) + block
            block = bytearray()
            continue
        block.append(byte)
        if len(block) == 254:
            out += bytes([255]) + block
            block = bytearray()
    return bytes(out + bytes([len(block) + 1]) + block)


def frames(source):
    stream = bytearray()
    while source.left() > 0 and len(stream) < 4000:
        shape = source.byte() % 8
        body = source.take(source.byte() % 48)
        if shape == 0:
            stream += body.replace(b"\0", b"\1") + b"\0"  # raw bytes: often broken COBS
        elif shape == 1:
            stream += cobs(source.take(6) + body) + b"\0"  # any version
        elif shape == 2:
            stream += b"\0"
        else:
            stream += cobs(HEADER + bytes([source.byte() % 8]) + body) + b"\0"
    return bytes(stream)


def check_receive(plim_ffi, stream, cut):
    link = plim_ffi.Link()
    objects = plim_ffi.ObjectLink()
    for part in (stream[:cut], stream[cut:]):
        link.handle_receive(json.dumps(list(part)))
        objects.handle_receive(part)
    # Each Link poll takes one frame; a None among them is a frame passed over.
    expected, passed_over = [], 0
    for _ in range(stream.count(0)):
        try:
            text = link.poll_receive()
        except ValueError as error:
            expected.append(error.args)
            continue
        if text is None:
            passed_over += 1
        else:
            expected.append(json.loads(text))
    assert link.poll_receive() is None
    got = []
    while True:
        try:
            item = objects.poll_receive()
        except ValueError as error:
            got.append(error.args)
            continue
        if item is None:
            break
        got.append(item)
    assert got == expected, f"{stream.hex()}: ObjectLink gave {got!r}, Link {expected!r}"
    assert objects.skipped_frames == passed_over, (objects.skipped_frames, passed_over)


def check(plim_ffi, data):
    source = Input(data)
    if source.byte() & 1:
        check_send(plim_ffi, message(source))
    else:
        cut = source.byte()
        stream = frames(source)
        check_receive(plim_ffi, stream, min(cut * 16, len(stream)))


def replay(paths):
    import plim_ffi
    files = [f for p in map(pathlib.Path, paths) for f in (sorted(p.iterdir()) if p.is_dir() else [p])]
    for path in files:
        check(plim_ffi, path.read_bytes())
    print(f"replayed {len(files)} inputs")


def fuzz(argv):
    import os
    # The module built for this (fuzz/run_objects.sh) carries libFuzzer, its
    # coverage wired to it. Loaded with its symbols global, it is the
    # libFuzzer Atheris finds and drives, so both coverages meet there.
    sys.setdlopenflags(sys.getdlopenflags() | os.RTLD_GLOBAL)
    import plim_ffi
    import atheris
    atheris.Setup(argv, lambda data: check(plim_ffi, data))
    atheris.Fuzz()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--replay"]:
        replay(sys.argv[2:])
    else:
        fuzz(sys.argv)
