"""A simulated plim on a loopback UDP port, in a thread of the calling process (what sim:// opens)."""
from __future__ import annotations

import math
import socket
import threading
from typing import Any

from .simulator import PlimSimulator, SimConfig


def open_sim_socket(host: str = "127.0.0.1", port: int = 0) -> socket.socket:
    """A bound, non-blocking UDP socket for a simulated plim; IPv6 where `host` is an IPv6 address."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    try:
        sock.bind((host, port))
    except BaseException:
        sock.close()
        raise
    sock.setblocking(False)
    return sock


class SimThread:
    """Runs one simulated plim until `stop()`; it reports to whichever host spoke to it last."""

    def __init__(self, options: dict[str, Any]) -> None:
        self.sock = open_sim_socket()
        self.address: tuple[str, int] = self.sock.getsockname()
        self.sim = PlimSimulator(self.sock, SimConfig(**options), follow_sender=True)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self.sim.run, args=(math.inf,),
                                        kwargs={"should_stop": self._stop.is_set}, name="plim-sim", daemon=True)
        self._thread.start()

    def report_to(self, address: tuple[str, int]) -> None:
        """Sends to `address` from now on, without waiting for that host to speak first."""
        self.sim.peer = address

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(timeout=2.0)
        self.sock.close()
