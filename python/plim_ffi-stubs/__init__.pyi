"""The plim's wire protocol as a C++ extension module: `Link` (JSON text) and `ObjectLink` (Python values)."""
from typing import final

from _typeshed import ReadableBuffer

from ._messages import DeviceMessage, HostMessage

__all__ = ["Link", "ObjectLink"]
__version__: str

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

@final
class ObjectLink:
    """The link of `Link`, taking and giving Python values instead of JSON text.

    Messages are the values `json.loads` gives for plim-api's JSON forms
    (see the schemas in plim-ffi/schemas/); packets are `bytes`."""

    def __new__(cls) -> ObjectLink: ...
    def __init__(self) -> None: ...
    def send(self, message: HostMessage) -> None:
        """Queues `message` (a host-to-plim message as the value `json.loads`
        gives for its JSON form) to be sent."""
    def poll_transmit(self) -> bytes | None:
        """Returns the next raw packet to transmit as `bytes`, or `None` if
        nothing is queued."""
    def handle_receive(self, packet: ReadableBuffer) -> None:
        """Feeds a raw received packet (`bytes`, `bytearray` or another
        bytes-like object) into the link."""
    def poll_receive(self) -> DeviceMessage | None:
        """Returns the next decoded message (a plim-to-host message as the value
        `json.loads` gives for its JSON form), or `None` if no complete message
        is ready yet."""
    @property
    def skipped_frames(self) -> int:
        """The number of received frames passed over because their COBS encoding
        is broken, since the link was made."""
