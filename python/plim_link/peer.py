"""udp-listen's rule: keep to the first acceptable sender, count datagrams from any other."""
from __future__ import annotations


class PeerFilter:
    def __init__(self, peer_ip: str | None = None) -> None:
        self.peer_ip = peer_ip
        self.peer: tuple[str, int] | None = None
        self.foreign = 0
        self._held: list[bytes] = []

    def hold(self, packet: bytes) -> bool:
        """Keeps `packet` back while no plim is known; True if it was kept."""
        if self.peer is None:
            self._held.append(packet)
            return True
        return False

    def admit(self, sender: tuple[str, int]) -> list[bytes] | None:
        """None refuses the datagram; otherwise the held packets that may now go to the plim."""
        if self.peer is None and (self.peer_ip is None or sender[0] == self.peer_ip):
            self.peer = sender
            held, self._held = self._held, []
            return held
        if sender != self.peer:
            self.foreign += 1
            return None
        return []
