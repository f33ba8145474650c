"""Times plim_ffi.Link, the pure-Python link and the floor extension on the same workloads
and prints a Markdown table.

    python bench/bench_table.py [--seconds 0.2] [--repeat 5]

Each figure is the best of `--repeat` runs, in microseconds per operation. The floor
column is left out when the floor extension (bench/floor/) cannot be built.
"""
from __future__ import annotations

import argparse
import math
import platform
import sys
import timeit
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "python")]

import plim_ffi  # noqa: E402
from plim_sim import encode_device_message, encode_frame  # noqa: E402
from pure_link import PureLink  # noqa: E402

VELOCITY = '{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":1.5,"right_velocity_rad_per_s":-1.5}}'


def packet_text(data: bytes) -> str:
    return "[" + ",".join(map(str, data)) + "]"


def drive_base_packet() -> str:
    wheel = {"effort_percent": 42.5, "velocity_rad_per_s": 3.14159, "position_rad": 1234.567}
    return packet_text(encode_frame(encode_device_message({"DriveBaseState": {"left": wheel, "right": wheel}})))


def scan_packets(points: int = 500) -> list[str]:
    sweep = [{"quality": 40 + i % 20, "angle_rad": math.tau * i / points, "distance_mm": 800.0 + 3.7 * i}
             for i in range(points)]
    wire = encode_frame(encode_device_message({"Scan": sweep}))
    third = -(-len(wire) // 3)
    return [packet_text(wire[i:i + third]) for i in range(0, len(wire), third)]


def workloads() -> dict[str, Callable[[Any], Callable[[], Any]]]:
    drive = drive_base_packet()
    scan = scan_packets()
    assert len(scan) == 3

    # Methods are bound once, outside the timed loop, for every implementation alike.
    def send_velocity(link: Any) -> Callable[[], Any]:
        send, poll = link.send, link.poll_transmit

        def op() -> Any:
            send(VELOCITY)
            return poll()
        return op

    def receive_drive_base(link: Any) -> Callable[[], Any]:
        handle, poll = link.handle_receive, link.poll_receive

        def op() -> Any:
            handle(drive)
            return poll()
        return op

    def receive_scan(link: Any) -> Callable[[], Any]:
        handle, poll = link.handle_receive, link.poll_receive
        first, second, third = scan

        def op() -> Any:
            handle(first)
            handle(second)
            handle(third)
            return poll()
        return op

    return {
        "send + poll_transmit, SetDriveBaseVelocity": send_velocity,
        "handle_receive + poll_receive, DriveBaseState (1 packet)": receive_drive_base,
        "handle_receive ×3 + poll_receive, Scan of 500 points": receive_scan,
    }


def load_floor() -> Callable[[], Any] | None:
    """A factory for the floor extension dressed as a link, or None when it cannot be built.

    The floor's `send` takes one str and copies its UTF-8 bytes, its `poll` returns a short
    str: the least any extension call with the same argument costs.
    """
    try:
        import bench_link  # builds bench/floor/ on first use

        floor = bench_link.load_floor()
    except Exception as exc:  # no compiler, no headers: report without the floor
        print(f"(floor extension unavailable: {exc})", file=sys.stderr)
        return None
    return lambda: SimpleNamespace(send=floor.send, poll_transmit=floor.poll,
                                   handle_receive=floor.send, poll_receive=floor.poll)


def per_op_us(op: Callable[[], Any], seconds: float, repeat: int) -> float:
    timer = timeit.Timer(op)
    number, _ = timer.autorange()
    number = max(1, int(number * seconds / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e6


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {platform.system()} {platform.machine()}, Python {platform.python_version()}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=0.2, help="approximate length of one timed run")
    parser.add_argument("--repeat", type=int, default=5, help="timed runs per figure; the best counts")
    args = parser.parse_args()

    links: dict[str, Callable[[], Any]] = {"plim_ffi": plim_ffi.Link, "pure Python": PureLink}
    floor = load_floor()
    if floor is not None:
        links["floor"] = floor

    rows = []
    for name, make in workloads().items():
        ops = {impl: make(factory()) for impl, factory in links.items()}
        results = {impl: op() for impl, op in ops.items() if impl != "floor"}
        # Only compare implementations that did the same job.
        if len(set(results.values())) != 1:
            raise SystemExit(f"implementations disagree on {name!r}: {results}")
        rows.append((name, {impl: per_op_us(op, args.seconds, args.repeat) for impl, op in ops.items()}))

    impls = list(links)
    header = ["workload", *(f"{impl} (µs)" for impl in impls), "pure Python ÷ plim_ffi"]
    if "floor" in links:
        header.append("plim_ffi ÷ floor")
    print(f"Machine: {machine()}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for name, times in rows:
        cells = [name, *(f"{times[impl]:.2f}" for impl in impls),
                 f"{times['pure Python'] / times['plim_ffi']:.1f}×"]
        if "floor" in links:
            cells.append(f"{times['plim_ffi'] / times['floor']:.2f}×")
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
