"""Run recordings: every packet each way, with its direction and a monotonic timestamp.

A file is the 8-byte magic ``PLIMLOG1`` followed by records, each::

    direction  1 byte       '<' received from the plim, '>' sent to it
    time_ns    8 bytes LE   time.monotonic_ns() when the packet crossed
    length     4 bytes LE   payload length
    payload    length bytes the packet as it was on the wire
    crc32      4 bytes LE   zlib.crc32 of everything above in this record

Each record goes to the file in one unbuffered write, so a crash can cut off
only the last one; readers stop there, and a writer that appends to the file
first trims that cut-off tail.
"""
from __future__ import annotations

import os
import struct
import threading
import time
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, BinaryIO

if TYPE_CHECKING:
    from .core import Sink

MAGIC = b"PLIMLOG1"
RECEIVED = b"<"
SENT = b">"
_HEAD = struct.Struct("<cQI")
_CRC = struct.Struct("<I")
MAX_PAYLOAD = 1 << 20  # far above any datagram; a larger length means a damaged file


@dataclass(frozen=True)
class Record:
    direction: bytes
    time_ns: int
    payload: bytes
    wall_ns: int | None = None  # when the packet crossed, by the wall clock, where the file says
    session: int = 0  # which of the file's sessions it belongs to


def encode_record(direction: bytes, time_ns: int, payload: bytes) -> bytes:
    body = _HEAD.pack(direction, time_ns, len(payload)) + payload
    return body + _CRC.pack(zlib.crc32(body))


def read_records(stream: BinaryIO) -> Iterator[Record]:
    """Every intact record in order; stops at the first cut-off or damaged one."""
    if stream.read(len(MAGIC)) != MAGIC:
        raise ValueError("not a plim recording (magic PLIMLOG1 missing)")
    while True:
        head = stream.read(_HEAD.size)
        if len(head) < _HEAD.size:
            return
        direction, time_ns, length = _HEAD.unpack(head)
        if direction not in (RECEIVED, SENT) or length > MAX_PAYLOAD:
            return
        rest = stream.read(length + _CRC.size)
        if len(rest) < length + _CRC.size:
            return
        payload = rest[:length]
        if _CRC.unpack(rest[length:])[0] != zlib.crc32(head + payload):
            return
        yield Record(direction, time_ns, payload)


def open_records(path: str | os.PathLike[str]) -> Iterator[Record]:
    """The records of the recording at `path`; a file that is not one fails here, not at the first read."""
    stream = open(path, "rb")
    try:
        if stream.read(len(MAGIC)) != MAGIC:
            raise ValueError(f"{os.fspath(path)} is not a plim recording")
        stream.seek(0)
    except BaseException:
        stream.close()
        raise

    def records() -> Iterator[Record]:
        with stream:
            yield from read_records(stream)
    return records()


def _intact_length(path: str) -> int:
    with open(path, "rb") as stream:
        end = len(MAGIC)
        for _ in read_records(stream):
            end = stream.tell()  # the generator has read exactly up to the end of this record
        return end


def open_sink(record: str | os.PathLike[str] | Sink, url: str) -> Sink:
    """Where a client records: a raw recording at a path, or any sink of the caller's own."""
    if isinstance(record, (str, os.PathLike)):
        return Recorder(record)
    return record


class Recorder:
    """Appends records to a recording; safe to call from the reader thread and the caller at once."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        path = os.fspath(path)
        self._lock = threading.Lock()
        existing = os.path.getsize(path) if os.path.exists(path) else 0
        if existing:
            keep = _intact_length(path)  # raises for a file that is not a recording
            if keep < existing:
                os.truncate(path, keep)
        self._file = open(path, "ab", buffering=0)
        if not existing:
            self._file.write(MAGIC)

    def write(self, direction: bytes, payload: bytes, time_ns: int | None = None) -> None:
        record = encode_record(direction, time.monotonic_ns() if time_ns is None else time_ns, payload)
        with self._lock:
            if not self._file.closed:
                self._file.write(record)

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None:
        self.write(direction, payload, mono_ns)

    def message(self, direction: bytes, message: object, wall_ns: int) -> None:
        pass  # the packets hold every message already

    def close(self) -> None:
        with self._lock:
            self._file.close()
