"""The Link's sending half in Python on orjson, the fastest JSON library Python has:
the reference for the cost of large messages.

Same texts as Link for valid input: orjson reads the message, pure_link encodes the
body and the COBS frame (bytes.split does the zero search in C), and orjson writes
each packet's byte array. Needs `pip install orjson`; the module itself never does.
"""
from __future__ import annotations

import orjson

from pure_link import PureLink


class OrjsonLink(PureLink):
    loads = staticmethod(orjson.loads)  # orjson.JSONDecodeError derives from json's

    def poll_transmit(self) -> str | None:
        if not self._tx:
            return None
        return orjson.dumps(list(self._tx.popleft())).decode()
