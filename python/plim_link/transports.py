"""Blocking transports for the threaded client: each moves whole packets or stream chunks."""
from __future__ import annotations

import os
import select
import socket
import time
from collections.abc import Iterator
from typing import Any, Protocol

from .peer import PeerFilter
from .recording import RECEIVED, Record, read_records
from .simhost import SimThread
from .urls import Endpoint

READ_SIZE = 65536


class Transport(Protocol):
    lossless: bool  # a replay waits for the reader instead of dropping messages

    @property
    def foreign(self) -> int:
        """Datagrams refused because they came from another address."""

    def send(self, packet: bytes) -> None: ...
    def read(self, timeout: float) -> bytes | None:
        """Next packet or chunk, None if none came within `timeout`; EOFError once it has ended."""
    def close(self) -> None: ...


def resolve(host: str, port: int) -> tuple[str, int]:
    info = socket.getaddrinfo(host, port, socket.AF_INET, socket.SOCK_DGRAM)
    address: tuple[str, int] = info[0][4][:2]  # type: ignore[assignment]
    return address


class UdpTransport:
    """Talks to one plim address; the connected socket takes datagrams from that address alone."""

    lossless = False

    def __init__(self, address: tuple[str, int], on_close: Any = None) -> None:
        self.foreign = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.connect(address)
        self._on_close = on_close

    def send(self, packet: bytes) -> None:
        try:
            self.sock.send(packet)
        except ConnectionRefusedError:
            pass  # an earlier datagram found no listener; UDP reports it on a later call

    def read(self, timeout: float) -> bytes | None:
        if not select.select([self.sock], [], [], timeout)[0]:
            return None
        try:
            return self.sock.recv(READ_SIZE)
        except (ConnectionRefusedError, BlockingIOError):
            return None

    def close(self) -> None:
        self.sock.close()
        if self._on_close is not None:
            self._on_close()


class UdpListenTransport:
    """Waits for a plim to speak first, then keeps to that sender."""

    lossless = False

    def __init__(self, address: tuple[str, int], peer_host: str | None = None) -> None:
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind(address)
        self.filter = PeerFilter(resolve(peer_host, 0)[0] if peer_host else None)

    @property
    def foreign(self) -> int:
        return self.filter.foreign

    def send(self, packet: bytes) -> None:
        if self.filter.hold(packet) or self.filter.peer is None:
            return
        try:
            self.sock.sendto(packet, self.filter.peer)
        except ConnectionRefusedError:
            pass

    def read(self, timeout: float) -> bytes | None:
        if not select.select([self.sock], [], [], timeout)[0]:
            return None
        try:
            data, sender = self.sock.recvfrom(READ_SIZE)
        except (ConnectionRefusedError, BlockingIOError):
            return None
        held = self.filter.admit(sender[:2])
        for packet in held or ():
            self.send(packet)
        return None if held is None else data

    def close(self) -> None:
        self.sock.close()


def open_serial(path: str, baud: int) -> Any:
    try:
        import serial  # type: ignore[import-untyped]
    except ImportError:
        raise ValueError("serial:// needs pyserial: pip install 'plim_ffi[serial]'") from None
    return serial.Serial(path, baudrate=baud, timeout=0)


class SerialTransport:
    lossless = False

    def __init__(self, path: str, baud: int) -> None:
        self.foreign = 0
        self.port = open_serial(path, baud)

    def send(self, packet: bytes) -> None:
        self.port.write(packet)

    def read(self, timeout: float) -> bytes | None:
        if not select.select([self.port.fileno()], [], [], timeout)[0]:
            return None
        try:
            data = os.read(self.port.fileno(), READ_SIZE)
        except OSError as exc:  # EIO: the other end of the line is gone
            raise EOFError(str(exc)) from None
        if not data:
            raise EOFError("serial line closed")
        return data

    def close(self) -> None:
        self.port.close()


class FileTransport:
    """Replays the received side of a recording; `speed` 1 keeps the recorded pace, None reads at once."""

    lossless = True

    def __init__(self, path: str, speed: float | None) -> None:
        self.foreign = 0
        self._file = open(path, "rb")
        self._records: Iterator[Record] = read_records(self._file)
        self._speed = speed
        self._start: tuple[int, float] | None = None
        self._held: bytes | None = None
        self._due = 0.0

    def send(self, packet: bytes) -> None:
        pass  # a recording has no plim to hear it

    def _next(self) -> bytes:
        for record in self._records:
            if record.direction != RECEIVED:
                continue
            if self._speed is not None:
                if self._start is None:
                    self._start = (record.time_ns, time.monotonic())
                self._due = self._start[1] + (record.time_ns - self._start[0]) / 1e9 / self._speed
            return record.payload
        raise EOFError("end of recording")

    def read(self, timeout: float) -> bytes | None:
        if self._held is None:
            self._held = self._next()
        wait = self._due - time.monotonic()
        if wait > timeout:
            time.sleep(timeout)
            return None
        if wait > 0:
            time.sleep(wait)
        data, self._held = self._held, None
        return data

    def close(self) -> None:
        self._file.close()


def open_transport(endpoint: Endpoint) -> Transport:
    options = endpoint.options
    if endpoint.scheme == "udp":
        return UdpTransport(resolve(endpoint.host, endpoint.port))
    if endpoint.scheme == "udp-listen":
        peer = options.get("peer")
        return UdpListenTransport(resolve(endpoint.host, endpoint.port), str(peer) if peer else None)
    if endpoint.scheme == "serial":
        return SerialTransport(endpoint.path, int(str(options.get("baud", 115200))))
    if endpoint.scheme == "sim":
        sim = SimThread(options)
        transport = UdpTransport(sim.address, on_close=sim.stop)
        sim.report_to(transport.sock.getsockname())
        return transport
    speed = options.get("speed")
    return FileTransport(endpoint.path, float(str(speed)) if speed is not None else None)
