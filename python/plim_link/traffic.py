"""The messages that packets carry each way, as texts with their kind and time.

What the plim sent is the text `Link` writes for it. What the host sent is read back from its
packets as the plim would read it and written in the same compact form, records as objects with
their field names; so a log shows what went on the wire, whatever form the program used.
"""
from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import NamedTuple

from plim_sim.messages import decode_host_message
from plim_sim.wire import FrameSplitter, WireError, decode_frame

from .jsontext import TextDecoder
from .message_text import message_text
from .recording import RECEIVED, Record

DIRECTIONS = {RECEIVED: "received"}  # any other direction byte: "sent"


class Message(NamedTuple):
    direction: str  # "received" from the plim or "sent" to it
    kind: str
    text: str
    wall_ns: int | None  # when its last packet crossed, by the wall clock; None where a recording does not say
    mono_ns: int
    session: int


def kind_of_text(text: str) -> str:
    """The message kind of a compact text: `"Ping"` or `{"Scan":[...]}`."""
    return text[1:-1] if text[0] == '"' else text[2:text.index('"', 2)]


class HostTexts:
    """The host's packets, one byte stream, as texts; frames the plim would refuse are counted."""

    def __init__(self) -> None:
        self._splitter = FrameSplitter()
        self.refused = 0

    def feed(self, data: bytes) -> list[str]:
        texts = []
        for frame in self._splitter.feed(data):
            try:
                texts.append(message_text(decode_host_message(decode_frame(frame)[1])))
            except WireError:
                self.refused += 1
        return texts


class TrafficDecoder:
    """Packets of any number of sessions, each way, into message texts; every session and direction
    is a byte stream of its own, as it was on the wire."""

    def __init__(self) -> None:
        self._streams: dict[tuple[bytes, int], TextDecoder | HostTexts] = {}

    def feed(self, direction: bytes, payload: bytes, session: int = 0) -> list[str]:
        stream = self._streams.get((direction, session))
        if stream is None:
            stream = TextDecoder() if direction == RECEIVED else HostTexts()
            self._streams[direction, session] = stream
        return stream.feed(payload)

    def refused(self, direction: bytes, session: int) -> int:
        """Frames of that session and direction that did not read as a message."""
        stream = self._streams.get((direction, session))
        return 0 if stream is None else stream.refused


def to_message(direction: bytes, text: str, wall_ns: int | None, mono_ns: int, session: int = 0) -> Message:
    return Message(DIRECTIONS.get(direction, "sent"), kind_of_text(text), text, wall_ns, mono_ns, session)


def messages(records: Iterable[Record], decoder: TrafficDecoder | None = None) -> Iterator[Message]:
    """Every message of `records` in order, timed by the packet that completed it."""
    decoder = decoder or TrafficDecoder()
    for record in records:
        for text in decoder.feed(record.direction, record.payload, record.session):
            yield to_message(record.direction, text, record.wall_ns, record.time_ns, record.session)
