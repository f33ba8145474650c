"""`PlimClient`: drive a plim from a Python program, one call per command."""
from __future__ import annotations

import atexit
import copy
import os
import threading
import time
import weakref
from collections import deque
from collections.abc import Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from ._session import STOP, Session, Stats, checked_velocity, kind_of
from .recording import Recorder
from .transports import open_transport
from .urls import parse_url

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage

POLL_S = 0.05  # how soon the reader thread notices close()


class PlimClient:
    """A connection to one plim, given by URL (udp://, udp-listen://, serial://, sim://, file://).

    A reader thread takes packets as they arrive, answers the plim's pings and
    queues its messages for `recv`; `latest` always has the newest of each kind.
    """

    def __init__(self, url: str, *, auto_pong: bool = True, strict: bool = False, stop_on_close: bool = True,
                 record: str | os.PathLike[str] | None = None, queue_size: int = 10000) -> None:
        endpoint = parse_url(url)
        self.url = url
        self.stop_on_close = stop_on_close
        self._queue_size = max(1, queue_size)
        recorder = Recorder(record) if record is not None else None
        try:
            self._transport = open_transport(endpoint)
        except BaseException:
            if recorder is not None:
                recorder.close()
            raise
        self._session = Session(auto_pong=auto_pong, strict=strict, recorder=recorder)
        self._io_lock = threading.Lock()  # one caller at a time on the session and the transport
        self._ready = threading.Condition()
        self._queue: deque[DeviceMessage | ValueError] = deque()
        self._pongs = 0
        self._closing = False
        self._ended = False
        self._closed = False
        self._reader = threading.Thread(target=self._read_loop, name="plim-link-reader", daemon=True)
        self._reader.start()
        _open_clients.add(self)

    # -- sending -------------------------------------------------------------------

    def send(self, message: HostMessage) -> None:
        """Sends any message the link accepts, at once; a refused one raises and sends nothing."""
        if self._closed:
            raise ValueError("the client is closed")
        with self._io_lock:
            for packet in self._session.send(message):
                self._transport.send(packet)

    def ping(self, timeout: float = 1.0) -> float:
        """Round-trip time in seconds to the plim's Pong; TimeoutError if none comes in time."""
        with self._ready:
            before = self._pongs
        start = time.perf_counter()
        self.send("Ping")
        deadline = time.monotonic() + timeout
        with self._ready:
            while self._pongs == before:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._ended:
                    raise TimeoutError(f"no Pong from the plim within {timeout:g} s")
                self._ready.wait(remaining)
        return time.perf_counter() - start

    def pong(self) -> None:
        self.send("Pong")

    def request_network_scan(self) -> None:
        self.send("RequestNetworkScan")

    def set_network_connection_config(self, ssid: str, password: str) -> None:
        self.send({"SetNetworkConnectionConfig": {"ssid": ssid, "password": password}})

    def set_uid(self, uid: str) -> None:
        self.send({"SetUid": {"uid": uid}})

    def set_drive_base_velocity(self, left_rad_per_s: float, right_rad_per_s: float) -> None:
        """Refuses what the wire would carry wrongly: NaN, infinities and values beyond float32."""
        left = checked_velocity("left_rad_per_s", left_rad_per_s)
        right = checked_velocity("right_rad_per_s", right_rad_per_s)
        self.send({"SetDriveBaseVelocity": [left, right]})

    # -- receiving -----------------------------------------------------------------

    def recv(self, timeout: float | None = None) -> DeviceMessage | None:
        """The next message; None on timeout or once the connection has ended and nothing is left."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._ready:
            while not self._queue:
                if self._ended:
                    return None
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    return None
                self._ready.wait(remaining)
            item = self._queue.popleft()
            self._ready.notify_all()  # a replay may be waiting for room
        if isinstance(item, ValueError):
            raise item
        return item

    def recv_match(self, kind: str | tuple[str, ...], timeout: float | None = None) -> DeviceMessage | None:
        """The next message of the given kind(s), skipping others; None on timeout or end."""
        kinds = (kind,) if isinstance(kind, str) else kind
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            message = self.recv(remaining)
            if message is None or kind_of(message) in kinds:
                return message

    def __iter__(self) -> Iterator[DeviceMessage]:
        while (message := self.recv()) is not None:
            yield message

    def latest(self, kind: str) -> DeviceMessage | None:
        with self._io_lock:
            entry = self._session.latest.get(kind)
        return None if entry is None else entry[0]

    def latest_time(self, kind: str) -> float | None:
        """time.monotonic() when the latest message of that kind arrived."""
        with self._io_lock:
            entry = self._session.latest.get(kind)
        return None if entry is None else entry[1]

    @property
    def stats(self) -> Stats:
        with self._io_lock:
            stats = copy.deepcopy(self._session.stats)
        stats.foreign_datagrams = self._transport.foreign
        return stats

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def ended(self) -> bool:
        """Whether the connection has ended (a replay ran out, a serial line went away, or close())."""
        return self._ended

    # -- upkeep --------------------------------------------------------------------

    def close(self) -> None:
        """Stops the wheels if this client set them turning, then ends the connection."""
        if self._closed:
            return
        try:
            if self.stop_on_close and self._session.moving:
                self.send(STOP)
        finally:
            self._closed = True
            with self._ready:
                self._closing = True
                self._ready.notify_all()
            if self._reader is not threading.current_thread():
                self._reader.join(timeout=2.0)
            with self._io_lock:
                self._transport.close()
                if self._session.recorder is not None:
                    self._session.recorder.close()
            _open_clients.discard(self)

    def __enter__(self) -> PlimClient:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _read_loop(self) -> None:
        transport = self._transport
        try:
            while not self._closing:
                try:
                    data = transport.read(POLL_S)
                except (EOFError, OSError):
                    return
                if data is None:
                    continue
                with self._io_lock:
                    items, replies = self._session.receive(data)
                    for packet in replies:
                        transport.send(packet)
                self._deliver(items, transport.lossless)
        finally:
            with self._ready:
                self._ended = True
                self._ready.notify_all()

    def _deliver(self, items: list[DeviceMessage | ValueError], lossless: bool) -> None:
        with self._ready:
            for item in items:
                if len(self._queue) >= self._queue_size:
                    if lossless:
                        while len(self._queue) >= self._queue_size and not self._closing:
                            self._ready.wait(POLL_S)
                    else:
                        self._queue.popleft()
                        with self._io_lock:
                            self._session.stats.dropped_messages += 1
                if kind_of(item) == "Pong":
                    self._pongs += 1
                self._queue.append(item)
            self._ready.notify_all()


_open_clients: weakref.WeakSet[PlimClient] = weakref.WeakSet()


@atexit.register
def _close_open_clients() -> None:
    # The wheels must not keep turning after the program that set them going has ended.
    for client in list(_open_clients):
        try:
            client.close()
        except Exception:
            pass
