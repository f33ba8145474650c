"""Wire format of the plim link: postcard-style values, COBS, versioned frames, packets.

Written independently of the extension module so that the simulator checks the
module instead of echoing it.
"""
from __future__ import annotations

import struct
from dataclasses import dataclass

from .wire_constants import API_VERSION
# Part of the wire format, so importable from here too.
from .wire_constants import MAX_PACKET_LEN as MAX_PACKET_LEN
from .wire_constants import RX_BUFFER_LIMIT as RX_BUFFER_LIMIT
from .wire_constants import VERSION_HEADER_LEN as VERSION_HEADER_LEN

DEVICE_API_VERSION = API_VERSION  # what the simulated plim puts in its frames

_F32 = struct.Struct("<f")
_HEADER = struct.Struct("<HHH")


class WireError(ValueError):
    """A frame or body that the simulator cannot read."""


# -- values -----------------------------------------------------------------

def varint(value: int) -> bytes:
    if value < 0:
        raise ValueError("varints are unsigned")
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def f32(value: float | None) -> bytes:
    """Little-endian single precision; finite values beyond its range saturate to infinity.

    None, which stands for NaN and the infinities in the JSON form, is written as NaN.
    """
    if value is None:
        value = float("nan")
    try:
        return _F32.pack(value)
    except OverflowError:
        return _F32.pack(float("inf") if value > 0 else float("-inf"))


def text(value: str) -> bytes:
    data = value.encode("utf-8")
    return varint(len(data)) + data


def u8(value: int) -> bytes:
    if not 0 <= value <= 255:
        raise ValueError(f"u8 out of range: {value}")
    return bytes((value,))


@dataclass
class Reader:
    """Forward-only cursor over one body."""

    data: bytes
    pos: int = 0

    def take(self, count: int) -> bytes:
        if count > len(self.data) - self.pos:
            raise WireError("body ends early")
        chunk = self.data[self.pos:self.pos + count]
        self.pos += count
        return chunk

    def varint(self, max_bits: int = 64) -> int:
        value = 0
        for shift in range(0, max_bits + 6, 7):
            byte = self.take(1)[0]
            value |= (byte & 0x7F) << shift
            if not byte & 0x80:
                if value >> max_bits:
                    raise WireError("varint too long")
                return value
        raise WireError("varint too long")

    def f32(self) -> float:
        value: float = _F32.unpack(self.take(4))[0]
        return value

    def text(self) -> str:
        try:
            return self.take(self.varint()).decode("utf-8")
        except UnicodeDecodeError as exc:
            raise WireError("text is not UTF-8") from exc


# -- COBS -------------------------------------------------------------------

def cobs_encode(data: bytes) -> bytes:
    """COBS with the closing 0x00 delimiter appended."""
    out = bytearray()
    segments = bytes(data).split(b"\x00")
    for index, segment in enumerate(segments):
        closed_by_zero = index < len(segments) - 1
        blocks = [segment[i:i + 254] for i in range(0, len(segment), 254)] or [b""]
        for block in blocks:
            out.append(len(block) + 1)
            out += block
        # A run ending on a full block leaves its zero unrepresented; an empty block stands for it.
        if closed_by_zero and len(blocks[-1]) == 254:
            out.append(0x01)
    out.append(0x00)
    return bytes(out)


def cobs_decode(wire: bytes) -> bytes | None:
    """Decodes up to the delimiter; None for a truncated frame."""
    out = bytearray()
    pos = 0
    zero_pending = False
    while pos < len(wire):
        code = wire[pos]
        pos += 1
        if code == 0:
            return bytes(out)
        if zero_pending:
            out.append(0)
        if code - 1 > len(wire) - pos:
            return None
        out += wire[pos:pos + code - 1]
        pos += code - 1
        zero_pending = code < 0xFF
    return None


# -- frames and packets ------------------------------------------------------

def encode_frame(body: bytes, version: tuple[int, int, int] = DEVICE_API_VERSION) -> bytes:
    return cobs_encode(_HEADER.pack(*version) + body)


def split_packets(wire_frame: bytes, max_len: int = MAX_PACKET_LEN) -> list[bytes]:
    return [wire_frame[i:i + max_len] for i in range(0, len(wire_frame), max_len)]


def decode_frame(wire_frame: bytes) -> tuple[tuple[int, int, int], bytes]:
    """Splits one delimited wire frame into the sender's version and the body."""
    decoded = cobs_decode(wire_frame)
    if decoded is None:
        raise WireError("COBS frame truncated")
    if len(decoded) < VERSION_HEADER_LEN:
        raise WireError("frame shorter than the version header")
    return _HEADER.unpack_from(decoded), decoded[VERSION_HEADER_LEN:]


def is_compatible(local: tuple[int, int, int], peer: tuple[int, int, int]) -> bool:
    if local[0] != peer[0]:
        return False
    if local[0] == 0 and local[1] != peer[1]:
        return False
    return not (local[0] == 0 and local[1] == 0 and local[2] != peer[2])


class FrameSplitter:
    """Joins received packets into a stream and cuts it at each delimiter."""

    def __init__(self, limit: int = RX_BUFFER_LIMIT) -> None:
        self._buffer = bytearray()
        self._limit = limit

    def feed(self, packet: bytes) -> list[bytes]:
        self._buffer += packet
        frames = []
        while (end := self._buffer.find(0)) >= 0:
            frames.append(bytes(self._buffer[:end + 1]))
            del self._buffer[:end + 1]
        if len(self._buffer) > self._limit:
            del self._buffer[:len(self._buffer) - self._limit]
        return frames
