"""When each packet of a replay is due: the recorded pace, scaled, one session at a time."""
from __future__ import annotations


class ReplayClock:
    """Paces a replay by the recording's own monotonic times.

    Each session of a file keeps its own clock, so the gap between two appended sessions (days, or
    time running backwards after a reboot) is neither waited out nor turned into a burst: the
    first packet of a session is due as soon as the one before it, and the rest follow at pace.
    """

    def __init__(self, speed: float | None) -> None:
        self.speed = speed  # None: as fast as the reader takes them
        self._session: object = None
        self._anchor: tuple[int, int] | None = None  # (recorded ns, local ns) of the session's first packet
        self._last_recorded = 0
        self._last_due = 0

    def due_ns(self, session: object, recorded_ns: int, now_ns: int) -> int:
        """The local monotonic time at which the packet recorded at `recorded_ns` is due."""
        if self.speed is None:
            return now_ns
        if self._anchor is None or session != self._session or recorded_ns < self._last_recorded:
            self._session = session
            self._anchor = (recorded_ns, max(now_ns, self._last_due) if self._anchor else now_ns)
        recorded_at, local_at = self._anchor
        due = local_at + round((recorded_ns - recorded_at) / self.speed)
        self._last_recorded, self._last_due = recorded_ns, due
        return due
