"""Run recordings: every packet each way, in sessions that know when they were made.

A file is the 8-byte magic ``PLIMLOG2`` followed by records, each::

    mark       2 bytes      A5 5A, where a reader looks for the next record after damage
    type       1 byte       '<' packet received from the plim, '>' packet sent to it,
                            'S' session header
    session    4 bytes LE   the session's number, drawn at random by its writer
    time_ns    8 bytes LE   time.monotonic_ns() when the packet crossed
    length     4 bytes LE   payload length, at most MAX_PAYLOAD
    payload    length bytes the packet as it was on the wire; for 'S', see below
    crc32      4 bytes LE   zlib.crc32 of everything above in this record

A session header's payload is the wall-clock time (time.time_ns(), 8 bytes LE, signed) read with
its time_ns, then a compact JSON object {"plim_ffi": ..., "wire": ..., "url": ...}; a record's
wall-clock time is the header's plus the monotonic time elapsed since it.

Every record goes to the file in one write() on a descriptor opened for appending, so two
writers never cut into each other's records and a crash can cut off only the record being
written. A new file appears with its magic and first header already in it, or not at all.
Appending adds a session after whatever the file holds: no byte is ever removed, and readers
skip what they cannot read (recording_reader.py).
"""
from __future__ import annotations

import errno
import json
import os
import secrets
import struct
import threading
import time
import zlib
from dataclasses import dataclass
from functools import cache
from collections.abc import Sequence
from typing import TYPE_CHECKING, BinaryIO, Union

if TYPE_CHECKING:
    from .core import Sink
    from .recording_reader import RecordingReader

MAGIC = b"PLIMLOG2"
MAGIC_V1 = b"PLIMLOG1"
MARK = b"\xa5\x5a"
RECEIVED = b"<"
SENT = b">"
SESSION = b"S"
HEAD = struct.Struct("<2scIQI")  # mark, type, session, time_ns, length
CRC = struct.Struct("<I")
WALL = struct.Struct("<q")
MAX_PAYLOAD = 1 << 20  # far above any datagram or stream read; a larger length means a damaged file


@dataclass(frozen=True)
class Record:
    direction: bytes
    time_ns: int
    payload: bytes
    wall_ns: int | None = None  # when the packet crossed, by the wall clock, where the file says
    session: int = 0  # which of the file's sessions it belongs to, counted from 0 in order of appearance


def encode_record(direction: bytes, time_ns: int, payload: bytes, number: int = 0) -> bytes:
    """One record of the session numbered `number`."""
    body = HEAD.pack(MARK, direction, number, time_ns, len(payload)) + payload
    return body + CRC.pack(zlib.crc32(body))


@cache
def wire_version() -> str:
    """The wire version the module writes into every frame's header, read from a frame it wrote."""
    from plim_ffi import ObjectLink
    from plim_sim.wire import decode_frame

    link = ObjectLink()
    link.send("Ping")
    packet = link.poll_transmit()
    assert packet is not None  # a Ping is one packet
    version, _ = decode_frame(packet)
    return ".".join(map(str, version))


def session_header(wall_ns: int, url: str) -> bytes:
    from . import __version__

    about = {"plim_ffi": __version__, "wire": wire_version(), "url": url}
    return WALL.pack(wall_ns) + json.dumps(about, separators=(",", ":"), ensure_ascii=False).encode()


def open_records(path: str | os.PathLike[str]) -> RecordingReader:
    """The records of the recording at `path`, damage skipped; close() it if it is not read to the end.

    A file that is not a recording (empty, a directory, unreadable, another kind of file) fails
    here, with a one-line ValueError or OSError, not at the first read.
    """
    from .recording_reader import RecordingReader

    return RecordingReader.open(path)


def read_records(stream: BinaryIO) -> RecordingReader:
    """The records of a recording read from an open binary stream, damage skipped."""
    from .recording_reader import RecordingReader

    return RecordingReader(stream, getattr(stream, "name", "recording"))


Recordings = Union[str, "os.PathLike[str]", "Sink", Sequence[Union[str, "os.PathLike[str]", "Sink"]]]


def open_sinks(record: Recordings | None, url: str) -> list[Sink]:
    """Where a client records: MCAP for a path ending in .mcap, a raw recording at any other path,
    any sink of the caller's own, or several of these; each fails on its own."""
    if record is None:
        return []
    wanted = list(record) if isinstance(record, Sequence) and not isinstance(record, str) else [record]
    sinks: list[Sink] = []
    try:
        for one in wanted:
            if isinstance(one, (str, os.PathLike)):
                if os.fspath(one).lower().endswith(".mcap"):
                    from .mcap_export import McapSink
                    sinks.append(McapSink(one, url))
                else:
                    sinks.append(Recorder(one, url))
            else:
                sinks.append(one)
    except BaseException:
        for sink in sinks:
            sink.close()
        raise
    return sinks


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        # A file takes a whole write at once unless it has hit a limit (a full disk, RLIMIT_FSIZE);
        # then the next write says which, and what went out is damage a reader skips.
        view = view[os.write(fd, view):]


def _is_empty(path: str) -> bool:
    """Whether an existing file is still empty; one that is neither empty nor a recording that can
    take another session is refused with ValueError."""
    from .recording_reader import RecordingReader

    with open(path, "rb") as stream:
        if not stream.read(1):
            return True
        stream.seek(0)
        if RecordingReader(stream, path).version == 1:
            raise ValueError(f"{path} is a version-1 plim recording; record to a new file")
    return False


def create_beside(path: str) -> tuple[int, str]:
    """A new empty file in the folder of `path` under a temporary name, open for appending, with the
    permissions any new file gets there; (descriptor, name)."""
    folder = os.path.dirname(os.path.abspath(path))
    while True:
        name = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(name, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), name
        except FileExistsError:
            continue
        except OSError as exc:  # a folder that is not there or not writable: name the file asked for
            raise type(exc)(exc.errno, exc.strerror, path) from None


def _create_or_open(path: str, first: bytes) -> int:
    """An append-only descriptor on `path`, whose file starts with the magic.

    A new file is written under a temporary name and linked into place, which fails if the name
    exists: two writers starting at once get one file with both sessions, never two magics or a
    header cut into.
    """
    fd, temporary = create_beside(path)
    try:
        _write_all(fd, MAGIC + first)
        try:
            os.link(temporary, path)
            return fd
        except FileExistsError:
            exists = True
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP):
                raise
            exists = False  # a file system without hard links
        os.close(fd)
        fd = -1
        return _append_to(path, first) if exists else _create_exclusively(path, first)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        raise
    finally:
        os.unlink(temporary)


def _create_exclusively(path: str, first: bytes) -> int:
    try:
        fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_EXCL, 0o666)
    except FileExistsError:
        return _append_to(path, first)
    try:
        _write_all(fd, MAGIC + first)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _append_to(path: str, first: bytes) -> int:
    fd = os.open(path, os.O_WRONLY | os.O_APPEND)
    try:
        _write_all(fd, MAGIC + first if _is_empty(path) else first)
    except BaseException:
        os.close(fd)
        raise
    return fd


class Recorder:
    """Writes one session of a recording; safe to call from the reader thread and the caller at once."""

    def __init__(self, path: str | os.PathLike[str], url: str = "") -> None:
        self.path = os.fspath(path)
        self.number = int.from_bytes(os.urandom(4), "little")
        self._lock = threading.Lock()
        mono, wall = time.monotonic_ns(), time.time_ns()
        header = encode_record(SESSION, mono, session_header(wall, url), self.number)
        self._fd = _create_or_open(self.path, header)

    def write(self, direction: bytes, payload: bytes, time_ns: int | None = None) -> None:
        if len(payload) > MAX_PAYLOAD:
            raise ValueError(f"a packet of {len(payload)} bytes is beyond what a recording holds ({MAX_PAYLOAD})")
        record = encode_record(direction, time.monotonic_ns() if time_ns is None else time_ns, payload, self.number)
        with self._lock:
            if self._fd >= 0:
                _write_all(self._fd, record)

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None:
        self.write(direction, payload, mono_ns)

    def message(self, direction: bytes, message: object, wall_ns: int) -> None:
        pass  # the packets hold every message already

    def close(self) -> None:
        with self._lock:
            fd, self._fd = self._fd, -1
            if fd >= 0:
                os.close(fd)
