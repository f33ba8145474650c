"""Messages as the compact JSON texts `plim_ffi.Link` writes, for logs and buses that carry text.

A `Link` reads the packets beside the client's own `ObjectLink`, so every text is exactly
the module's, float digits included.
"""
from __future__ import annotations

import sys

from plim_ffi import Link

from .core import BROKEN_FRAME, MAX_PACKET_LEN

# Two bytes at a time through one table: an export turns hundreds of megabytes into such texts.
_BYTE = [str(value) for value in range(256)]
_FIRST, _SECOND = (8, 0) if sys.byteorder == "big" else (0, 8)  # which half of a native 16-bit pair comes first
_PAIR = [f"{_BYTE[pair >> _FIRST & 0xFF]},{_BYTE[pair >> _SECOND & 0xFF]}" for pair in range(1 << 16)]



def packet_text(data: bytes) -> str:
    """A packet as the JSON array of byte values `Link.handle_receive` takes."""
    even = len(data) & ~1
    pairs = ",".join(map(_PAIR.__getitem__, memoryview(data)[:even].cast("H"))) if even else ""
    if even == len(data):
        return f"[{pairs}]"
    return f"[{pairs},{data[-1]}]" if pairs else f"[{data[-1]}]"


class TextDecoder:
    """Turns received packets (or stream chunks) into the JSON texts of the messages they carry.

    Frames the link refuses are skipped and counted in `refused`, as the client counts them.
    """

    def __init__(self) -> None:
        self._link = Link()
        self.refused = 0
        self.last_refusal = ""

    def feed(self, data: bytes) -> list[str]:
        texts: list[str] = []
        link = self._link
        for offset in range(0, len(data), MAX_PACKET_LEN):
            chunk = data[offset:offset + MAX_PACKET_LEN]
            link.handle_receive(packet_text(chunk))
            # One poll per closing zero: a frame with broken COBS gives a None of its own.
            for _ in range(chunk.count(0)):
                try:
                    text = link.poll_receive()
                    if text is None:
                        raise ValueError(BROKEN_FRAME)
                except ValueError as exc:
                    self.refused += 1
                    self.last_refusal = str(exc)
                    continue
                texts.append(text)
        return texts
