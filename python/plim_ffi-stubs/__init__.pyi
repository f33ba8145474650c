from typing import final

__all__ = ["Link"]

@final
class Link:
    """The C++ <-> JSON link underlying `plim_link.link.PlimClient`.

    Every method takes or returns JSON strings matching plim-api's wire
    format (see the schemas in plim-ffi/schemas/)."""

    def __new__(cls) -> Link: ...
    def __init__(self) -> None: ...
    def send(self, message: str) -> None:
        """Queues `message` (a JSON-encoded host-to-plim message) to be sent."""
    def poll_transmit(self) -> str | None:
        """Returns the next raw packet to transmit, JSON-encoded as an array
        of byte values, or `None` if nothing is queued."""
    def handle_receive(self, packet: str) -> None:
        """Feeds a raw received packet (JSON-encoded as an array of byte
        values) into the link."""
    def poll_receive(self) -> str | None:
        """Returns the next decoded message (a JSON-encoded plim-to-host
        message), or `None` if no complete message is ready yet."""
