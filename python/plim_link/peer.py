"""udp-listen's rule: keep to the first acceptable sender, count datagrams from any other."""
from __future__ import annotations

from typing import Any


class PeerFilter:
    def __init__(self, peer_ip: str | None = None) -> None:
        self.peer_ip = peer_ip
        self.peer: Any = None
        self.foreign = 0

    def admit(self, sender: Any) -> bool:
        """Whether a datagram from `sender` is the plim's; the first acceptable sender becomes the plim."""
        if self.peer is None and (self.peer_ip is None or sender[0] == self.peer_ip):
            self.peer = sender
        if sender != self.peer:
            self.foreign += 1
            return False
        return True
