"""Bounded queues of received messages: the client's own and one per subscription."""
from __future__ import annotations

from collections import deque
from typing import TYPE_CHECKING, NamedTuple, Union

if TYPE_CHECKING:
    from .messages import DeviceMessage


class Timed(NamedTuple):
    """A message and when it arrived, in seconds since the epoch (a replay gives the recorded time)."""

    time: float
    message: DeviceMessage


Item = Union[Timed, Exception]


class Inbox:
    """Gets every message of its kinds from the moment it is made; when full, the oldest goes.

    Only the client's own inbox also carries bad frames, in strict mode. An error that ended the
    connection is raised once, from the next `take`.
    """

    __slots__ = ("kinds", "maxlen", "items", "dropped", "closed", "error", "read")

    def __init__(self, kinds: frozenset[str] | None, maxlen: int) -> None:
        self.kinds = kinds
        self.maxlen = maxlen
        self.items: deque[Item] = deque(maxlen=maxlen)
        self.dropped = 0
        self.closed = False
        self.error: BaseException | None = None
        self.read = False  # whether anything ever asked this inbox for a message

    def put(self, item: Item) -> bool:
        """Adds `item`; False if the oldest item had to go to make room."""
        full = len(self.items) == self.maxlen
        self.dropped += full
        self.items.append(item)
        return not full

    def full(self) -> bool:
        return len(self.items) >= self.maxlen

    def ready(self) -> bool:
        """Whether `take` would return at once, with an item or an error."""
        return bool(self.items) or self.error is not None

    def take(self) -> Item | None:
        self.read = True
        if self.error is not None:
            error, self.error = self.error, None
            raise error
        return self.items.popleft() if self.items else None

    def clear(self) -> int:
        count = len(self.items)
        self.items.clear()
        return count
