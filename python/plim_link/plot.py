"""A recording as one figure: the wheels and the IMU over time, and a sweep seen from above."""
from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any

from .extras import require
from .recording_reader import RecordingReader
from .scan_points import sweep_xy
from .traffic import messages

WHEEL_PANELS = (("velocity_rad_per_s", "Wheel velocity", "rad/s"), ("position_rad", "Wheel position", "rad"),
                ("effort_percent", "Wheel effort", "%"))
IMU_PANELS = (("accel", "Acceleration", "m/s²"), ("gyro", "Rotation rate", "rad/s"))
SIDES = ("left", "right")
AXES = ("x", "y", "z")


@dataclass
class Series:
    """What the figure shows, gathered in one pass over a recording; times in seconds from `start_ns`."""

    start_ns: int | None = None
    wheel_times: list[float] = field(default_factory=list)
    wheels: dict[tuple[str, str], list[float | None]] = field(default_factory=dict)
    imu_times: list[float] = field(default_factory=list)
    imu: dict[tuple[str, str], list[float | None]] = field(default_factory=dict)
    sweep_time: float | None = None
    sweep: list[dict[str, Any]] = field(default_factory=list)


def gather(reader: RecordingReader, at_s: float | None = None) -> Series:
    """The wheel and IMU reports of a recording, and its last sweep or the one nearest `at_s` seconds
    from the start. Times are by the wall clock where the recording has it."""
    series = Series()
    wheels: dict[tuple[str, str], list[float | None]] = {(side, name): [] for side in SIDES
                                                          for name, _, _ in WHEEL_PANELS}
    imu: dict[tuple[str, str], list[float | None]] = {(group, axis): [] for group, _, _ in IMU_PANELS for axis in AXES}
    sweep_text: str | None = None
    sweep_time: float | None = None
    for message in messages(reader):
        if message.direction != "received" or message.kind not in ("DriveBaseState", "ImuMeasurement", "Scan"):
            continue
        time_ns = message.mono_ns if message.wall_ns is None else message.wall_ns
        if series.start_ns is None:
            series.start_ns = time_ns
        seconds = (time_ns - series.start_ns) / 1e9
        if message.kind == "Scan":
            # Only the chosen sweep is read: a run holds thousands.
            if sweep_time is None or at_s is None or abs(seconds - at_s) <= abs(sweep_time - at_s):
                sweep_text, sweep_time = message.text, seconds
            continue
        payload = json.loads(message.text)[message.kind]
        if message.kind == "DriveBaseState":
            series.wheel_times.append(seconds)
            for (side, name), values in wheels.items():
                values.append(payload[side][name])
        else:
            series.imu_times.append(seconds)
            for (group, axis), values in imu.items():
                values.append(payload[group][axis])
    series.wheels, series.imu = wheels, imu
    if sweep_text is not None:
        series.sweep, series.sweep_time = json.loads(sweep_text)["Scan"], sweep_time
    return series


def build_figure(series: Series) -> Any:
    """A matplotlib Figure of three rows: wheels on the left, the IMU and the sweep on the right."""
    figure_module: Any = require("matplotlib.figure", "plotting")
    agg: Any = require("matplotlib.backends.backend_agg", "plotting")
    figure = figure_module.Figure(figsize=(13, 11), layout="constrained")
    agg.FigureCanvasAgg(figure)  # its own canvas: nothing of pyplot's global state is touched
    grid = figure.subplots(3, 2)
    time_label = "time (s)"
    for axes, (name, title, unit) in zip(grid[:, 0], WHEEL_PANELS):
        for side in SIDES:
            axes.plot(series.wheel_times, _numbers(series.wheels.get((side, name), [])), label=side, linewidth=0.8)
        axes.set(title=title, xlabel=time_label, ylabel=f"{title.split()[-1]} ({unit})")
        axes.legend(loc="upper right")
    for axes, (group, title, unit) in zip(grid[:2, 1], IMU_PANELS):
        for axis in AXES:
            axes.plot(series.imu_times, _numbers(series.imu.get((group, axis), [])), label=axis, linewidth=0.8)
        axes.set(title=title, xlabel=time_label, ylabel=f"{title} ({unit})")
        axes.legend(loc="upper right")
    axes = grid[2, 1]
    xs, ys, qualities = sweep_xy(series.sweep)
    if xs:
        axes.scatter(ys, xs, c=qualities, s=4, cmap="viridis")
    axes.plot([0], [0], marker="^", color="red", markersize=9)  # the robot, facing up
    axes.set_aspect("equal", adjustable="datalim")
    axes.invert_xaxis()  # left of the robot on the left
    when = "no sweep" if series.sweep_time is None else f"sweep at {series.sweep_time:.2f} s, {len(xs)} points"
    axes.set(title=f"Lidar from above ({when})", xlabel="left of the robot, y (m)", ylabel="ahead, x (m)")
    return figure


def _numbers(values: list[float | None]) -> list[float]:
    return [float("nan") if value is None else value for value in values]


def plot(source: str | os.PathLike[str], target: str | os.PathLike[str], at_s: float | None = None) -> Any:
    """Writes the figure of the recording `source` to `target` (.png or .svg); returns the figure."""
    suffix = os.path.splitext(os.fspath(target))[1].lower()
    if suffix not in (".png", ".svg"):
        raise ValueError(f"{os.fspath(target)}: the figure is written as .png or .svg")
    with RecordingReader.open(source) as reader:
        figure = build_figure(gather(reader, at_s))
    figure.savefig(target, dpi=110)
    return figure
