"""Reading recordings: every intact record, past whatever damage the file holds.

A record that fails its checks (mark, type, length, CRC) starts a damaged stretch; the reader
looks for the next place where a whole record checks, counts the bytes in between and warns once
for the stretch. Bytes are read a chunk at a time, and a length field is believed only as far as
the file has bytes left, so a damaged one never makes the reader allocate more than that.
"""
from __future__ import annotations

import json
import logging
import os
import stat
import struct
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import BinaryIO

from .recording import CRC, HEAD, MAGIC, MAGIC_V1, MARK, MAX_PAYLOAD, RECEIVED, SENT, SESSION, WALL, Record

log = logging.getLogger("plim_link.recording")
CHUNK = 1 << 20
HEAD_V1 = struct.Struct("<cQI")  # direction, time_ns, length; no mark, no session
PACKETS = (RECEIVED, SENT)


@dataclass
class Session:
    """One session of a file: what its header says, or only its number if the header was lost."""

    index: int  # order of appearance in the file, from 0
    number: int  # drawn at random by the session's writer
    mono_ns: int | None = None  # the header's monotonic and wall-clock times, read together
    wall_ns: int | None = None
    url: str | None = None
    plim_ffi: str | None = None
    wire: str | None = None

    def wall_of(self, mono_ns: int) -> int | None:
        if self.wall_ns is None or self.mono_ns is None:
            return None
        return self.wall_ns + (mono_ns - self.mono_ns)


class RecordingReader:
    """Iterates over the packet records of one recording (session headers go to `sessions`); the file
    closes once they have all been read, or on close()."""

    def __init__(self, stream: BinaryIO, name: str) -> None:
        """Checks that `stream` holds a recording; ValueError if it does not."""
        self.name = name
        self.sessions: list[Session] = []
        self.skipped_bytes = 0
        self.damaged_stretches = 0
        self._stream = stream
        self._by_number: dict[int, Session] = {}
        self._buf = b""
        self._base = 0  # file offset of _buf[0]
        self._read_at = 0  # file offset of the next byte to read
        self._size = self._stream_size()
        self._eof = False
        self._start = len(MAGIC)
        self._records = self._read()
        head = stream.read(len(MAGIC))
        self._read_at = len(head)
        self._buf = head
        if not head:
            raise ValueError(f"{name} is empty, not a plim recording")
        self.version = 2
        if head != MAGIC and not (len(head) == len(MAGIC) and self._record_at(len(MAGIC))):
            if head != MAGIC_V1:
                raise ValueError(f"{name} is not a plim recording")
            self.version = 1
        elif head != MAGIC:
            self._skipped(0, len(MAGIC))  # the magic alone is damaged (maybe into the other one); the rest reads

    @classmethod
    def open(cls, path: str | os.PathLike[str]) -> RecordingReader:
        """Opens the recording at `path`; an OSError or ValueError in one line if it is not one."""
        name = os.fspath(path)
        stream = open(name, "rb")
        try:
            if stat.S_ISDIR(os.fstat(stream.fileno()).st_mode):
                raise IsADirectoryError(f"{name} is a directory, not a plim recording")
            return cls(stream, name)
        except BaseException:
            stream.close()
            raise

    def close(self) -> None:
        self._stream.close()

    def __iter__(self) -> RecordingReader:
        return self

    def __next__(self) -> Record:
        return next(self._records)

    def __enter__(self) -> RecordingReader:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    # -- records ---------------------------------------------------------------------

    def _read(self) -> Iterator[Record]:
        head_size = HEAD.size if self.version == 2 else HEAD_V1.size
        pos = self._start
        while True:
            found = self._record_at(pos)
            if found is None:
                if self._fill(pos, 1) == 0:
                    self.close()
                    return
                end = self._next_record(pos + 1)
                self._skipped(pos, end)
                pos = end
                continue
            kind, number, time_ns, length = found
            at = pos - self._base + head_size
            payload = self._buf[at:at + length]
            pos += head_size + length + CRC.size
            if kind == SESSION:
                self._header(number, time_ns, payload)
                continue
            session = self._by_number.get(number)
            if session is None:
                session = self._add(Session(len(self.sessions), number))
            yield Record(kind, time_ns, payload, session.wall_of(time_ns), session.index)

    def _record_at(self, pos: int) -> tuple[bytes, int, int, int] | None:
        """(type, session number, time_ns, length) of the whole, intact record at `pos`, else None."""
        v2 = self.version == 2
        head = HEAD if v2 else HEAD_V1
        if self._fill(pos, head.size) < head.size:
            return None
        if v2:
            mark, kind, number, time_ns, length = head.unpack_from(self._buf, pos - self._base)
            if mark != MARK or kind not in (RECEIVED, SENT, SESSION):
                return None
        else:
            kind, time_ns, length = head.unpack_from(self._buf, pos - self._base)
            number = 0
            if kind not in PACKETS:
                return None
        size = head.size + length + CRC.size
        if length > MAX_PAYLOAD or self._fill(pos, size) < size:
            return None
        at = pos - self._base
        end = at + head.size + length
        if zlib.crc32(memoryview(self._buf)[at:end]) != CRC.unpack_from(self._buf, end)[0]:
            return None
        return kind, number, time_ns, length

    def _next_record(self, pos: int) -> int:
        """The offset of the next intact record from `pos` on, or of the end of the file."""
        find = (lambda buf, at: buf.find(MARK, at)) if self.version == 2 else _find_direction
        while self._fill(pos, len(MARK)) >= len(MARK):
            at = find(self._buf, pos - self._base)
            if at < 0:
                # Nothing here; go on from the last byte, which may start a mark cut by the chunk's end.
                pos = max(pos, self._base + len(self._buf) - (len(MARK) - 1))
                if self._fill(pos, CHUNK) < len(MARK):
                    break
                continue
            pos = self._base + at
            if self._record_at(pos) is not None:
                return pos
            pos += 1
        return self._base + len(self._buf)

    def _skipped(self, start: int, end: int) -> None:
        count = end - start
        self.skipped_bytes += count
        self.damaged_stretches += 1
        if end >= self._base + len(self._buf) and self._eof:
            log.warning("plim_link: %s: skipped the last %d bytes, not a whole record (cut off while being "
                        "written?)", self.name, count)
        else:
            log.warning("plim_link: %s: skipped %d damaged bytes at offset %d", self.name, count, start)

    # -- sessions --------------------------------------------------------------------

    def _header(self, number: int, mono_ns: int, payload: bytes) -> None:
        wall = WALL.unpack_from(payload)[0] if len(payload) >= WALL.size else None
        try:
            about = json.loads(payload[WALL.size:])
        except ValueError:
            about = None
        if not isinstance(about, dict):
            about = {}
        text = {key: about[key] if isinstance(about.get(key), str) else None for key in ("url", "plim_ffi", "wire")}
        self._add(Session(len(self.sessions), number, mono_ns, wall, **text))

    def _add(self, session: Session) -> Session:
        self.sessions.append(session)
        self._by_number[session.number] = session
        return session

    # -- bytes -----------------------------------------------------------------------

    def _stream_size(self) -> int:
        try:
            return os.fstat(self._stream.fileno()).st_size
        except (AttributeError, OSError, ValueError):
            here = self._stream.tell()
            size = self._stream.seek(0, os.SEEK_END)
            self._stream.seek(here)
            return size

    def _fill(self, pos: int, need: int) -> int:
        """Makes the buffer start at `pos` (or before) and hold `need` bytes from there, as far as the
        file has them; returns how many it holds. Reading never goes back."""
        have = self._base + len(self._buf) - pos
        if have >= need or self._eof:
            return max(0, min(have, need))
        parts = [self._buf[pos - self._base:]]
        self._base = pos
        while have < need:
            room = self._size - self._read_at
            if room <= 0:
                self._size = self._stream_size()  # a file still being written may have grown
                room = self._size - self._read_at
                if room <= 0:
                    self._eof = True
                    break
            chunk = self._stream.read(min(room, max(CHUNK, need - have)))
            if not chunk:
                self._eof = True
                break
            self._read_at += len(chunk)
            parts.append(chunk)
            have += len(chunk)
        self._buf = b"".join(parts)
        return max(0, min(have, need))


def _find_direction(buf: bytes, at: int) -> int:
    found = [i for i in (buf.find(RECEIVED, at), buf.find(SENT, at)) if i >= 0]
    return min(found, default=-1)
