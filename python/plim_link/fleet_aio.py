"""The fleet for asyncio programs: Fleet's calls, awaited, and subscriptions as async iterators.

Queries wait in a worker thread; commands go out one after another on a thread of their own, in
the order they were awaited, so a congested bus never stalls the event loop.
"""
from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from types import TracebackType
from typing import TYPE_CHECKING, Any

from .fleet import QUERY_TIMEOUT_S, Fleet, FleetMessage, FleetSubscription, FleetText
from .inbox import Timed
from .waiting import Deadline, check_timeout

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage


class AsyncFleetSubscription:
    """A Fleet subscription read with `await recv()` or `async for`."""

    def __init__(self, subscription: FleetSubscription) -> None:
        self._subscription = subscription
        self._loop = asyncio.get_running_loop()
        self._changed = asyncio.Event()

        def wake() -> None:
            try:
                self._loop.call_soon_threadsafe(self._changed.set)
            except RuntimeError:
                pass  # the loop has closed
        subscription.on_change = wake

    async def recv_text(self, timeout: float | None = None) -> FleetText | None:
        """The next message as its text; None after `timeout` seconds, or once closed."""
        deadline = Deadline(check_timeout(timeout))
        while True:
            self._changed.clear()
            item = self._subscription.recv_text(0)
            if item is not None or self._subscription.closed:
                return item
            try:
                await asyncio.wait_for(self._changed.wait(), deadline.remaining())
            except asyncio.TimeoutError:
                return None

    async def recv(self, timeout: float | None = None) -> FleetMessage | None:
        """The next message as (name, time, message); None after `timeout` seconds, or once closed."""
        item = await self.recv_text(timeout)
        return None if item is None else FleetSubscription.parse(item)

    async def __aiter__(self) -> AsyncIterator[FleetMessage]:
        while (item := await self.recv()) is not None:
            yield item

    @property
    def dropped(self) -> int:
        """Messages lost to this subscription's full queue, oldest first."""
        return self._subscription.dropped

    def close(self) -> None:
        """Ends the subscription: it gets nothing more, and its iteration ends."""
        self._subscription.close()

    async def __aenter__(self) -> AsyncFleetSubscription:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.close()


class AsyncFleet:
    """Made by `open_fleet`; the calls of Fleet, awaited."""

    def __init__(self, fleet: Fleet) -> None:
        self.fleet = fleet
        self._commands = ThreadPoolExecutor(max_workers=1, thread_name_prefix="plim-fleet-commands")

    async def names(self, timeout: float = QUERY_TIMEOUT_S) -> list[str]:
        """The plims served now, as Fleet.names."""
        return await asyncio.to_thread(self.fleet.names, timeout)

    def subscribe(self, name: str = "*", kinds: str | Sequence[str] | None = None, *,
                  maxlen: int = 10000) -> AsyncFleetSubscription:
        """Every message of those kinds from plim `name` ("*" for all), as Fleet.subscribe."""
        return AsyncFleetSubscription(self.fleet.subscribe(name, kinds, maxlen=maxlen))

    async def latest_timed(self, name: str, kind: str, timeout: float = QUERY_TIMEOUT_S) -> Timed | None:
        """The newest message of `kind` from plim `name` with its time, as Fleet.latest_timed."""
        return await asyncio.to_thread(self.fleet.latest_timed, name, kind, timeout)

    async def latest(self, name: str, kind: str, timeout: float = QUERY_TIMEOUT_S) -> DeviceMessage | None:
        """The newest message of `kind` from plim `name`, as Fleet.latest."""
        return await asyncio.to_thread(self.fleet.latest, name, kind, timeout)

    async def info(self, name: str, timeout: float = QUERY_TIMEOUT_S) -> dict[str, Any] | None:
        """What plim `name`'s bridge knows of it, as Fleet.info."""
        return await asyncio.to_thread(self.fleet.info, name, timeout)

    async def link_state(self, name: str, timeout: float = QUERY_TIMEOUT_S) -> str | None:
        """Plim `name`'s link state, as Fleet.link_state."""
        return await asyncio.to_thread(self.fleet.link_state, name, timeout)

    async def send(self, name: str, message: HostMessage) -> None:
        """Puts a command for plim `name` on the bus, after every command awaited before it."""
        await asyncio.get_running_loop().run_in_executor(self._commands, self.fleet.send, name, message)

    async def set_drive_base_velocity(self, name: str, left_rad_per_s: float, right_rad_per_s: float) -> None:
        """Wheel velocities in rad/s for plim `name`, with the client's checks."""
        await asyncio.get_running_loop().run_in_executor(
            self._commands, self.fleet.set_drive_base_velocity, name, left_rad_per_s, right_rad_per_s)

    async def close(self) -> None:
        """Leaves the bus, as Fleet.close."""
        await asyncio.get_running_loop().run_in_executor(self._commands, self.fleet.close)
        self._commands.shutdown(wait=False)

    async def __aenter__(self) -> AsyncFleet:
        return self

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        await self.close()


async def open_fleet(connect: str | Sequence[str] = (), listen: str | Sequence[str] = (), config: str | None = None,
                     *, tls_ca: str | None = None, tls_cert: str | None = None,
                     tls_key: str | None = None) -> AsyncFleet:
    """Joins the bus without blocking the loop; the settings are Fleet's."""
    fleet = await asyncio.to_thread(Fleet, connect, listen, config, tls_ca=tls_ca, tls_cert=tls_cert,
                                    tls_key=tls_key)
    return AsyncFleet(fleet)
