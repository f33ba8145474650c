"""The asyncio client: the same operations as PlimClient, on the event loop's own transports,
so that one loop can serve many plims."""
from __future__ import annotations

import asyncio
import socket
import atexit
import copy
import os
import time
import weakref
from collections import deque
from collections.abc import AsyncIterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable

from ._session import STOP, Session, Stats, checked_velocity, kind_of
from .peer import PeerFilter
from .recording import RECEIVED, Recorder, read_records
from .simhost import SimThread
from .transports import open_serial, resolve
from .urls import parse_url

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage


class _Datagrams(asyncio.DatagramProtocol):
    """Hands datagrams to the client; with a PeerFilter (udp-listen), only those of the plim it keeps to."""

    def __init__(self, client: AsyncPlimClient, listen: PeerFilter | None = None) -> None:
        self.client = client
        self.listen = listen
        self.transport: asyncio.DatagramTransport | None = None

    @property
    def foreign(self) -> int:
        return 0 if self.listen is None else self.listen.foreign

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = transport  # type: ignore[assignment]

    def datagram_received(self, data: bytes, addr: tuple[str, int]) -> None:
        if self.listen is not None:
            held = self.listen.admit(addr[:2])
            if held is None:
                return
            for packet in held:
                self.send(packet)
        self.client._on_data(data)

    def error_received(self, exc: Exception) -> None:
        pass  # ICMP refusals: the plim is not listening yet; UDP goes on

    def connection_lost(self, exc: Exception | None) -> None:
        self.client._on_end()

    def send(self, packet: bytes) -> None:
        if self.transport is None or self.transport.is_closing():
            return
        if self.listen is None:
            self.transport.sendto(packet)
        elif not self.listen.hold(packet):
            self.transport.sendto(packet, self.listen.peer)

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()


class _Stream(asyncio.Protocol):
    def __init__(self, client: AsyncPlimClient) -> None:
        self.client = client

    def data_received(self, data: bytes) -> None:
        self.client._on_data(data)

    def connection_lost(self, exc: Exception | None) -> None:
        self.client._on_end()


class AsyncPlimClient:
    """Made by `connect`; every operation of PlimClient, awaited where it waits."""

    def __init__(self, session: Session, stop_on_close: bool, queue_size: int, lossless: bool = False) -> None:
        self._session = session
        self.stop_on_close = stop_on_close
        self._queue_size = max(1, queue_size)
        self._lossless = lossless
        self._queue: deque[DeviceMessage | ValueError] = deque()
        self._arrived = asyncio.Event()
        self._room = asyncio.Event()
        self._pong_waiters: list[asyncio.Future[None]] = []
        self._send_packet: Callable[[bytes], None] = lambda packet: None
        self._foreign: Callable[[], int] = lambda: 0
        self._shutdown: list[Callable[[], None]] = []
        self._task: asyncio.Task[None] | None = None
        self._ended = False
        self._closed = False
        _open_clients.add(self)

    # -- from the transport --------------------------------------------------------

    def _on_data(self, data: bytes) -> None:
        items, replies = self._session.receive(data)
        for packet in replies:
            self._send_packet(packet)
        for item in items:
            if len(self._queue) >= self._queue_size and not self._lossless:
                self._queue.popleft()
                self._session.stats.dropped_messages += 1
            if kind_of(item) == "Pong":
                for waiter in self._pong_waiters:
                    if not waiter.done():
                        waiter.set_result(None)
                self._pong_waiters.clear()
            self._queue.append(item)
        if items:
            self._arrived.set()

    def _on_end(self) -> None:
        self._ended = True
        self._arrived.set()

    # -- sending -------------------------------------------------------------------

    async def send(self, message: HostMessage) -> None:
        self._send_now(message)

    def _send_now(self, message: HostMessage) -> None:
        if self._closed:
            raise ValueError("the client is closed")
        for packet in self._session.send(message):
            self._send_packet(packet)

    async def ping(self, timeout: float = 1.0) -> float:
        """Round-trip time in seconds to the plim's Pong; TimeoutError if none comes in time."""
        waiter: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self._pong_waiters.append(waiter)
        start = time.perf_counter()
        self._send_now("Ping")
        try:
            await asyncio.wait_for(waiter, timeout)
        except asyncio.TimeoutError:
            raise TimeoutError(f"no Pong from the plim within {timeout:g} s") from None
        return time.perf_counter() - start

    async def pong(self) -> None:
        self._send_now("Pong")

    async def request_network_scan(self) -> None:
        self._send_now("RequestNetworkScan")

    async def set_network_connection_config(self, ssid: str, password: str) -> None:
        self._send_now({"SetNetworkConnectionConfig": {"ssid": ssid, "password": password}})

    async def set_uid(self, uid: str) -> None:
        self._send_now({"SetUid": {"uid": uid}})

    async def set_drive_base_velocity(self, left_rad_per_s: float, right_rad_per_s: float) -> None:
        left = checked_velocity("left_rad_per_s", left_rad_per_s)
        right = checked_velocity("right_rad_per_s", right_rad_per_s)
        self._send_now({"SetDriveBaseVelocity": [left, right]})

    # -- receiving -----------------------------------------------------------------

    async def recv(self, timeout: float | None = None) -> DeviceMessage | None:
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._queue:
            if self._ended:
                return None
            self._arrived.clear()
            if deadline is None:
                await self._arrived.wait()
                continue
            try:
                await asyncio.wait_for(self._arrived.wait(), max(0.0, deadline - time.monotonic()))
            except asyncio.TimeoutError:
                return None
        item = self._queue.popleft()
        self._room.set()
        if isinstance(item, ValueError):
            raise item
        return item

    async def recv_match(self, kind: str | tuple[str, ...], timeout: float | None = None) -> DeviceMessage | None:
        kinds = (kind,) if isinstance(kind, str) else kind
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            message = await self.recv(remaining)
            if message is None or kind_of(message) in kinds:
                return message

    async def __aiter__(self) -> AsyncIterator[DeviceMessage]:
        while (message := await self.recv()) is not None:
            yield message

    def latest(self, kind: str) -> DeviceMessage | None:
        entry = self._session.latest.get(kind)
        return None if entry is None else entry[0]

    def latest_time(self, kind: str) -> float | None:
        entry = self._session.latest.get(kind)
        return None if entry is None else entry[1]

    @property
    def stats(self) -> Stats:
        stats = copy.deepcopy(self._session.stats)
        stats.foreign_datagrams = self._foreign()
        return stats

    @property
    def ended(self) -> bool:
        return self._ended

    # -- upkeep --------------------------------------------------------------------

    def _close_now(self) -> None:
        if self._closed:
            return
        try:
            if self.stop_on_close and self._session.moving:
                self._send_now(STOP)
        finally:
            self._closed = True
            if self._task is not None:
                self._task.cancel()
            for shut in self._shutdown:
                shut()
            if self._session.recorder is not None:
                self._session.recorder.close()
            self._on_end()
            _open_clients.discard(self)

    async def close(self) -> None:
        """Stops the wheels if this client set them turning, then ends the connection."""
        self._close_now()
        await asyncio.sleep(0)  # lets the transports finish closing

    async def __aenter__(self) -> AsyncPlimClient:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()

    async def _replay(self, path: str, speed: float | None) -> None:
        with open(path, "rb") as stream:
            start: tuple[int, float] | None = None
            for record in read_records(stream):
                if record.direction != RECEIVED:
                    continue
                if speed is not None:
                    if start is None:
                        start = (record.time_ns, time.monotonic())
                    due = start[1] + (record.time_ns - start[0]) / 1e9 / speed
                    await asyncio.sleep(max(0.0, due - time.monotonic()))
                while len(self._queue) >= self._queue_size:
                    self._room.clear()
                    await self._room.wait()
                self._on_data(record.payload)
                await asyncio.sleep(0)
        self._on_end()


async def connect(url: str, *, auto_pong: bool = True, strict: bool = False, stop_on_close: bool = True,
                  record: str | os.PathLike[str] | None = None, queue_size: int = 10000) -> AsyncPlimClient:
    """Opens a client on the running loop; the URL forms are those of PlimClient."""
    endpoint = parse_url(url)
    loop = asyncio.get_running_loop()
    recorder = Recorder(record) if record is not None else None
    session = Session(auto_pong=auto_pong, strict=strict, recorder=recorder)
    client = AsyncPlimClient(session, stop_on_close, queue_size, lossless=endpoint.scheme == "file")
    try:
        await _open(client, endpoint.scheme, endpoint, loop)
    except BaseException:
        client._close_now()
        raise
    return client


async def _open(client: AsyncPlimClient, scheme: str, endpoint: Any, loop: asyncio.AbstractEventLoop) -> None:
    options = endpoint.options
    if scheme in ("udp", "sim"):
        if scheme == "sim":
            sim = SimThread(options)
            client._shutdown.append(sim.stop)
            address = sim.address
        else:
            address = resolve(endpoint.host, endpoint.port)
        transport, datagrams = await loop.create_datagram_endpoint(lambda: _Datagrams(client), remote_addr=address)
        if scheme == "sim":
            sim.report_to(transport.get_extra_info("sockname"))
    elif scheme == "udp-listen":
        peer = options.get("peer")
        listen = PeerFilter(resolve(str(peer), 0)[0] if peer else None)
        _, datagrams = await loop.create_datagram_endpoint(
            lambda: _Datagrams(client, listen), local_addr=resolve(endpoint.host, endpoint.port))
    elif scheme == "serial":
        port = open_serial(endpoint.path, int(str(options.get("baud", 115200))))
        reader = os.fdopen(os.dup(port.fileno()), "rb", buffering=0)
        stream, _ = await loop.connect_read_pipe(lambda: _Stream(client), reader)
        client._send_packet = port.write
        client._shutdown += [stream.close, port.close]
        return
    else:
        speed = options.get("speed")
        client._task = loop.create_task(client._replay(endpoint.path, float(str(speed)) if speed else None))
        return
    # Bursts from many plims at once must wait in the kernel, not be dropped there.
    datagrams.transport.get_extra_info("socket").setsockopt(  # type: ignore[union-attr]
        socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    client._send_packet = datagrams.send
    client._foreign = lambda: datagrams.foreign
    client._shutdown.insert(0, datagrams.close)


_open_clients: weakref.WeakSet[AsyncPlimClient] = weakref.WeakSet()


@atexit.register
def _close_open_clients() -> None:
    # The wheels must not keep turning after the program that set them going has ended.
    for client in list(_open_clients):
        try:
            client._close_now()
        except Exception:
            pass
