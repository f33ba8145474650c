"""Host side of a socket transport: moves packets between a link object and a datagram socket."""
from __future__ import annotations

import json
import socket
from dataclasses import dataclass, field
from typing import Protocol


class LinkLike(Protocol):
    def send(self, message: str) -> None: ...
    def poll_transmit(self) -> str | None: ...
    def handle_receive(self, packet: str) -> None: ...
    def poll_receive(self) -> str | None: ...


@dataclass
class HostPump:
    """Carries a link's packets over `sock`; counts what crosses each way."""

    link: LinkLike
    sock: socket.socket
    packets_out: int = 0
    packets_in: int = 0
    errors: list[str] = field(default_factory=list)

    def send(self, message: str) -> None:
        self.link.send(message)
        self.flush()

    def flush(self) -> None:
        while (packet := self.link.poll_transmit()) is not None:
            self.sock.send(bytes(json.loads(packet)))
            self.packets_out += 1

    def receive(self) -> list[str]:
        """Feeds every waiting datagram to the link and returns the messages it decoded, in order."""
        messages: list[str] = []
        while True:
            try:
                data = self.sock.recv(65536)
            except (BlockingIOError, InterruptedError):
                return messages
            self.packets_in += 1
            self.link.handle_receive("[" + ",".join(map(str, data)) + "]")
            # Drain after every packet: the link keeps only the newest 5000 unread bytes.
            while True:
                try:
                    message = self.link.poll_receive()
                except ValueError as exc:
                    self.errors.append(str(exc))
                    continue
                if message is None:
                    break
                messages.append(message)
