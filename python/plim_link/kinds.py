"""The clients' queries by message kind; `kinds.pyi` types each kind's result (generated)."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .commands import check_kinds
from .inbox import Timed

if TYPE_CHECKING:
    from .core import Arrival
    from .messages import DeviceMessage


def _one_kind(kind: Any) -> str:
    if not isinstance(kind, str):
        raise TypeError(f"kind must be a str, not {type(kind).__name__}")
    return check_kinds(kind)[0]


class LatestQueries:
    def _latest_arrival(self, kind: str) -> Arrival | None:
        raise NotImplementedError

    def latest(self, kind: str) -> DeviceMessage | None:
        """The newest message of `kind`, or None if none has come yet."""
        arrival = self._latest_arrival(_one_kind(kind))
        return None if arrival is None else arrival[0].message

    def latest_time(self, kind: str) -> float | None:
        """time.monotonic() when the newest message of `kind` arrived."""
        arrival = self._latest_arrival(_one_kind(kind))
        return None if arrival is None else arrival[1] / 1e9

    def latest_timed(self, kind: str) -> Timed | None:
        """The newest message of `kind` with its time in seconds since the epoch (a replay's: as recorded)."""
        arrival = self._latest_arrival(_one_kind(kind))
        return None if arrival is None else arrival[0]


class KindQueries(LatestQueries):
    def _recv_match(self, kinds: tuple[str, ...], timeout: float | None) -> DeviceMessage | None:
        raise NotImplementedError

    def recv_match(self, kind: str | tuple[str, ...], timeout: float | None = None) -> DeviceMessage | None:
        """The next message of the given kind(s), dropping others from `recv`'s queue; None on timeout or end."""
        return self._recv_match(check_kinds(kind), timeout)


class AsyncKindQueries(LatestQueries):
    async def _recv_match(self, kinds: tuple[str, ...], timeout: float | None) -> DeviceMessage | None:
        raise NotImplementedError

    async def recv_match(self, kind: str | tuple[str, ...], timeout: float | None = None) -> DeviceMessage | None:
        """The next message of the given kind(s), dropping others from `recv`'s queue; None on timeout or end."""
        return await self._recv_match(check_kinds(kind), timeout)
