"""Messages as the compact JSON texts `plim_ffi.Link` writes, for logs and buses that carry text.

A `Link` reads the packets beside the client's own `ObjectLink`, so every text is exactly
the module's, float digits included.
"""
from __future__ import annotations

from plim_ffi import Link

from .core import MAX_PACKET_LEN


_BYTE_TEXTS = tuple(str(value) for value in range(256))


def packet_text(data: bytes) -> str:
    """A packet as the JSON array of byte values `Link.handle_receive` takes."""
    # Twice as fast as formatting the list of ints, which counts when a bridge reads every packet.
    return "[" + ",".join(map(_BYTE_TEXTS.__getitem__, data)) + "]"


class TextDecoder:
    """Turns received packets (or stream chunks) into the JSON texts of the messages they carry.

    Frames the link refuses are skipped: the client that reads the same packets counts them.
    """

    def __init__(self) -> None:
        self._link = Link()

    def feed(self, data: bytes) -> list[str]:
        texts: list[str] = []
        for offset in range(0, len(data), MAX_PACKET_LEN):
            self._link.handle_receive(packet_text(data[offset:offset + MAX_PACKET_LEN]))
            while True:
                try:
                    text = self._link.poll_receive()
                except ValueError:
                    continue
                if text is None:
                    break
                texts.append(text)
        return texts
