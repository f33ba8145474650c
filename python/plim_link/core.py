"""The client's protocol state, without any I/O, clock or thread.

Both clients feed it what arrived and what the program asks for, each input with one reading of
the monotonic and the wall clock in nanoseconds, and write the packets it hands back. Everything a
rule decides lives here: the velocity checks, the stop on close, the inboxes and subscriptions,
the link state and the heartbeat, packets held for a plim not yet known, what is recorded, and
what is logged.
"""
from __future__ import annotations

import copy
import logging
import math
from collections import Counter, deque
from dataclasses import dataclass, field
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, Protocol

import plim_ffi

from .commands import STOP, commands_motion, kind_of, refuse_unsafe_velocity, wheel_velocities
from .inbox import Inbox, Timed
from .recording import RECEIVED, SENT

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage

log = logging.getLogger("plim_link")

LinkState = Literal["connecting", "up", "down", "ended"]
MAX_PACKET_LEN = 1400
HELD_LIMIT = 64  # messages kept for a plim not yet known; the newest wheel command always among them
WARN_INTERVAL_NS = 1_000_000_000
BROKEN_FRAME = "frame dropped: broken COBS encoding, or cut short by a receive buffer overflow"


class Sink(Protocol):
    """Where a client records its traffic: every packet each way, and every message."""

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None: ...
    def message(self, direction: bytes, message: Any, wall_ns: int) -> None: ...
    def close(self) -> None: ...


@dataclass
class Stats:
    """Traffic each way since the client opened, and the health of the link."""

    packets_sent: int = 0
    packets_received: int = 0
    bytes_sent: int = 0
    bytes_received: int = 0
    messages_sent: int = 0
    messages_received: int = 0
    sent_by_kind: Counter[str] = field(default_factory=Counter)
    received_by_kind: Counter[str] = field(default_factory=Counter)
    errors: int = 0  # frames the link refused or passed over
    foreign_datagrams: int = 0  # datagrams from another address than the plim's
    dropped_messages: int = 0  # lost to the client's own full inbox, oldest first
    held_dropped: int = 0  # commands given up while no plim was known yet (udp-listen)
    transport_errors: int = 0  # errors the network reported (ICMP), which do not end a connection
    last_message_time: float | None = None  # time.monotonic() of the newest message
    rtt_s: float | None = None  # the last heartbeat's round trip
    link_downs: int = 0
    recording_error: str | None = None


# The newest message of a kind, with its wall-clock time, and its time.monotonic_ns() of arrival.
Arrival = tuple[Timed, int]
_make_timed = tuple.__new__


class Throttle:
    """At most one warning per interval; what it held back is counted into the next."""

    def __init__(self, interval_ns: int = WARN_INTERVAL_NS) -> None:
        self.interval_ns = interval_ns
        self.next_ns: int | None = None
        self.held_back = 0

    def warn(self, mono_ns: int, text: str, *args: object) -> None:
        if self.next_ns is not None and mono_ns < self.next_ns:
            self.held_back += 1
            return
        self.next_ns = mono_ns + self.interval_ns
        held, self.held_back = self.held_back, 0
        log.warning(text + (f" ({held} more since the last warning)" if held else ""), *args)


def _seconds_ns(name: str, value: float) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return max(1, int(value * 1e9))


class ClientCore:
    """One connection's state; not thread-safe, so a client serialises its calls."""

    def __init__(self, *, mono_ns: int, auto_pong: bool = True, strict: bool = False, stop_on_close: bool = True,
                 heartbeat_s: float | None = 1.0, link_timeout_s: float = 3.0, queue_size: int = 10000,
                 live: bool = True, peer_known: bool = True, sinks: Sequence[Sink] = ()) -> None:
        if isinstance(queue_size, bool) or not isinstance(queue_size, int) or queue_size < 1:
            raise ValueError(f"queue_size must be a positive int, got {queue_size!r}")
        self._heartbeat_ns = None if heartbeat_s is None else _seconds_ns("heartbeat_s", heartbeat_s)
        self._timeout_ns = _seconds_ns("link_timeout_s", link_timeout_s)
        self.link = plim_ffi.ObjectLink()
        self.stats = Stats()
        self.latest: dict[str, Arrival] = {}
        self.auto_pong = auto_pong
        self.strict = strict
        self.stop_on_close = stop_on_close
        self.live = live
        self.inbox = Inbox(None, queue_size)
        self.subscriptions: list[Inbox] = [self.inbox]
        self.state: LinkState = "connecting"
        self.moving = False
        self.closed = False
        self.user_pongs = 0  # Pongs that answered a Ping the program sent, for ping()
        self._user_pings: deque[int] = deque(maxlen=64)
        self._heartbeat_sent_ns: int | None = None
        self._next_heartbeat_ns = mono_ns if live and self._heartbeat_ns is not None else None
        self._last_message_ns: int | None = None
        self._peer_known = peer_known
        self._held: deque[tuple[str, Any, list[bytes]]] = deque()
        self._sinks = list(sinks)
        self._bad_frames = Throttle()
        self._net_errors = Throttle()

    # -- sending -------------------------------------------------------------------

    def send(self, message: HostMessage | Any, mono_ns: int, wall_ns: int) -> list[bytes]:
        """The packets to write now (none while the plim is not known yet).

        A refused message raises and leaves nothing behind: no packet, no change of state.
        """
        if self.closed:
            raise ValueError("the client is closed")
        self.link.send(message)
        packets = self._take_packets()
        kind = kind_of(message)
        if kind == "SetDriveBaseVelocity":
            velocities = wheel_velocities(packets)
            if velocities is not None:
                refuse_unsafe_velocity(message, velocities)
            self.moving = velocities is None or commands_motion(velocities)
        elif kind == "Ping":
            self._user_pings.append(mono_ns)
        if not self._peer_known:
            self._hold(kind, message, packets)
            return []
        return self._sent(kind, message, packets, mono_ns, wall_ns)

    @property
    def peer_known(self) -> bool:
        return self._peer_known

    def snapshot(self) -> Stats:
        return copy.deepcopy(self.stats)

    def forget_ping(self) -> None:
        """A Ping the program stopped waiting for; its late Pong is no longer its answer."""
        if self._user_pings:
            self._user_pings.popleft()

    def _take_packets(self) -> list[bytes]:
        packets = []
        while (packet := self.link.poll_transmit()) is not None:
            packets.append(packet)
        return packets

    def _encode(self, message: HostMessage, mono_ns: int, wall_ns: int) -> list[bytes]:
        self.link.send(message)
        return self._sent(kind_of(message), message, self._take_packets(), mono_ns, wall_ns)

    def _sent(self, kind: str, message: Any, packets: list[bytes], mono_ns: int, wall_ns: int) -> list[bytes]:
        stats = self.stats
        stats.messages_sent += 1
        stats.sent_by_kind[kind] += 1
        for packet in packets:
            stats.packets_sent += 1
            stats.bytes_sent += len(packet)
            self._record("packet", SENT, packet, mono_ns, wall_ns)
        self._record("message", SENT, message, wall_ns)
        return packets

    def _hold(self, kind: str, message: Any, packets: list[bytes]) -> None:
        # Only the newest wheel command matters to a plim that turns up late; a backlog of them
        # would replay stale motion at once.
        if kind == "SetDriveBaseVelocity":
            for entry in [e for e in self._held if e[0] == kind]:
                self._held.remove(entry)
        self._held.append((kind, message, packets))
        if len(self._held) > HELD_LIMIT:
            dropped = next(e for e in self._held if e[0] != "SetDriveBaseVelocity")
            self._held.remove(dropped)
            if self.stats.held_dropped == 0:
                log.warning("plim_link: no plim has spoken yet; keeping only the newest %d commands", HELD_LIMIT)
            self.stats.held_dropped += 1

    def peer_found(self, mono_ns: int, wall_ns: int) -> list[bytes]:
        """The plim is known now (udp-listen): what was held goes out, and a heartbeat is due."""
        self._peer_known = True
        out: list[bytes] = []
        while self._held:
            kind, message, packets = self._held.popleft()
            out += self._sent(kind, message, packets, mono_ns, wall_ns)
        if self._next_heartbeat_ns is not None:
            self._next_heartbeat_ns = mono_ns
        return out

    # -- receiving -----------------------------------------------------------------

    def receive(self, data: bytes, mono_ns: int, wall_ns: int) -> list[bytes]:
        """Takes one packet or stream chunk; returns the replies to write (a Pong for a Ping)."""
        if self.closed:
            return []
        stats = self.stats
        stats.packets_received += 1
        stats.bytes_received += len(data)
        if self._sinks:
            self._record("packet", RECEIVED, data, mono_ns, wall_ns)
        replies: list[bytes] = []
        link = self.link
        # A stream read after a stall can be longer than the link's 5000-byte window, so the link gets
        # it in slices no longer than the plim's own packets, and is drained after each.
        for offset in range(0, len(data), MAX_PACKET_LEN):
            chunk = data[offset:offset + MAX_PACKET_LEN]
            link.handle_receive(chunk)
            skipped = link.skipped_frames
            # Each zero byte closes one frame, so no more polls than zeros can find one.
            for _ in range(chunk.count(0)):
                try:
                    message = link.poll_receive()
                except ValueError as exc:
                    self._bad_frame(exc, mono_ns)
                    continue
                if message is None:
                    break
                replies += self._arrived(message, mono_ns, wall_ns)
            # Frames with broken COBS are passed over inside the polls; the link counts them.
            if link.skipped_frames != skipped:
                for _ in range(link.skipped_frames - skipped):
                    self._bad_frame(ValueError(BROKEN_FRAME), mono_ns)
        return replies

    def _bad_frame(self, exc: ValueError, mono_ns: int) -> None:
        self.stats.errors += 1
        self._bad_frames.warn(mono_ns, "plim_link: skipped a bad frame: %s", exc)
        if self.strict:
            self.inbox.put(exc)

    def _arrived(self, message: DeviceMessage, mono_ns: int, wall_ns: int) -> list[bytes]:
        # This runs for every message: a few hundred thousand a second across a fleet.
        kind = message if isinstance(message, str) else next(iter(message))
        stats = self.stats
        stats.messages_received += 1
        stats.received_by_kind[kind] += 1
        stats.last_message_time = mono_ns / 1e9
        if self.state in ("connecting", "down"):
            if self.state == "down" and self._last_message_ns is not None:
                log.info("plim_link: link up again after %.1f s without messages",
                         (mono_ns - self._last_message_ns) / 1e9)
            self.state = "up"
        self._last_message_ns = mono_ns
        timed = _make_timed(Timed, (wall_ns / 1e9, message))  # as Timed(...) does, without its Python frame
        self.latest[kind] = (timed, mono_ns)
        replies: list[bytes] = []
        if kind == "Ping" and self.auto_pong:
            replies = self._encode("Pong", mono_ns, wall_ns)
        elif kind == "Pong" and self._answers_heartbeat(mono_ns):
            return replies  # the link's own upkeep, not news for the program
        if self._sinks:
            self._record("message", RECEIVED, message, wall_ns)
        for inbox in self.subscriptions:
            if inbox.closed or (inbox.kinds is not None and kind not in inbox.kinds):
                continue
            if len(inbox.items) == inbox.maxlen:  # the deque drops its oldest as this one goes in
                inbox.dropped += 1
                if inbox is self.inbox:
                    stats.dropped_messages += 1
            inbox.items.append(timed)
        return replies

    def _answers_heartbeat(self, mono_ns: int) -> bool:
        # Pongs carry no sequence number: a Ping the program sent is answered first, then the heartbeat.
        if self._user_pings:
            self._user_pings.popleft()
            self.user_pongs += 1
            return False
        if self._heartbeat_sent_ns is None:
            return False
        self.stats.rtt_s = (mono_ns - self._heartbeat_sent_ns) / 1e9
        self._heartbeat_sent_ns = None
        return True

    def transport_error(self, exc: OSError, mono_ns: int) -> None:
        """An error the network reported (an ICMP refusal or a firewall's reject): counted, not an end."""
        self.stats.transport_errors += 1
        self._net_errors.warn(mono_ns, "plim_link: the network reported: %s; the link state tells whether the "
                              "plim is there", exc)

    # -- time ----------------------------------------------------------------------

    def tick(self, mono_ns: int, wall_ns: int) -> list[bytes]:
        """Runs what is due by `mono_ns`: a heartbeat to send, a link gone quiet."""
        if self.closed or self.state == "ended":
            return []
        out: list[bytes] = []
        if self._next_heartbeat_ns is not None and self._heartbeat_ns and mono_ns >= self._next_heartbeat_ns:
            self._next_heartbeat_ns += self._heartbeat_ns
            if self._next_heartbeat_ns <= mono_ns:  # after a stall, start again from now: no burst of beats
                self._next_heartbeat_ns = mono_ns + self._heartbeat_ns
            if self._peer_known:
                self._heartbeat_sent_ns = mono_ns
                out = self._encode("Ping", mono_ns, wall_ns)
        if (self.live and self.state == "up" and self._last_message_ns is not None
                and mono_ns - self._last_message_ns >= self._timeout_ns):
            self.state = "down"
            self.stats.link_downs += 1
            log.warning("plim_link: no message from the plim for %.1f s; link down", self._timeout_ns / 1e9)
        return out

    def next_deadline_ns(self) -> int | None:
        """When `tick` next has something to do; None if nothing is scheduled."""
        if self.closed or self.state == "ended":
            return None
        deadlines = []
        if self._next_heartbeat_ns is not None:
            deadlines.append(self._next_heartbeat_ns)
        if self.live and self.state == "up" and self._last_message_ns is not None:
            deadlines.append(self._last_message_ns + self._timeout_ns)
        return min(deadlines, default=None)

    # -- subscriptions ---------------------------------------------------------------

    def subscribe(self, kinds: frozenset[str] | None, maxlen: int) -> Inbox:
        if isinstance(maxlen, bool) or not isinstance(maxlen, int) or maxlen < 1:
            raise ValueError(f"maxlen must be a positive int, got {maxlen!r}")
        inbox = Inbox(kinds, maxlen)
        inbox.closed = self.state == "ended"
        self.subscriptions.append(inbox)
        return inbox

    def unsubscribe(self, inbox: Inbox) -> None:
        inbox.closed = True
        if inbox in self.subscriptions and inbox is not self.inbox:
            self.subscriptions.remove(inbox)

    def room_for_replay(self) -> bool:
        """Whether a replay may hand over the next packet without any reader losing a message.

        The client's own inbox is waited for unless the program reads only its subscriptions.
        """
        reads_own = self.inbox.read or len(self.subscriptions) == 1
        return not any(inbox.full() for inbox in self.subscriptions
                       if not inbox.closed and (inbox is not self.inbox or reads_own))

    # -- the end ---------------------------------------------------------------------

    def end(self, error: BaseException | None = None) -> None:
        """The connection is over: the transport ended, or an error no rule foresaw (`error`),
        which every reader then gets from its next `recv`."""
        if self.state == "ended":
            return
        self.state = "ended"
        for inbox in self.subscriptions:
            if error is not None:
                inbox.error = error
            inbox.closed = True

    def close(self, mono_ns: int, wall_ns: int) -> list[bytes]:
        """Ends the connection; returns the stop to write first if this side set the wheels moving."""
        if self.closed:
            return []
        stop = []
        if self.stop_on_close and self.moving and self._peer_known:
            stop = self._encode(STOP, mono_ns, wall_ns)
            self.moving = False
        self.closed = True
        self.end()
        return stop

    def close_sinks(self) -> None:
        sinks, self._sinks = self._sinks, []
        for sink in sinks:
            try:
                sink.close()
            except Exception as exc:
                self._recording_failed(exc)

    # -- recording -------------------------------------------------------------------

    def _record(self, what: str, *args: Any) -> None:
        for sink in self._sinks:
            try:
                getattr(sink, what)(*args)
            except Exception as exc:
                # A recording must never stand between the program and the plim: it stops alone,
                # and the link and every other sink go on.
                self._sinks = [other for other in self._sinks if other is not sink]
                try:
                    sink.close()
                except Exception:
                    pass
                self._recording_failed(exc)

    def _recording_failed(self, exc: Exception) -> None:
        text = str(exc) or type(exc).__name__
        if self.stats.recording_error is None:
            self.stats.recording_error = text
        log.error("plim_link: recording stopped: %s", text)
