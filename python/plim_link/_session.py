"""The client's protocol state without any I/O: link, counters, latest values, recording."""
from __future__ import annotations

import logging
import math
import struct
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import plim_ffi

from .recording import RECEIVED, SENT, Recorder

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage

log = logging.getLogger("plim_link")


def kind_of(message: Any) -> str:
    """A message's variant name: the text itself, or the one key of its object."""
    if isinstance(message, str):
        return message
    if isinstance(message, dict) and len(message) == 1:
        return str(next(iter(message)))
    return type(message).__name__


@dataclass
class Stats:
    """Traffic each way since the client opened; `errors` counts frames the link refused."""

    packets_sent: int = 0
    packets_received: int = 0
    bytes_sent: int = 0
    bytes_received: int = 0
    messages_sent: int = 0
    messages_received: int = 0
    sent_by_kind: Counter[str] = field(default_factory=Counter)
    received_by_kind: Counter[str] = field(default_factory=Counter)
    errors: int = 0
    foreign_datagrams: int = 0
    dropped_messages: int = 0
    last_message_time: float | None = None


def checked_velocity(name: str, value: float) -> float:
    """A wheel velocity the plim will take as meant: finite, and finite again as a 32-bit float."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        number = float(value)
        if math.isfinite(number):
            struct.pack("<f", number)
    except OverflowError:
        raise ValueError(f"{name} is beyond the plim's 32-bit float range") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


def _commands_motion(message: Any) -> bool:
    """Whether a SetDriveBaseVelocity asks for any motion; unreadable ones count as motion, to be safe."""
    record = message.get("SetDriveBaseVelocity") if isinstance(message, dict) else None
    if isinstance(record, dict):
        record = [record.get("left_velocity_rad_per_s"), record.get("right_velocity_rad_per_s")]
    if isinstance(record, (list, tuple)):
        return any(not isinstance(v, (int, float)) or v != 0 for v in record)
    return True


MAX_PACKET_LEN = 1400
BROKEN_FRAME = "frame dropped: broken COBS encoding, or cut short by a receive buffer overflow"
STOP: HostMessage = {"SetDriveBaseVelocity": [0.0, 0.0]}


class Session:
    """Not thread-safe: a client serialises its calls."""

    def __init__(self, *, auto_pong: bool = True, strict: bool = False, recorder: Recorder | None = None) -> None:
        self.link = plim_ffi.ObjectLink()
        self.stats = Stats()
        self.latest: dict[str, tuple[DeviceMessage, float]] = {}
        self.auto_pong = auto_pong
        self.strict = strict
        self.recorder = recorder
        self.moving = False

    def send(self, message: HostMessage | Any) -> list[bytes]:
        """The packets of `message`; a message the link refuses raises and leaves nothing behind."""
        self.link.send(message)
        packets = []
        while (packet := self.link.poll_transmit()) is not None:
            packets.append(packet)
        kind = kind_of(message)
        if kind == "SetDriveBaseVelocity":
            self.moving = _commands_motion(message)
        stats = self.stats
        stats.messages_sent += 1
        stats.sent_by_kind[kind] += 1
        for packet in packets:
            stats.packets_sent += 1
            stats.bytes_sent += len(packet)
            if self.recorder is not None:
                self.recorder.write(SENT, packet)
        return packets

    def receive(self, data: bytes) -> tuple[list[DeviceMessage | ValueError], list[bytes]]:
        """Messages decoded from `data` (bad frames too, in strict mode) and any reply packets to send."""
        stats = self.stats
        stats.packets_received += 1
        stats.bytes_received += len(data)
        if self.recorder is not None:
            self.recorder.write(RECEIVED, data)
        out: list[DeviceMessage | ValueError] = []
        replies: list[bytes] = []
        # A stream read after a stall can be longer than the link's 5000-byte window, so the link gets
        # it in slices no longer than the plim's own packets, and is drained after each.
        for offset in range(0, len(data), MAX_PACKET_LEN):
            chunk = data[offset:offset + MAX_PACKET_LEN]
            self.link.handle_receive(chunk)
            # Each zero byte closes one frame, and a frame with broken COBS gives no result of its own
            # (a None, or it is passed over), so polling once per zero takes every frame and counts
            # each lost one as a None.
            for _ in range(chunk.count(0)):
                try:
                    message = self.link.poll_receive()
                    if message is None:
                        raise ValueError(BROKEN_FRAME)
                except ValueError as exc:
                    stats.errors += 1
                    log.warning("plim_link: skipped a bad frame: %s", exc)
                    if self.strict:
                        out.append(exc)
                    continue
                now = time.monotonic()
                kind = kind_of(message)
                stats.messages_received += 1
                stats.received_by_kind[kind] += 1
                stats.last_message_time = now
                self.latest[kind] = (message, now)
                if kind == "Ping" and self.auto_pong:
                    replies += self.send("Pong")
                out.append(message)
        return out, replies
