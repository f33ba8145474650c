"""Times `plim info` and `plim export` on a one-hour recording at the simulated plim's default rates.

    python bench/bench_recording.py [--minutes 60] [--repeat 3] [--keep DIR]

The recording is made here, synthetically and quickly: the simulated plim's robot model makes the
first minute of reports (20 DriveBaseState, 50 ImuMeasurement and 5 Scan of 360 points per second,
and a Pong for each of the host's heartbeat Pings), and that minute repeats, with advancing times,
for as long as asked, written by the recorder the client uses. Each command then runs in its own
process, as a user runs it; the figure is its wall-clock time, best of --repeat runs.
"""
from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

from plim_link.recording import RECEIVED, SENT, Recorder
from plim_sim import encode_device_message, encode_frame, split_packets
from plim_sim.robot import Robot

RATES = {"DriveBaseState": 20, "ImuMeasurement": 50, "Scan": 5}
STEP_NS = 10_000_000  # reports fall on a 10 ms grid


def one_minute() -> list[tuple[int, bytes, list[bytes]]]:
    """(time offset in ns, direction, packets) of a minute of traffic, in time order."""
    robot = Robot()
    robot.command(6.0, 4.0)
    host_ping = encode_frame(encode_device_message("Ping"))  # a Ping is the same frame from either side
    pong = encode_frame(encode_device_message("Pong"))
    out = []
    for step in range(60_000_000_000 // STEP_NS):
        robot.advance(STEP_NS / 1e9)
        at = step * STEP_NS
        for kind, rate in RATES.items():
            if step % (100 // rate) == 0:
                body = {"DriveBaseState": robot.drive_base_state, "ImuMeasurement": robot.imu_measurement,
                        "Scan": lambda: robot.scan(360)}[kind]()
                out.append((at, RECEIVED, split_packets(encode_frame(encode_device_message({kind: body})))))
        if step % 100 == 0:
            out.append((at, SENT, [host_ping]))
            out.append((at + 300_000, RECEIVED, [pong]))
    return out


def make(path: str, minutes: int) -> tuple[int, int]:
    """Writes the recording; returns (messages, packets)."""
    minute = one_minute()
    recorder = Recorder(path, "sim://")
    start = time.monotonic_ns()
    messages = packets = 0
    for m in range(minutes):
        for at, direction, frames in minute:
            for packet in frames:
                recorder.write(direction, packet, start + m * 60_000_000_000 + at)
            messages += 1
            packets += len(frames)
    recorder.close()
    return messages, packets


def timed(args: list[str], repeat: int) -> tuple[float, float]:
    """(wall-clock, CPU) seconds of the run with the least wall-clock time. The CPU time (user and
    system) is what the command itself took, which waiting behind other work does not inflate."""
    best = (float("inf"), float("inf"))
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        began = time.perf_counter()
        subprocess.run([sys.executable, "-m", "plim_link", *args], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
        wall = time.perf_counter() - began
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        best = min(best, (wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime))
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=int, default=60)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--keep", help="make the files in this folder and leave them there")
    args = parser.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="bench-recording-")
    os.makedirs(folder, exist_ok=True)
    path, out = os.path.join(folder, "hour.plimlog"), os.path.join(folder, "hour.mcap")
    for stale in (path, out):
        if os.path.exists(stale):
            os.unlink(stale)
    began = time.perf_counter()
    messages, packets = make(path, args.minutes)
    print(f"made {path}: {args.minutes} min, {messages} messages in {packets} packets, "
          f"{os.path.getsize(path) / 1e6:.1f} MB, in {time.perf_counter() - began:.1f} s")
    print(f"load average before the runs: {os.getloadavg()[0]:.2f}")
    info = timed(["info", path], args.repeat)
    export = timed(["export", path, out], args.repeat)
    print(f"load average after the runs: {os.getloadavg()[0]:.2f}")
    hour = args.minutes * 60
    print(f"| command | wall-clock time (s), best of {args.repeat} | its CPU time (s) | share of the recording's "
          f"{hour} s |")
    print("|---|---|---|---|")
    print(f"| `plim info` | {info[0]:.1f} | {info[1]:.1f} | {100 * info[0] / hour:.2f}% |")
    print(f"| `plim export` ({os.path.getsize(out) / 1e6:.1f} MB of MCAP) | {export[0]:.1f} | {export[1]:.1f} | "
          f"{100 * export[0] / hour:.2f}% |")
    if not args.keep:
        for name in (path, out):
            os.unlink(name)
        os.rmdir(folder)


if __name__ == "__main__":
    main()
