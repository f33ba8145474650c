"""Text views of a plim's telemetry: rates, latest values, and a top-down plot of a lidar sweep."""
from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any


def sweep_plot(points: list[dict[str, Any]], width: int = 41, height: int = 21) -> str:
    """Top-down view of one sweep: the robot '@' in the middle, facing up."""
    grid = [[" "] * width for _ in range(height)]
    reach = max((p["distance_mm"] or 0.0) for p in points) if points else 0.0
    reach = reach or 1.0
    cx, cy = width // 2, height // 2
    for point in points:
        if point["distance_mm"] is None or point["angle_rad"] is None:
            continue
        scale = point["distance_mm"] / reach
        col = round(cx - math.sin(point["angle_rad"]) * scale * cx)
        row = round(cy - math.cos(point["angle_rad"]) * scale * cy)
        if 0 <= row < height and 0 <= col < width:
            grid[row][col] = "#"
    grid[cy][cx] = "@"
    frame = "+" + "-" * width + "+"
    return "\n".join([frame, *("|" + "".join(row) + "|" for row in grid), frame,
                      f"(farthest point {reach / 1000:.2f} m; up is straight ahead)"])


def _number(value: Any) -> str:
    return "null" if value is None else f"{value:.3f}"


def latest_lines(latest: Mapping[str, Any]) -> list[str]:
    lines: list[str] = []
    if "State" in latest:
        lines.append("State:")
        for key, value in latest["State"]["State"].items():
            if key == "built_in_test":
                value = "; ".join(f"{group}: " + ", ".join(f"{item['name']}={item['result']}" for item in items)
                                  for group, items in value.items())
            elif not isinstance(value, str):
                value = json.dumps(value, separators=(",", ":"))
            lines.append(f"  {key:<30} {value}")
    if "DriveBaseState" in latest:
        lines.append("DriveBaseState:")
        for side, wheel in latest["DriveBaseState"]["DriveBaseState"].items():
            lines.append(f"  {side:<5} " + "  ".join(f"{k}={_number(v)}" for k, v in wheel.items()))
    if "ImuMeasurement" in latest:
        imu = latest["ImuMeasurement"]["ImuMeasurement"]
        lines.append("ImuMeasurement:")
        for name in ("accel", "gyro"):
            lines.append(f"  {name:<5} " + "  ".join(f"{k}={_number(v)}" for k, v in imu[name].items()))
    return lines


def render(rates: Mapping[str, float], latest: Mapping[str, Any], errors: int) -> str:
    """One screen of the monitor."""
    lines = ["messages per second:"]
    lines += [f"  {kind:<16} {rate:7.1f}/s" for kind, rate in sorted(rates.items())]
    lines.append(f"bad frames: {errors}")
    lines += latest_lines(latest)
    if "Scan" in latest:
        sweep = latest["Scan"]["Scan"]
        lines.append(f"last sweep ({len(sweep)} points):")
        lines.append(sweep_plot(sweep))
    return "\n".join(lines)
