"""Blocking transports for the thread client: open, write within a deadline, read what is there, close."""
from __future__ import annotations

import errno
import os
import select
import socket
import time
from typing import Any, Protocol

from plim_sim.thread import SimThread

from .peer import PeerFilter
from .urls import Endpoint

READ_SIZE = 65536
_CLOSED = (errno.EBADF, errno.ENOTSOCK)


class NetworkReport(Exception):
    """An error the network reported for a datagram socket (ICMP): worth counting, not an end."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


class Transport(Protocol):
    @property
    def foreign(self) -> int:
        """Datagrams refused because they came from another address."""
    @property
    def peer_known(self) -> bool:
        """False while udp-listen waits for its plim."""

    def write(self, packet: bytes, deadline: float) -> None:
        """Writes all of `packet` by time.monotonic() `deadline`, or raises TimeoutError."""
    def read(self, timeout: float) -> bytes | None:
        """The next packet or chunk, None if none came in time; EOFError once the far end has gone."""
    def close(self) -> None: ...


def resolve(host: str, port: int, *, passive: bool = False) -> tuple[int, Any]:
    """(family, socket address) for `host`; a name that does not resolve is an OSError naming it."""
    try:
        info = socket.getaddrinfo(host, port, socket.AF_UNSPEC, socket.SOCK_DGRAM, 0,
                                  socket.AI_PASSIVE if passive else 0)
    except socket.gaierror as exc:
        raise socket.gaierror(exc.errno, f"cannot resolve host {host!r}: {exc.strerror}") from None
    except UnicodeError:
        raise socket.gaierror(socket.EAI_NONAME, f"cannot resolve host {host!r}: not a valid host name") from None
    return info[0][0], info[0][4]


def wait_writable(fd: Any, deadline: float, what: str) -> None:
    remaining = deadline - time.monotonic()
    if remaining <= 0 or not select.select([], [fd], [], remaining)[1]:
        raise TimeoutError(f"could not write to {what} in time: it takes nothing")


class DatagramTransport:
    """A UDP socket: connected to one plim, or (udp-listen) bound and keeping to the first sender."""

    def __init__(self, sock: socket.socket, listen: PeerFilter | None = None, on_close: Any = None) -> None:
        self.sock = sock
        self.sock.setblocking(False)
        # Bursts (a sweep in several datagrams, many at once after a stall) must wait in the kernel.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.listen = listen
        self._on_close = on_close

    @property
    def foreign(self) -> int:
        return 0 if self.listen is None else self.listen.foreign

    @property
    def peer_known(self) -> bool:
        return self.listen is None or self.listen.peer is not None

    def write(self, packet: bytes, deadline: float) -> None:
        while True:
            try:
                if self.listen is None:
                    self.sock.send(packet)
                elif self.listen.peer is not None:
                    self.sock.sendto(packet, self.listen.peer)
                return
            except BlockingIOError:
                wait_writable(self.sock, deadline, "the network")
            except OSError as exc:
                if exc.errno in _CLOSED:
                    raise
                raise NetworkReport(exc) from None

    def read(self, timeout: float) -> bytes | None:
        if not select.select([self.sock], [], [], timeout)[0]:
            return None
        try:
            data, sender = self.sock.recvfrom(READ_SIZE)
        except BlockingIOError:
            return None
        except OSError as exc:
            if exc.errno in _CLOSED:
                raise EOFError("socket closed") from None
            raise NetworkReport(exc) from None
        if self.listen is not None and not self.listen.admit(sender):
            return None
        return data

    def close(self) -> None:
        self.sock.close()
        if self._on_close is not None:
            self._on_close()


def open_serial(path: str, baud: int) -> Any:
    try:
        import serial  # type: ignore[import-untyped]
    except ImportError:
        raise ValueError("serial:// needs pyserial: pip install 'plim_ffi[serial]'") from None
    try:
        port = serial.Serial(path, baudrate=baud, timeout=0)
    except (ValueError, OverflowError) as exc:
        raise ValueError(f"serial://{path}: {exc}") from None
    os.set_blocking(port.fileno(), False)
    return port


class SerialTransport:
    foreign = 0
    peer_known = True

    def __init__(self, path: str, baud: int) -> None:
        self.path = path
        self.port = open_serial(path, baud)
        self.fd = self.port.fileno()

    def write(self, packet: bytes, deadline: float) -> None:
        view = memoryview(packet)
        while view:
            try:
                view = view[os.write(self.fd, view):]
            except BlockingIOError:
                wait_writable(self.fd, deadline, f"serial://{self.path}")

    def read(self, timeout: float) -> bytes | None:
        if not select.select([self.fd], [], [], timeout)[0]:
            return None
        try:
            data = os.read(self.fd, READ_SIZE)
        except BlockingIOError:
            return None
        except OSError as exc:  # EIO: the other end of the line is gone
            raise EOFError(str(exc)) from None
        if not data:
            raise EOFError("serial line closed")
        return data

    def close(self) -> None:
        self.port.close()


def open_datagram(endpoint: Endpoint) -> tuple[socket.socket, PeerFilter | None, Any]:
    """The socket a udp://, udp-listen:// or sim:// endpoint talks over, ready to use; shared by both clients.

    Returns the socket, the listener's filter (udp-listen) and what to run once it closes (sim://).
    """
    if endpoint.scheme == "sim":
        sim = SimThread(endpoint.options)
        try:
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sock.connect(sim.address)
            sim.report_to(sock.getsockname())
        except BaseException:
            sim.stop()
            raise
        return sock, None, sim.stop
    passive = endpoint.scheme == "udp-listen"
    family, address = resolve(endpoint.host, endpoint.port, passive=passive)
    sock = socket.socket(family, socket.SOCK_DGRAM)
    try:
        if passive:
            sock.bind(address)
            peer = endpoint.options.get("peer")
            return sock, PeerFilter(resolve(str(peer), 0)[1][0] if peer else None), None
        sock.connect(address)
    except BaseException:
        sock.close()
        raise
    return sock, None, None


def open_transport(endpoint: Endpoint) -> Transport:
    """A live connection for the thread client (everything but a replay)."""
    if endpoint.scheme == "serial":
        return SerialTransport(endpoint.path, int(str(endpoint.options.get("baud", 115200))))
    sock, listen, on_close = open_datagram(endpoint)
    return DatagramTransport(sock, listen, on_close)
