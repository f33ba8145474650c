"""Kinematics of a two-wheeled robot in a rectangular room with one round pillar."""
from __future__ import annotations

import math
import random
from dataclasses import dataclass, field
from typing import Any

GRAVITY_M_PER_S2 = 9.81


@dataclass(frozen=True)
class RobotConfig:
    wheel_radius_m: float = 0.035
    track_width_m: float = 0.16
    max_wheel_rad_per_s: float = 25.0
    response_time_s: float = 0.15  # first-order lag between command and wheel speed
    room_m: tuple[float, float] = (4.0, 3.0)
    pillar: tuple[float, float, float] = (3.0, 1.0, 0.25)  # x, y, radius in metres
    start_pose: tuple[float, float, float] = (1.0, 1.5, 0.0)  # x, y, heading in radians
    noise: float = 0.01  # relative sensor noise


@dataclass
class Wheel:
    command: float = 0.0
    velocity: float = 0.0
    position: float = 0.0


@dataclass
class Robot:
    config: RobotConfig = field(default_factory=RobotConfig)
    rng: random.Random = field(default_factory=lambda: random.Random(1))

    def __post_init__(self) -> None:
        self.x, self.y, self.heading = self.config.start_pose
        self.left = Wheel()
        self.right = Wheel()
        self._forward_accel = 0.0

    def command(self, left_rad_per_s: float, right_rad_per_s: float) -> None:
        limit = self.config.max_wheel_rad_per_s
        self.left.command = _clamp(left_rad_per_s, limit)
        self.right.command = _clamp(right_rad_per_s, limit)

    def speeds(self) -> tuple[float, float]:
        """Forward speed (m/s) and yaw rate (rad/s) from the wheel speeds."""
        r = self.config.wheel_radius_m
        forward = r * (self.left.velocity + self.right.velocity) / 2
        yaw_rate = r * (self.right.velocity - self.left.velocity) / self.config.track_width_m
        return forward, yaw_rate

    def advance(self, dt: float) -> None:
        if dt <= 0:
            return
        before, _ = self.speeds()
        gain = min(1.0, dt / self.config.response_time_s)
        for wheel in (self.left, self.right):
            if not math.isfinite(wheel.command):
                wheel.command = 0.0
            wheel.velocity += (wheel.command - wheel.velocity) * gain
            wheel.position += wheel.velocity * dt
        forward, yaw_rate = self.speeds()
        self._forward_accel = (forward - before) / dt
        self.heading = math.remainder(self.heading + yaw_rate * dt, math.tau)
        width, height = self.config.room_m
        margin = self.config.track_width_m / 2
        # Walls stop the body; the wheels keep turning, as on a real robot pushed against one.
        self.x = min(max(self.x + forward * math.cos(self.heading) * dt, margin), width - margin)
        self.y = min(max(self.y + forward * math.sin(self.heading) * dt, margin), height - margin)

    def drive_base_state(self) -> dict[str, Any]:
        def wheel(w: Wheel) -> dict[str, float]:
            return {
                "effort_percent": 100.0 * w.velocity / self.config.max_wheel_rad_per_s,
                "velocity_rad_per_s": w.velocity,
                "position_rad": w.position,
            }
        return {"left": wheel(self.left), "right": wheel(self.right)}

    def imu_measurement(self) -> dict[str, Any]:
        forward, yaw_rate = self.speeds()
        jitter = self._jitter
        return {
            "accel": {"x": jitter(self._forward_accel, 0.02), "y": jitter(forward * yaw_rate, 0.02),
                      "z": jitter(GRAVITY_M_PER_S2, 0.02)},
            "gyro": {"x": jitter(0.0, 0.001), "y": jitter(0.0, 0.001), "z": jitter(yaw_rate, 0.001)},
        }

    def scan(self, points: int) -> list[dict[str, Any]]:
        """One sweep, counter-clockwise from straight ahead, distances in millimetres."""
        sweep = []
        for i in range(points):
            angle = math.tau * i / points
            distance_m = self._ray(self.heading + angle)
            quality = max(0, min(255, int(60 - 8 * distance_m + self.rng.gauss(0, 2))))
            sweep.append({"quality": quality, "angle_rad": angle,
                          "distance_mm": 1000.0 * self._jitter(distance_m, 0.0)})
        return sweep

    def _jitter(self, value: float, floor: float) -> float:
        return value + self.rng.gauss(0.0, self.config.noise * abs(value) + floor)

    def _ray(self, angle: float) -> float:
        dx, dy = math.cos(angle), math.sin(angle)
        width, height = self.config.room_m
        hits = []
        if dx > 1e-12:
            hits.append((width - self.x) / dx)
        elif dx < -1e-12:
            hits.append(-self.x / dx)
        if dy > 1e-12:
            hits.append((height - self.y) / dy)
        elif dy < -1e-12:
            hits.append(-self.y / dy)
        px, py, radius = self.config.pillar
        ox, oy = px - self.x, py - self.y
        along = ox * dx + oy * dy
        miss_sq = ox * ox + oy * oy - along * along
        if along > 0 and miss_sq < radius * radius:
            hits.append(along - math.sqrt(radius * radius - miss_sq))
        return max(0.0, min(hits))


def _clamp(value: float, limit: float) -> float:
    return value if math.isnan(value) else max(-limit, min(limit, value))
