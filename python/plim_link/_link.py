"""The one place that picks the link object the client drives."""
from __future__ import annotations

import json
from typing import Any, Protocol

import plim_ffi


class ObjectLinkLike(Protocol):
    def send(self, message: Any) -> None: ...
    def poll_transmit(self) -> bytes | None: ...
    def handle_receive(self, data: bytes) -> None: ...
    def poll_receive(self) -> Any: ...


# TEMPORARY: stands in for plim_ffi.ObjectLink until the module provides it; same contract,
# built on the JSON-text Link. Remove once every build has ObjectLink.
class _JsonTextLink:
    def __init__(self) -> None:
        self._link = plim_ffi.Link()

    def send(self, message: Any) -> None:
        try:
            text = json.dumps(message, allow_nan=False)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"not a host message: {exc}") from None
        self._link.send(text)

    def poll_transmit(self) -> bytes | None:
        packet = self._link.poll_transmit()
        return None if packet is None else bytes(json.loads(packet))

    def handle_receive(self, data: bytes) -> None:
        self._link.handle_receive("[" + ",".join(map(str, bytes(data))) + "]")

    def poll_receive(self) -> Any:
        text = self._link.poll_receive()
        return None if text is None else json.loads(text)


def new_link() -> ObjectLinkLike:
    factory = getattr(plim_ffi, "ObjectLink", None)
    if factory is not None:
        link: ObjectLinkLike = factory()
        return link
    return _JsonTextLink()
