"""`PlimClient`: drive a plim from a Python program, one call per command."""
from __future__ import annotations

import logging
import os
import threading
import time
from collections.abc import Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from . import commands, lifecycle
from .core import ClientCore, LinkState, Sink, Stats
from .inbox import Inbox, Timed
from .kinds import KindQueries
from .recording import RECEIVED, Recordings, open_records, open_sinks
from .replay import ReplayClock
from .transports import NetworkReport, Transport, open_transport
from .urls import parse_url
from .waiting import Deadline, check_seconds, check_timeout

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage
    from .recording_reader import RecordingReader

log = logging.getLogger("plim_link")
POLL_S = 0.05  # how soon the reader thread notices close()


def _now() -> tuple[int, int]:
    return time.monotonic_ns(), time.time_ns()


class PlimClient(KindQueries):
    """A connection to one plim, given by URL (udp://, udp-listen://, serial://, sim://, file://) or
    by the path of a recording to replay.

    A reader thread takes packets as they arrive, answers the plim's pings, sends a heartbeat,
    watches the link and queues every message for `recv` and for each subscription; `latest`
    always has the newest of each kind.
    """

    def __init__(self, url: str | os.PathLike[str], *, auto_pong: bool = True, strict: bool = False,
                 stop_on_close: bool = True, record: Recordings | None = None,
                 queue_size: int = 10000, heartbeat_s: float | None = 1.0, link_timeout_s: float = 3.0,
                 write_timeout_s: float = 1.0, handle_signals: bool = True) -> None:
        endpoint = parse_url(url)
        self.url = url if isinstance(url, str) else os.fspath(url)
        self._write_timeout = check_seconds(write_timeout_s, "write_timeout_s")
        self._transport: Transport | None = None
        self._records: RecordingReader | None = None
        if endpoint.scheme == "file":
            self._records = open_records(endpoint.path)
        sinks: list[Sink] = []
        try:
            sinks = open_sinks(record, self.url)
            if self._records is None:
                self._transport = open_transport(endpoint)
            self._core = ClientCore(
                mono_ns=time.monotonic_ns(), auto_pong=auto_pong, strict=strict, stop_on_close=stop_on_close,
                heartbeat_s=heartbeat_s, link_timeout_s=link_timeout_s, queue_size=queue_size,
                live=endpoint.live, peer_known=self._transport is None or self._transport.peer_known, sinks=sinks)
        except BaseException:
            for thing in (self._transport, *sinks, self._records):
                if thing is not None:
                    thing.close()
            raise
        self._speed = endpoint.options.get("speed")
        self._cond = threading.Condition()  # guards the core; waiters wait on it
        # Keeps each message's packets together on the wire; re-entrant, so that a signal handler
        # closing the client in the middle of a send still gets the stop out at once.
        self._write_lock = threading.RLock()
        self._stopping = threading.Event()
        self._closed = False
        loop = self._read_loop if self._records is None else self._replay_loop
        self._reader = threading.Thread(target=self._run_reader, args=(loop,), name="plim-link-reader", daemon=True)
        self._reader.start()
        lifecycle.opened(self, handle_signals)

    @property
    def stop_on_close(self) -> bool:
        """Whether closing sends `SetDriveBaseVelocity` zero when this client set the wheels moving."""
        return self._core.stop_on_close

    @stop_on_close.setter
    def stop_on_close(self, value: bool) -> None:
        self._core.stop_on_close = value

    # -- sending -------------------------------------------------------------------

    def send(self, message: HostMessage) -> None:
        """Sends any message the link accepts, at once; a refused one raises and sends nothing.

        A SetDriveBaseVelocity whose velocity is NaN, infinite or beyond float32 is refused with
        ValueError. TimeoutError if the transport takes nothing within `write_timeout_s`.
        """
        with self._cond:
            packets = self._core.send(message, *_now())
        self._write(packets)

    def ping(self, timeout: float = 1.0) -> float:
        """Round-trip time in seconds to the plim's Pong; TimeoutError if none comes in time."""
        deadline = Deadline(check_timeout(timeout))
        with self._cond:
            before = self._core.user_pongs
        start = time.perf_counter()
        self.send("Ping")
        with self._cond:
            while self._core.user_pongs == before:
                remaining = deadline.remaining()
                if remaining == 0 or self._core.state == "ended":
                    self._core.forget_ping()
                    raise TimeoutError(f"no Pong from the plim within {timeout:g} s")
                self._cond.wait(remaining)
        return time.perf_counter() - start

    def pong(self) -> None:
        """Sends a `Pong` (the plim's own `Ping`s are answered already, unless `auto_pong=False`)."""
        self.send("Pong")

    def request_network_scan(self) -> None:
        """Asks the plim for a `State` report with the networks it sees."""
        self.send("RequestNetworkScan")

    def set_network_connection_config(self, ssid: str, password: str) -> None:
        """Tells the plim which Wi-Fi network to join; its next `State` says how that went."""
        self.send(commands.set_network_connection_config(ssid, password))

    def set_uid(self, uid: str) -> None:
        """Gives the plim a new identifier, which its `State` reports from then on."""
        self.send(commands.set_uid(uid))

    def set_drive_base_velocity(self, left_rad_per_s: float, right_rad_per_s: float) -> None:
        """Wheel velocities in rad/s; refuses NaN, infinities and values beyond float32."""
        self.send(commands.set_drive_base_velocity(left_rad_per_s, right_rad_per_s))

    # -- receiving -----------------------------------------------------------------

    def recv(self, timeout: float | None = None) -> DeviceMessage | None:
        """The next message; None on timeout or once the connection has ended and nothing is left."""
        timed = self._take(self._core.inbox, timeout)
        return None if timed is None else timed.message

    def recv_timed(self, timeout: float | None = None) -> Timed | None:
        """The next message with the time it arrived (seconds since the epoch)."""
        return self._take(self._core.inbox, timeout)

    def _recv_match(self, kinds: tuple[str, ...], timeout: float | None) -> DeviceMessage | None:
        deadline = Deadline(check_timeout(timeout))
        while True:
            timed = self._take(self._core.inbox, deadline.remaining())
            if timed is None or commands.kind_of(timed.message) in kinds:
                return None if timed is None else timed.message

    def __iter__(self) -> Iterator[DeviceMessage]:
        """Every message until the connection ends (a replay runs out, a serial line goes, close())."""
        while (message := self.recv()) is not None:
            yield message

    def _latest_arrival(self, kind: str) -> Any:
        with self._cond:
            return self._core.latest.get(kind)

    def drain(self) -> int:
        """Drops what is queued for `recv` (not the subscriptions' queues) and says how many."""
        with self._cond:
            count = self._core.inbox.clear()
            self._cond.notify_all()
        return count

    def subscribe(self, kinds: str | tuple[str, ...] | list[str] | None = None, *, maxlen: int = 10000) -> Subscription:
        """Every message of `kinds` (all when None) from now on, in a queue of its own."""
        wanted = None if kinds is None else frozenset(commands.check_kinds(kinds))
        with self._cond:
            return Subscription(self, self._core.subscribe(wanted, maxlen))

    def wait_for_link(self, timeout: float | None = None) -> bool:
        """Waits until messages arrive (`link_state` "up"); False on timeout or if the connection ended."""
        deadline = Deadline(check_timeout(timeout))
        with self._cond:
            while self._core.state not in ("up", "ended"):
                remaining = deadline.remaining()
                if remaining == 0:
                    break
                self._cond.wait(remaining)
            return self._core.state == "up"

    @property
    def link_state(self) -> LinkState:
        """"connecting" until the first message, "up" while they arrive, "down" after `link_timeout_s`
        without any, "ended" once the connection has ended or the client is closed."""
        return self._core.state

    @property
    def stats(self) -> Stats:
        """A snapshot of the counters: traffic each way, bad frames, drops, link health, recording."""
        with self._cond:
            stats = self._core.snapshot()
        stats.foreign_datagrams = 0 if self._transport is None else self._transport.foreign
        return stats

    @property
    def closed(self) -> bool:
        """Whether `close()` has been called."""
        return self._closed

    @property
    def ended(self) -> bool:
        """Whether the connection has ended (a replay ran out, a serial line went away, or close())."""
        return self._core.state == "ended"

    def _take(self, inbox: Inbox, timeout: float | None) -> Timed | None:
        deadline = Deadline(check_timeout(timeout))
        with self._cond:
            while not inbox.ready():
                remaining = deadline.remaining()
                if inbox.closed or remaining == 0:
                    inbox.read = True
                    return None
                self._cond.wait(remaining)
            item = inbox.take()
            self._cond.notify_all()  # a replay may be waiting for room
        if isinstance(item, Exception):
            raise item
        return item

    # -- upkeep --------------------------------------------------------------------

    def close(self) -> None:
        """Stops the wheels if this client set them turning, then ends the connection.

        Returns within about twice `write_timeout_s` whatever the transport does.
        """
        with self._cond:
            if self._closed:
                return
            self._closed = True
            stop = self._core.close(*_now())
            self._cond.notify_all()
        try:
            self._write(stop)
        except (TimeoutError, OSError) as exc:
            log.error("plim_link: the stop did not reach the plim: %s", exc)
        finally:
            self._stopping.set()
            if self._reader is not threading.current_thread():
                self._reader.join(timeout=self._write_timeout + 1.0)
            if self._transport is not None:
                try:
                    self._transport.close()
                except OSError:
                    pass
            if self._records is not None:
                self._records.close()
            with self._cond:
                self._core.close_sinks()
            lifecycle.closed(self)

    _close_now = close

    def __enter__(self) -> PlimClient:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    # -- the reader thread ---------------------------------------------------------

    def _write(self, packets: list[bytes]) -> None:
        transport = self._transport
        if not packets or transport is None:
            return
        deadline = time.monotonic() + self._write_timeout
        if not self._write_lock.acquire(timeout=self._write_timeout):
            raise self._timed_out(TimeoutError(f"could not write to the plim within {self._write_timeout:g} s"))
        try:
            for packet in packets:
                try:
                    transport.write(packet, deadline)
                except NetworkReport as report:
                    with self._cond:
                        self._core.transport_error(report.error, time.monotonic_ns())
                except TimeoutError as exc:
                    raise self._timed_out(exc) from None
        finally:
            self._write_lock.release()

    def _timed_out(self, exc: TimeoutError) -> TimeoutError:
        log.warning("plim_link: %s", exc)
        return exc

    def _run_reader(self, loop: Any) -> None:
        try:
            loop()
        except BaseException as exc:  # whatever it was, the program hears of it and the stop still goes out
            log.exception("plim_link: the connection ended on an unexpected error")
            with self._cond:
                self._core.end(exc)
                self._cond.notify_all()
        else:
            with self._cond:
                self._core.end()
                self._cond.notify_all()

    def _read_loop(self) -> None:
        transport = self._transport
        assert transport is not None
        core, cond = self._core, self._cond
        while not self._stopping.is_set():
            with cond:
                deadline = core.next_deadline_ns()
            wait = POLL_S if deadline is None else min(POLL_S, max(0.0, (deadline - time.monotonic_ns()) / 1e9))
            try:
                data = transport.read(wait)
            except NetworkReport as report:
                with cond:
                    core.transport_error(report.error, time.monotonic_ns())
                continue
            except EOFError as exc:
                log.warning("plim_link: the connection ended: %s", exc)
                return
            with cond:
                mono, wall = _now()
                out = core.peer_found(mono, wall) if not core.peer_known and transport.peer_known else []
                if data is not None:
                    out += core.receive(data, mono, wall)
                out += core.tick(mono, wall)
                cond.notify_all()
            try:
                self._write(out)
            except (TimeoutError, OSError):
                pass  # logged; the link state tells the rest

    def _replay_loop(self) -> None:
        assert self._records is not None
        core, cond = self._core, self._cond
        clock = ReplayClock(float(str(self._speed)) if self._speed is not None else None)
        for record in self._records:
            if record.direction != RECEIVED:
                continue
            due = clock.due_ns(record.session, record.time_ns, time.monotonic_ns())
            if self._stopping.wait(max(0.0, (due - time.monotonic_ns()) / 1e9)):
                return
            with cond:
                while not core.room_for_replay():
                    if self._stopping.is_set():
                        return
                    cond.wait(POLL_S)
                mono, wall = _now()
                core.receive(record.payload, mono, wall if record.wall_ns is None else record.wall_ns)
                cond.notify_all()


class Subscription:
    """Every message of its kinds since it was made, in its own bounded queue (`maxlen`; when full,
    the oldest goes and `dropped` counts it). Iterating ends when the connection ends."""

    def __init__(self, client: PlimClient, inbox: Inbox) -> None:
        self._client = client
        self._inbox = inbox

    def recv(self, timeout: float | None = None) -> DeviceMessage | None:
        """The next message of this subscription; None on timeout or once the connection has ended
        and nothing is left."""
        timed = self._client._take(self._inbox, timeout)
        return None if timed is None else timed.message

    def recv_timed(self, timeout: float | None = None) -> Timed | None:
        """The next message with the time it arrived (seconds since the epoch)."""
        return self._client._take(self._inbox, timeout)

    def __iter__(self) -> Iterator[DeviceMessage]:
        while (message := self.recv()) is not None:
            yield message

    @property
    def dropped(self) -> int:
        """Messages lost to this subscription's full queue, oldest first."""
        return self._inbox.dropped

    def close(self) -> None:
        """Ends the subscription: it gets nothing more, and its iteration ends."""
        with self._client._cond:
            self._client._core.unsubscribe(self._inbox)
            self._client._cond.notify_all()

    def __enter__(self) -> Subscription:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
