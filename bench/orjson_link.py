"""The Link's sending half in Python on orjson, the fastest JSON library Python has:
the reference for the cost of large messages.

Same texts as Link for valid input: orjson reads the message, pure_link encodes the
body and the COBS frame (bytes.split does the zero search in C), and orjson writes
each packet's byte array. Needs `pip install orjson`; the module itself never does.
"""
from __future__ import annotations

from collections import deque

import orjson

from pure_link import HEADER, MAX_PACKET_LEN, PureLink, cobs_encode, encode_host_message


class OrjsonLink(PureLink):
    def __init__(self) -> None:
        super().__init__()
        self._tx: deque[bytes] = deque()

    def send(self, message: str) -> None:
        try:
            parsed = orjson.loads(message)
        except orjson.JSONDecodeError as exc:
            raise ValueError(f"Serde JSON error: {exc}") from None
        wire = cobs_encode(HEADER + encode_host_message(parsed))
        self._tx.extend(wire[i:i + MAX_PACKET_LEN] for i in range(0, len(wire), MAX_PACKET_LEN))

    def poll_transmit(self) -> str | None:
        if not self._tx:
            return None
        return orjson.dumps(list(self._tx.popleft())).decode()
