"""The simulated plim: answers the host, drives the robot model, reports at fixed rates."""
from __future__ import annotations

import copy
import math
import random
import select
import socket
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable

from .limits import HOST_RECEIVE_WINDOW, MAX_SCAN_POINTS
from .messages import decode_host_message, encode_device_message
from .robot import Robot, RobotConfig
from .wire import (DEVICE_API_VERSION, FrameSplitter, WireError, decode_frame, encode_frame,
                   is_compatible, split_packets)
from .wire_constants import API_VERSION

PHYSICS_STEP_S = 0.005
HOST_API_VERSION = API_VERSION  # what the simulated plim expects from its host
DEFAULT_NETWORKS = {"lab": ("plim-lab-pw", 200), "guest": ("", 120), "neighbour": ("secret", 35)}


@dataclass
class SimConfig:
    """Rates in messages per second; 0 turns a report off.

    `command_timeout_s` > 0 makes the plim hold a deadline: its wheels stop when no
    SetDriveBaseVelocity came for that long.
    """

    drive_base_hz: float = 20.0
    imu_hz: float = 50.0
    scan_hz: float = 5.0
    scan_points: int = 360
    ping_hz: float = 0.0
    command_timeout_s: float = 0.0
    version: tuple[int, int, int] = DEVICE_API_VERSION
    uid: str = "SIM-0001"
    mac: str = "02:00:5e:10:00:01"
    networks: dict[str, tuple[str, int]] = field(default_factory=lambda: dict(DEFAULT_NETWORKS))
    robot: RobotConfig = field(default_factory=RobotConfig)
    seed: int = 1

    def __post_init__(self) -> None:
        for name in ("drive_base_hz", "imu_hz", "scan_hz", "ping_hz", "command_timeout_s"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not (
                    math.isfinite(value) and value >= 0):
                raise ValueError(f"{name} must be a finite number, 0 for off, not negative; got {value!r}")
        points = self.scan_points
        if isinstance(points, bool) or not isinstance(points, int) or not 1 <= points <= MAX_SCAN_POINTS:
            raise ValueError(f"scan_points must be from 1 to {MAX_SCAN_POINTS}, got {points!r}: a longer sweep "
                             f"does not fit the host's {HOST_RECEIVE_WINDOW}-byte receive window")


def udp_pair() -> tuple[socket.socket, socket.socket]:
    """Two connected UDP sockets on 127.0.0.1: (host side, plim side)."""
    host, plim = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    host.bind(("127.0.0.1", 0))
    plim.bind(("127.0.0.1", 0))
    host.connect(plim.getsockname())
    plim.connect(host.getsockname())
    for sock in (host, plim):
        sock.setblocking(False)
    return host, plim


class PlimSimulator:
    """Device side of the link over a connected datagram socket.

    Driven by `pump(now)` with a caller-supplied clock, so tests can run it on
    simulated time; `run()` drives it on the wall clock.
    """

    def __init__(self, sock: socket.socket, config: SimConfig | None = None, *, follow_sender: bool = False) -> None:
        """`follow_sender` serves an unconnected socket: replies and reports go to whichever
        host sent last, and nothing is reported before a host has spoken."""
        self.config = config or SimConfig()
        self.sock = sock
        self.follow_sender = follow_sender
        self.peer: Any = None
        self.robot = Robot(self.config.robot, random.Random(self.config.seed))
        self.uid = self.config.uid
        self.connection: dict[str, Any] | None = None
        self.received: Counter[str] = Counter()
        self.sent: Counter[str] = Counter()
        self.refused_frames = 0
        self.dropped_packets = 0
        self._splitter = FrameSplitter()
        self._clock: float | None = None
        self._due: dict[str, float] = {}
        self._now = 0.0
        self._last_command: float | None = None  # when the wheels were last told to move

    # -- driving ---------------------------------------------------------------

    def pump(self, now: float) -> None:
        """Reads what the host sent, advances the robot to `now` and sends due reports."""
        self._now = now
        self.serve_pending()
        deadline = self.config.command_timeout_s
        if deadline > 0 and self._last_command is not None and now - self._last_command >= deadline:
            self.robot.command(0.0, 0.0)
            self._last_command = None
        if self.follow_sender and self.peer is None:
            return
        if self._clock is None:
            self._clock = now
            self._due = {name: now for name in self._reports()}
        while self._clock < now:
            step = min(PHYSICS_STEP_S, now - self._clock)
            self.robot.advance(step)
            self._clock += step
        for name, (rate, make) in self._reports().items():
            if rate <= 0 or now < self._due[name]:
                continue
            self.send(make())
            # After a stall, skip the missed reports instead of bursting them out.
            self._due[name] = max(self._due[name] + 1.0 / rate, now)

    def next_due(self) -> float:
        active = [self._due[name] for name, (rate, _) in self._reports().items() if rate > 0 and name in self._due]
        if self._last_command is not None and self.config.command_timeout_s > 0:
            active.append(self._last_command + self.config.command_timeout_s)
        return min(active, default=float("inf"))

    def run(self, duration_s: float, clock: Callable[[], float] = time.monotonic,
            should_stop: Callable[[], bool] = lambda: False) -> None:
        """Serves the host on the wall clock for at most `duration_s` seconds."""
        end = clock() + duration_s
        while (now := clock()) < end and not should_stop():
            self.pump(now)
            timeout = max(0.0, min(self.next_due(), end, now + 0.05) - clock())
            select.select([self.sock], [], [], timeout)

    # -- messages ----------------------------------------------------------------

    def send(self, message: str | dict[str, Any]) -> None:
        name = message if isinstance(message, str) else next(iter(message))
        for packet in split_packets(encode_frame(encode_device_message(message), self.config.version)):
            try:
                if self.peer is None:
                    self.sock.send(packet)
                else:
                    self.sock.sendto(packet, self.peer)
            except (BlockingIOError, ConnectionRefusedError):
                self.dropped_packets += 1
        self.sent[name] += 1

    def state(self) -> dict[str, Any]:
        connected = self.connection is not None and "Ok" in self.connection
        return {"State": {
            "uid": self.uid,
            "ip": "10.0.0.42" if connected else None,
            "mac": self.config.mac,
            "current_network_connection": copy.deepcopy(self.connection),
            "available_network_connections": [
                {"ssid": ssid, "strength": strength} for ssid, (_, strength) in self.config.networks.items()],
            "built_in_test": {
                "power": [{"name": "battery", "result": "Pass"}],
                "wifi": [{"name": "radio", "result": "Pass" if connected else "Waiting"}],
                "lidar": [{"name": "motor", "result": "Pass"}, {"name": "laser", "result": "Pass"}],
                "imu": [{"name": "self-test", "result": "Pass"}],
                "encoders": [{"name": "left", "result": "Pass"}, {"name": "right", "result": "Pass"}],
            },
        }}

    def handle(self, message: str | dict[str, Any]) -> None:
        if isinstance(message, str):
            self.received[message] += 1
            if message == "Ping":
                self.send("Pong")
            elif message == "RequestNetworkScan":
                self.send(self.state())
            return
        (name, record), = message.items()
        self.received[name] += 1
        if name == "SetUid":
            self.uid = record["uid"]
        elif name == "SetNetworkConnectionConfig":
            self._connect(record["ssid"], record["password"])
        elif name == "SetDriveBaseVelocity":
            self.robot.command(record["left_velocity_rad_per_s"], record["right_velocity_rad_per_s"])
            self._last_command = self._now

    def _connect(self, ssid: str, password: str) -> None:
        if ssid not in self.config.networks:
            self.connection = {"Err": "Timeout"}
        elif self.config.networks[ssid][0] != password:
            self.connection = {"Err": "AuthOrRefused"}
        else:
            self.connection = {"Ok": ssid}

    def _reports(self) -> dict[str, tuple[float, Callable[[], Any]]]:
        c = self.config
        return {
            "DriveBaseState": (c.drive_base_hz, lambda: {"DriveBaseState": self.robot.drive_base_state()}),
            "ImuMeasurement": (c.imu_hz, lambda: {"ImuMeasurement": self.robot.imu_measurement()}),
            "Scan": (c.scan_hz, lambda: {"Scan": self.robot.scan(c.scan_points)}),
            "Ping": (c.ping_hz, lambda: "Ping"),
        }

    def serve_pending(self) -> None:
        """Handles every host message waiting on the socket."""
        while True:
            try:
                packet, sender = self.sock.recvfrom(65536)
            except (BlockingIOError, InterruptedError, ConnectionRefusedError):
                return
            if self.follow_sender and sender != self.peer:
                self.peer = sender
                self._splitter = FrameSplitter()  # a new host starts with a fresh byte stream
            for frame in self._splitter.feed(packet):
                try:
                    version, body = decode_frame(frame)
                    if not is_compatible(HOST_API_VERSION, version):
                        raise WireError(f"host speaks {version}")
                    message = decode_host_message(body)
                except WireError:
                    self.refused_frames += 1
                    continue
                self.handle(message)
