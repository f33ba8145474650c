"""A lidar sweep as points in metres, in the shape Foxglove's 3D panel draws (`foxglove.PointCloud`).

The plim measures counter-clockwise from straight ahead, so a point is at x = d cos(angle)
(ahead) and y = d sin(angle) (to the left) in the frame `plim`, the robot's own.
"""
from __future__ import annotations

import base64
import json
import math
import struct
from collections.abc import Sequence
from typing import Any

POINT_CLOUD = "foxglove.PointCloud"
FRAME = "plim"
FLOAT32, UINT8 = 7, 1  # numeric types of a packed field, as Foxglove numbers them
FIELDS = [{"name": "x", "offset": 0, "type": FLOAT32}, {"name": "y", "offset": 4, "type": FLOAT32},
          {"name": "quality", "offset": 8, "type": UINT8}]
STRIDE = 9

_NUMBER = {"type": "number"}
_XYZ = {"x": _NUMBER, "y": _NUMBER, "z": _NUMBER}
# The well-known schema's JSON form, as Foxglove reads it: times as sec/nsec, bytes as base64.
POINT_CLOUD_SCHEMA = json.dumps({
    "title": POINT_CLOUD,
    "description": "A collection of N-dimensional points, laid out in `data` as `fields` describe",
    "type": "object",
    "properties": {
        "timestamp": {"type": "object", "properties": {"sec": {"type": "integer", "minimum": 0},
                                                       "nsec": {"type": "integer", "minimum": 0,
                                                                "maximum": 999_999_999}}},
        "frame_id": {"type": "string"},
        "pose": {"type": "object", "properties": {
            "position": {"type": "object", "properties": _XYZ},
            "orientation": {"type": "object", "properties": {**_XYZ, "w": _NUMBER}}}},
        "point_stride": {"type": "integer", "minimum": 0},
        "fields": {"type": "array", "items": {"type": "object", "properties": {
            "name": {"type": "string"}, "offset": {"type": "integer", "minimum": 0},
            "type": {"type": "integer", "enum": list(range(9))}}}},
        "data": {"type": "string", "contentEncoding": "base64"},
    },
}, separators=(",", ":")).encode()


def sweep_xy(points: Sequence[dict[str, Any]]) -> tuple[list[float], list[float], list[int]]:
    """x and y in metres, and the quality, of every point with a finite angle and distance."""
    xs: list[float] = []
    ys: list[float] = []
    qualities: list[int] = []
    cos, sin = math.cos, math.sin
    for point in points:
        angle, distance = point["angle_rad"], point["distance_mm"]
        if angle is None or distance is None:  # NaN or infinite on the wire
            continue
        metres = distance / 1000.0
        xs.append(metres * cos(angle))
        ys.append(metres * sin(angle))
        qualities.append(point["quality"])
    return xs, ys, qualities


def scan_cloud(points: Sequence[dict[str, Any]], time_ns: int) -> bytes:
    """A sweep as the JSON of a point cloud stamped `time_ns` (nanoseconds since the epoch)."""
    xs, ys, qualities = sweep_xy(points)
    packed: list[float | int] = [0.0] * (3 * len(xs))
    packed[0::3], packed[1::3], packed[2::3] = xs, ys, qualities
    data = struct.pack("<" + "ffB" * len(xs), *packed)
    seconds, nanoseconds = divmod(time_ns, 1_000_000_000)
    return json.dumps({
        "timestamp": {"sec": seconds, "nsec": nanoseconds}, "frame_id": FRAME,
        "pose": {"position": {"x": 0, "y": 0, "z": 0}, "orientation": {"x": 0, "y": 0, "z": 0, "w": 1}},
        "point_stride": STRIDE, "fields": FIELDS, "data": base64.b64encode(data).decode(),
    }, separators=(",", ":")).encode()
