"""The asyncio client: the same operations as PlimClient on the event loop's own transports, so that
one loop can serve many plims. Nothing here blocks the loop: writes are buffered by the loop and
a send waits, within `write_timeout_s`, only for a transport that takes nothing."""
from __future__ import annotations

import asyncio
import logging
import os
import socket
import time
from collections.abc import AsyncIterator, Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any

from . import commands, lifecycle
from .core import Arrival, ClientCore, LinkState, Sink, Stats
from .inbox import Inbox, Timed
from .kinds import AsyncKindQueries
from .peer import PeerFilter
from .recording import RECEIVED, Recordings, open_records, open_sinks
from .replay import ReplayClock
from .transports import open_datagram, open_serial
from .urls import parse_url
from .waiting import Deadline, check_seconds, check_timeout

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage
    from .recording_reader import RecordingReader

log = logging.getLogger("plim_link")


def _now() -> tuple[int, int]:
    return time.monotonic_ns(), time.time_ns()


class _Datagrams(asyncio.DatagramProtocol):
    def __init__(self, client: AsyncPlimClient, listen: PeerFilter | None) -> None:
        self.client = client
        self.listen = listen
        self.transport: asyncio.DatagramTransport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def datagram_received(self, data: bytes, addr: Any) -> None:
        if self.listen is None or self.listen.admit(addr):
            self.client._on_data(data, self.listen is not None)

    def error_received(self, exc: Exception) -> None:
        if isinstance(exc, OSError):
            self.client._guarded(self.client._core.transport_error, exc, time.monotonic_ns())

    def connection_lost(self, exc: Exception | None) -> None:
        self.client._on_end()

    def write(self, packet: bytes) -> None:
        if self.transport is None or self.transport.is_closing():
            return
        if self.listen is None:
            self.transport.sendto(packet)
        elif self.listen.peer is not None:
            self.transport.sendto(packet, self.listen.peer)


class _StreamIn(asyncio.Protocol):
    def __init__(self, client: AsyncPlimClient) -> None:
        self.client = client

    def data_received(self, data: bytes) -> None:
        self.client._on_data(data, False)

    def connection_lost(self, exc: Exception | None) -> None:
        self.client._on_end()


class _StreamOut(asyncio.BaseProtocol):
    """The writing end of a serial line; the loop pauses it while its buffer is full."""

    def __init__(self) -> None:
        self.drained = asyncio.Event()
        self.drained.set()

    def pause_writing(self) -> None:
        self.drained.clear()

    def resume_writing(self) -> None:
        self.drained.set()

    def connection_lost(self, exc: Exception | None) -> None:
        self.drained.set()


class AsyncPlimClient(AsyncKindQueries):
    """Made by `connect`; every operation of PlimClient, awaited where it waits."""

    def __init__(self, core: ClientCore, url: str, write_timeout: float, handle_signals: bool) -> None:
        self._core = core
        self.url = url
        self._loop = asyncio.get_running_loop()
        self._write_timeout = write_timeout
        self._waiters: set[asyncio.Future[None]] = set()
        self._timer: asyncio.TimerHandle | None = None
        self._write_packet: Callable[[bytes], None] = lambda packet: None
        self._out: _StreamOut | None = None
        self._stream_out: asyncio.WriteTransport | None = None
        self._foreign: Callable[[], int] = lambda: 0
        self._shutdown: list[Callable[[], None]] = []
        self._task: asyncio.Task[None] | None = None
        self._closed = False
        self._state_seen: LinkState = core.state
        self._state_queues: list[asyncio.Queue[LinkState]] = []
        lifecycle.opened(self, handle_signals)

    @property
    def stop_on_close(self) -> bool:
        """Whether closing sends `SetDriveBaseVelocity` zero when this client set the wheels moving."""
        return self._core.stop_on_close

    @stop_on_close.setter
    def stop_on_close(self, value: bool) -> None:
        self._core.stop_on_close = value

    # -- from the transport and the timer --------------------------------------------

    def _guarded(self, step: Callable[..., list[bytes] | None], *args: Any) -> None:
        """Runs one step of the core and writes what it hands back; an error no rule foresaw ends
        the connection, and every reader hears of it."""
        try:
            out = step(*args)
            if out:
                for packet in out:
                    self._write_packet(packet)
        except Exception as exc:
            log.exception("plim_link: the connection ended on an unexpected error")
            self._core.end(exc)
        self._changed()

    def _on_data(self, data: bytes, listening: bool) -> None:
        self._guarded(self._receive, data, listening)

    def _receive(self, data: bytes, listening: bool) -> list[bytes]:
        mono, wall = _now()
        out = self._core.peer_found(mono, wall) if listening and not self._core.peer_known else []
        return out + self._core.receive(data, mono, wall)

    def _on_timer(self) -> None:
        self._timer = None
        self._guarded(self._core.tick, *_now())

    def _on_end(self) -> None:
        if self._core.state != "ended":
            self._core.end()
            self._changed()

    def _changed(self) -> None:
        if self._core.state != self._state_seen:
            self._state_seen = self._core.state
            for queue in self._state_queues:
                queue.put_nowait(self._state_seen)
        self._wake()
        deadline = self._core.next_deadline_ns()
        # Every message moves the link timeout later; a timer that fires early finds nothing due and
        # is set again, which costs far less than setting it anew for each datagram.
        if self._timer is not None and (deadline is None or deadline / 1e9 < self._timer.when()):
            self._timer.cancel()
            self._timer = None
        if deadline is not None and self._timer is None:
            # The loop's clock is time.monotonic(), the core's clock.
            self._timer = self._loop.call_at(deadline / 1e9, self._on_timer)

    def _wake(self) -> None:
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_result(None)
        self._waiters.clear()

    async def _until(self, ready: Callable[[], bool], timeout: float | None) -> bool:
        deadline = Deadline(timeout)
        while not ready():
            remaining = deadline.remaining()
            if remaining == 0:
                return False
            waiter = self._loop.create_future()
            self._waiters.add(waiter)
            if remaining is None:
                await waiter
                continue
            try:
                await asyncio.wait_for(waiter, remaining)
            except asyncio.TimeoutError:
                pass
        return True

    # -- sending -------------------------------------------------------------------

    async def send(self, message: HostMessage) -> None:
        """Sends any message the link accepts; a refused one raises and sends nothing (PlimClient.send)."""
        self._write(self._core.send(message, *_now()))
        if self._out is not None and not self._out.drained.is_set():
            try:
                await asyncio.wait_for(self._out.drained.wait(), self._write_timeout)
            except asyncio.TimeoutError:
                text = f"could not write to the plim within {self._write_timeout:g} s"
                log.warning("plim_link: %s", text)
                raise TimeoutError(text) from None

    def _write(self, packets: list[bytes]) -> None:
        for packet in packets:
            self._write_packet(packet)

    async def ping(self, timeout: float = 1.0) -> float:
        """Round-trip time in seconds to the plim's Pong; TimeoutError if none comes in time."""
        limit = check_timeout(timeout)
        before = self._core.user_pongs
        start = time.perf_counter()
        await self.send("Ping")
        if not await self._until(lambda: self._core.user_pongs != before or self._core.state == "ended", limit) \
                or self._core.user_pongs == before:
            self._core.forget_ping()
            raise TimeoutError(f"no Pong from the plim within {timeout:g} s")
        return time.perf_counter() - start

    async def pong(self) -> None:
        """Sends a `Pong` (the plim's own `Ping`s are answered already, unless `auto_pong=False`)."""
        await self.send("Pong")

    async def request_network_scan(self) -> None:
        """Asks the plim for a `State` report with the networks it sees."""
        await self.send("RequestNetworkScan")

    async def set_network_connection_config(self, ssid: str, password: str) -> None:
        """Tells the plim which Wi-Fi network to join; its next `State` says how that went."""
        await self.send(commands.set_network_connection_config(ssid, password))

    async def set_uid(self, uid: str) -> None:
        """Gives the plim a new identifier, which its `State` reports from then on."""
        await self.send(commands.set_uid(uid))

    async def set_drive_base_velocity(self, left_rad_per_s: float, right_rad_per_s: float) -> None:
        """Wheel velocities in rad/s; refuses NaN, infinities and values beyond float32."""
        await self.send(commands.set_drive_base_velocity(left_rad_per_s, right_rad_per_s))

    # -- receiving -----------------------------------------------------------------

    async def _take(self, inbox: Inbox, timeout: float | None) -> Timed | None:
        limit = check_timeout(timeout)
        if not inbox.ready():
            await self._until(lambda: inbox.ready() or inbox.closed, limit)
            if not inbox.ready():
                inbox.read = True
                return None
        item = inbox.take()
        if self._task is not None:
            self._wake()  # a replay may be waiting for room
        if isinstance(item, Exception):
            raise item
        return item

    async def recv(self, timeout: float | None = None) -> DeviceMessage | None:
        """The next message; None on timeout or once the connection has ended and nothing is left."""
        timed = await self._take(self._core.inbox, timeout)
        return None if timed is None else timed.message

    async def recv_timed(self, timeout: float | None = None) -> Timed | None:
        """The next message with the time it arrived (seconds since the epoch)."""
        return await self._take(self._core.inbox, timeout)

    async def _recv_match(self, kinds: tuple[str, ...], timeout: float | None) -> DeviceMessage | None:
        deadline = Deadline(check_timeout(timeout))
        while True:
            timed = await self._take(self._core.inbox, deadline.remaining())
            if timed is None or commands.kind_of(timed.message) in kinds:
                return None if timed is None else timed.message

    async def __aiter__(self) -> AsyncIterator[DeviceMessage]:
        while (message := await self.recv()) is not None:
            yield message

    def _latest_arrival(self, kind: str) -> Arrival | None:
        return self._core.latest.get(kind)

    def drain(self) -> int:
        """Drops what is queued for `recv` (not the subscriptions' queues) and says how many."""
        count = self._core.inbox.clear()
        self._changed()
        return count

    def subscribe(self, kinds: str | tuple[str, ...] | list[str] | None = None, *,
                  maxlen: int = 10000) -> AsyncSubscription:
        """Every message of `kinds` (all when None) from now on, in a queue of its own."""
        wanted = None if kinds is None else frozenset(commands.check_kinds(kinds))
        return AsyncSubscription(self, self._core.subscribe(wanted, maxlen))

    async def wait_for_link(self, timeout: float | None = None) -> bool:
        """Waits until messages arrive (`link_state` "up"); False on timeout or if the connection ended."""
        await self._until(lambda: self._core.state in ("up", "ended"), check_timeout(timeout))
        return self._core.state == "up"

    @property
    def link_state(self) -> LinkState:
        """"connecting", "up", "down" or "ended", as for PlimClient."""
        return self._core.state

    async def link_states(self) -> AsyncIterator[LinkState]:
        """The link state now, then each new one as it changes, until "ended"."""
        queue: asyncio.Queue[LinkState] = asyncio.Queue()
        self._state_queues.append(queue)
        try:
            state = self._core.state
            while True:
                yield state
                if state == "ended":
                    return
                state = await queue.get()
        finally:
            self._state_queues.remove(queue)

    @property
    def stats(self) -> Stats:
        """A snapshot of the counters: traffic each way, bad frames, drops, link health, recording."""
        stats = self._core.snapshot()
        stats.foreign_datagrams = self._foreign()
        return stats

    @property
    def closed(self) -> bool:
        """Whether `close()` has been called."""
        return self._closed

    @property
    def ended(self) -> bool:
        """Whether the connection has ended (a replay ran out, a serial line went away, or close())."""
        return self._core.state == "ended"

    # -- upkeep --------------------------------------------------------------------

    def _close_now(self) -> None:
        """Sends the stop if this client set the wheels turning and tears the connection down, without
        waiting for the loop (what the interpreter's exit and SIGTERM call)."""
        if self._begin_close():
            self._tear_down()

    def _begin_close(self) -> bool:
        if self._closed:
            return False
        self._closed = True
        try:
            self._write(self._core.close(*_now()))
        except Exception as exc:
            log.error("plim_link: the stop did not reach the plim: %s", exc)
        return True

    def _tear_down(self) -> None:
        if self._task is not None:
            self._task.cancel()
        if self._timer is not None:
            self._timer.cancel()
            self._timer = None
        for shut in self._shutdown:
            try:
                shut()
            except Exception:
                pass
        self._core.close_sinks()
        self._changed()
        lifecycle.closed(self)

    async def close(self) -> None:
        """Stops the wheels if this client set them turning, then ends the connection, within about
        `write_timeout_s` whatever the transport does."""
        if not self._begin_close():
            return
        try:
            stream = self._stream_out
            deadline = Deadline(self._write_timeout)
            while stream is not None and stream.get_write_buffer_size() and deadline.remaining():
                await asyncio.sleep(0.01)
            if stream is not None and stream.get_write_buffer_size():
                log.error("plim_link: the stop did not reach the plim: the line takes nothing")
        finally:
            self._tear_down()
        await asyncio.sleep(0)  # lets the transports finish closing

    async def __aenter__(self) -> AsyncPlimClient:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    async def _replay(self, records: RecordingReader, speed: float | None) -> None:
        core = self._core
        clock = ReplayClock(speed)
        try:
            for record in records:
                if record.direction != RECEIVED:
                    continue
                delay = (clock.due_ns(record.session, record.time_ns, time.monotonic_ns()) - time.monotonic_ns()) / 1e9
                await asyncio.sleep(max(0.0, delay))
                await self._until(core.room_for_replay, None)
                mono, wall = _now()
                core.receive(record.payload, mono, wall if record.wall_ns is None else record.wall_ns)
                self._changed()
        except asyncio.CancelledError:
            raise
        except Exception as exc:
            log.exception("plim_link: the replay ended on an unexpected error")
            core.end(exc)
        else:
            core.end()
        finally:
            records.close()
        self._changed()


class AsyncSubscription:
    """Every message of its kinds since it was made, in its own bounded queue; see PlimClient.subscribe."""

    def __init__(self, client: AsyncPlimClient, inbox: Inbox) -> None:
        self._client = client
        self._inbox = inbox

    async def recv(self, timeout: float | None = None) -> DeviceMessage | None:
        """The next message of this subscription; None on timeout or once the connection has ended
        and nothing is left."""
        timed = await self._client._take(self._inbox, timeout)
        return None if timed is None else timed.message

    async def recv_timed(self, timeout: float | None = None) -> Timed | None:
        """The next message with the time it arrived (seconds since the epoch)."""
        return await self._client._take(self._inbox, timeout)

    async def __aiter__(self) -> AsyncIterator[DeviceMessage]:
        while (message := await self.recv()) is not None:
            yield message

    @property
    def dropped(self) -> int:
        """Messages lost to this subscription's full queue, oldest first."""
        return self._inbox.dropped

    def close(self) -> None:
        """Ends the subscription: it gets nothing more, and its iteration ends."""
        self._client._core.unsubscribe(self._inbox)
        self._client._changed()

    def __enter__(self) -> AsyncSubscription:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    async def __aenter__(self) -> AsyncSubscription:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()


async def connect(url: str | os.PathLike[str], *, auto_pong: bool = True, strict: bool = False,
                  stop_on_close: bool = True, record: Recordings | None = None, queue_size: int = 10000,
                  heartbeat_s: float | None = 1.0, link_timeout_s: float = 3.0, write_timeout_s: float = 1.0,
                  handle_signals: bool = True) -> AsyncPlimClient:
    """Opens a client on the running loop; the URL forms and settings are those of PlimClient."""
    endpoint = parse_url(url)
    text = url if isinstance(url, str) else os.fspath(url)
    write_timeout = check_seconds(write_timeout_s, "write_timeout_s")
    loop = asyncio.get_running_loop()
    records = open_records(endpoint.path) if endpoint.scheme == "file" else None
    sock: socket.socket | None = None
    listen: PeerFilter | None = None
    on_close: Any = None
    if endpoint.scheme in ("udp", "udp-listen", "sim"):
        # Resolving a name can take seconds: not on the loop.
        sock, listen, on_close = await loop.run_in_executor(None, open_datagram, endpoint)
    sinks: list[Sink] = []
    try:
        sinks = open_sinks(record, text)
        core = ClientCore(mono_ns=time.monotonic_ns(), auto_pong=auto_pong, strict=strict,
                          stop_on_close=stop_on_close, heartbeat_s=heartbeat_s, link_timeout_s=link_timeout_s,
                          queue_size=queue_size, live=endpoint.live, peer_known=listen is None, sinks=sinks)
        client = AsyncPlimClient(core, text, write_timeout, handle_signals)
    except BaseException:
        for thing in (sock, *sinks, records):
            if thing is not None:
                thing.close()
        if on_close is not None:
            on_close()
        raise
    try:
        if on_close is not None:
            client._shutdown.append(on_close)
        if sock is not None:
            await _open_datagrams(client, sock, listen)
        elif records is not None:
            speed = endpoint.options.get("speed")
            client._task = loop.create_task(client._replay(records, float(str(speed)) if speed else None))
        else:
            await _open_serial(client, endpoint.path, int(str(endpoint.options.get("baud", 115200))))
    except BaseException:
        client._close_now()
        raise
    client._on_timer()  # the first heartbeat goes out at once: the plim learns where to report
    return client


async def _open_datagrams(client: AsyncPlimClient, sock: socket.socket, listen: PeerFilter | None) -> None:
    # Bursts from many plims at once must wait in the kernel, not be dropped there.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    transport, datagrams = await client._loop.create_datagram_endpoint(lambda: _Datagrams(client, listen), sock=sock)
    client._write_packet = datagrams.write
    client._foreign = lambda: 0 if listen is None else listen.foreign
    client._shutdown.insert(0, transport.close)


async def _open_serial(client: AsyncPlimClient, path: str, baud: int) -> None:
    port = open_serial(path, baud)
    client._shutdown.append(port.close)
    loop = client._loop
    reader = os.fdopen(os.dup(port.fileno()), "rb", buffering=0)
    stream_in, _ = await loop.connect_read_pipe(lambda: _StreamIn(client), reader)
    client._shutdown.insert(0, stream_in.close)
    writer = os.fdopen(os.dup(port.fileno()), "wb", buffering=0)
    stream_out, out = await loop.connect_write_pipe(_StreamOut, writer)
    client._out = out
    client._stream_out = stream_out
    client._write_packet = stream_out.write
    # A line that takes nothing must not keep the closing client waiting: drop what is left.
    client._shutdown.insert(0, stream_out.abort)
