"""Timeouts as callers give them, and what is left of one."""
from __future__ import annotations

import math
import threading
import time

# Beyond this a wait is as good as for ever, and the primitives below refuse longer ones.
LONGEST_WAIT_S = threading.TIMEOUT_MAX / 2


def check_timeout(value: float | None, name: str = "timeout") -> float | None:
    """A number of seconds, 0 or more, or None for no limit; an absurdly long one is no limit."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, not {type(value).__name__}")
    if math.isnan(value) or value < 0:
        raise ValueError(f"{name} must be a non-negative number of seconds, got {value!r}")
    return None if value > LONGEST_WAIT_S else float(value)


def check_seconds(value: float, name: str) -> float:
    """A positive number of seconds; an absurdly long one is as long as a wait can be."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if math.isnan(value) or value <= 0:
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return min(float(value), LONGEST_WAIT_S)


class Deadline:
    """A point in time.monotonic(); `remaining()` is None for no limit, else never negative."""

    __slots__ = ("at",)

    def __init__(self, timeout: float | None) -> None:
        self.at = None if timeout is None else time.monotonic() + timeout

    def remaining(self) -> float | None:
        return None if self.at is None else max(0.0, self.at - time.monotonic())
