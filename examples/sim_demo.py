"""Drives a plim_ffi.Link against the simulated plim over UDP on 127.0.0.1 and summarises the traffic.

    python examples/sim_demo.py [--seconds 3] [--scan-hz 5] [--imu-hz 50] [--drive-hz 20]
"""
from __future__ import annotations

import argparse
import json
import math
import select
import threading
import time
from collections import Counter
from typing import Any

from plim_ffi import Link
from plim_sim import PlimSimulator, SimConfig, udp_pair
from plim_sim.host import HostPump

# (start time in seconds, left and right wheel velocity in rad/s): straight, turn left, spin right, stop.
DRIVE_PLAN = [(0.0, 8.0, 8.0), (0.3, 4.0, 9.0), (0.6, 6.0, -6.0), (0.85, 0.0, 0.0)]


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to run (default 3)")
    parser.add_argument("--scan-hz", type=float, default=5.0, help="lidar sweeps per second")
    parser.add_argument("--scan-points", type=int, default=360, help="samples per sweep")
    parser.add_argument("--imu-hz", type=float, default=50.0, help="inertial measurements per second")
    parser.add_argument("--drive-hz", type=float, default=20.0, help="drive base reports per second")
    return parser.parse_args()


def velocity_at(fraction: float) -> tuple[float, float]:
    left = right = 0.0
    for start, plan_left, plan_right in DRIVE_PLAN:
        if fraction >= start:
            left, right = plan_left, plan_right
    return left, right


def run_host(pump: HostPump, seconds: float) -> tuple[Counter[str], Counter[str], dict[str, Any]]:
    sent: Counter[str] = Counter()
    received: Counter[str] = Counter()
    last: dict[str, Any] = {}

    def send(message: Any) -> None:
        pump.send(json.dumps(message))
        sent[message if isinstance(message, str) else next(iter(message))] += 1

    send("RequestNetworkScan")
    send({"SetUid": {"uid": "demo-bot"}})
    send({"SetNetworkConnectionConfig": {"ssid": "lab", "password": "plim-lab-pw"}})
    start = time.monotonic()
    next_command = start
    asked_for_state = False
    while (now := time.monotonic()) < start + seconds:
        if now >= next_command:  # velocity commands at 10 Hz
            left, right = velocity_at((now - start) / seconds)
            send({"SetDriveBaseVelocity": [left, right]})
            next_command += 0.1
        if not asked_for_state and now - start > seconds / 2:
            send("RequestNetworkScan")
            send("Ping")
            asked_for_state = True
        select.select([pump.sock], [], [], 0.01)
        for text in pump.receive():
            message = json.loads(text)
            name = message if isinstance(message, str) else next(iter(message))
            received[name] += 1
            last[name] = message
            if name == "Ping":
                send("Pong")
    return sent, received, last


def sweep_plot(points: list[dict[str, Any]], width: int = 41, height: int = 21) -> str:
    """Top-down view of one sweep: the robot '@' in the middle, facing up."""
    grid = [[" "] * width for _ in range(height)]
    reach = max((p["distance_mm"] or 0.0) for p in points) or 1.0
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


def main() -> None:
    args = parse_args()
    host_sock, plim_sock = udp_pair()
    config = SimConfig(drive_base_hz=args.drive_hz, imu_hz=args.imu_hz, scan_hz=args.scan_hz,
                       scan_points=args.scan_points, ping_hz=1.0)
    sim = PlimSimulator(plim_sock, config)
    stop = threading.Event()
    device = threading.Thread(target=sim.run, args=(args.seconds + 1.0,), kwargs={"should_stop": stop.is_set})
    device.start()
    pump = HostPump(Link(), host_sock)
    try:
        sent, received, last = run_host(pump, args.seconds)
    finally:
        stop.set()
        device.join()
        sim.serve_pending()  # messages that arrived after the plim's last turn
        host_sock.close()
        plim_sock.close()

    secs = args.seconds
    print(f"== {secs:g} s against the simulated plim (UDP on 127.0.0.1)")
    print(f"host -> plim: {sum(sent.values())} messages ({sum(sent.values()) / secs:.1f}/s) "
          f"in {pump.packets_out} packets; the plim decoded {sum(sim.received.values())}")
    print(f"plim -> host: {sum(received.values())} messages ({sum(received.values()) / secs:.1f}/s) "
          f"in {pump.packets_in} packets; link errors: {len(pump.errors)}")
    for name, count in sorted(received.items()):
        print(f"  {name:<16} {count:5d}  {count / secs:7.1f}/s")
    if "State" in last:
        print("\nlast State:")
        for key, value in last["State"]["State"].items():
            if key == "built_in_test":
                value = "; ".join(f"{group}: " + ", ".join(f"{item['name']}={item['result']}" for item in items)
                                  for group, items in value.items())
            elif not isinstance(value, str):
                value = json.dumps(value, separators=(",", ":"))
            print(f"  {key:<30} {value}")
    if "DriveBaseState" in last:
        print("\nlast DriveBaseState:")
        for side, wheel in last["DriveBaseState"]["DriveBaseState"].items():
            print(f"  {side:<5} " + "  ".join(f"{k}={v:.3f}" if v is not None else f"{k}=null"
                                             for k, v in wheel.items()))
    if "Scan" in last:
        print(f"\nlast sweep ({len(last['Scan']['Scan'])} points):")
        print(sweep_plot(last["Scan"]["Scan"]))
    for error in pump.errors[:5]:
        print("link error:", error)


if __name__ == "__main__":
    main()
