"""How much the simulated plim may put into one report and still be read whole by the host."""
from __future__ import annotations

from .wire_constants import RX_BUFFER_LIMIT, VERSION_HEADER_LEN

HOST_RECEIVE_WINDOW = RX_BUFFER_LIMIT  # bytes the host's link keeps of a frame not yet closed
_SCAN_POINT_LEN = 1 + 4 + 4  # quality, angle, distance


def _varint_len(value: int) -> int:
    return max(1, (value.bit_length() + 6) // 7)


def scan_frame_bound(points: int) -> int:
    """The longest a Scan of `points` samples can be on the wire: COBS adds at most one byte per
    254, plus the closing delimiter."""
    body = VERSION_HEADER_LEN + 1 + _varint_len(points) + _SCAN_POINT_LEN * points
    return body + -(-body // 254) + 1


MAX_SCAN_POINTS = max(n for n in range(1, HOST_RECEIVE_WINDOW) if scan_frame_bound(n) <= HOST_RECEIVE_WINDOW)
