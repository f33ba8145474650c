"""Times plim_ffi.Link, the pure-Python link and the floor extension on the same workloads
and prints a Markdown table; then ObjectLink against Link with the caller's JSON glue and
against the floor building the same objects; then a 100 kB message against a Python link
built on orjson.

    python bench/bench_table.py [--seconds 0.2] [--repeat 5]

Each figure is the best of `--repeat` runs, in microseconds per operation. The floor
column is left out when the floor extension (bench/floor/) cannot be built, the orjson
table when orjson is not installed (pip install -r bench/requirements.txt).
"""
from __future__ import annotations

import argparse
import json
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


def scan_datagrams(points: int = 500, parts: int = 4) -> list[bytes]:
    sweep = [{"quality": 40 + i % 20, "angle_rad": math.tau * i / points, "distance_mm": 800.0 + 3.7 * i}
             for i in range(points)]
    wire = encode_frame(encode_device_message({"Scan": sweep}))
    part = -(-len(wire) // parts)
    return [wire[i:i + part] for i in range(0, len(wire), part)]


def object_workloads(floor: Any) -> dict[str, dict[str, Callable[[], Any]]]:
    """Per workload, one operation for each of ObjectLink, Link with the caller's JSON glue
    and (when built) the floor, each giving the Python value the workload produces."""
    velocity = {"SetDriveBaseVelocity": [1.5, -1.5]}
    drive = bytes(json.loads(drive_base_packet()))
    scan = scan_datagrams()
    dumps, loads = json.dumps, json.loads

    def object_send() -> Callable[[], Any]:
        link = plim_ffi.ObjectLink()
        send, poll = link.send, link.poll_transmit
        return lambda: (send(velocity), poll())[1]

    def glue_send() -> Callable[[], Any]:
        link = plim_ffi.Link()
        send, poll = link.send, link.poll_transmit
        return lambda: (send(dumps(velocity)), bytes(loads(poll())))[1]

    def receiver(link_class: Any, datagrams: list[bytes], glue: bool) -> Callable[[], Any]:
        link = link_class()
        handle, poll = link.handle_receive, link.poll_receive

        def op() -> Any:
            for datagram in datagrams:
                handle(dumps(list(datagram)) if glue else datagram)
            return loads(poll()) if glue else poll()
        return op

    rows = {
        "SetDriveBaseVelocity value → bytes packet": {"ObjectLink": object_send, "Link + glue": glue_send},
        "DriveBaseState datagram → dict": {"ObjectLink": lambda: receiver(plim_ffi.ObjectLink, [drive], False),
                                           "Link + glue": lambda: receiver(plim_ffi.Link, [drive], True)},
        "Scan of 500 points, 4 datagrams → objects": {
            "ObjectLink": lambda: receiver(plim_ffi.ObjectLink, scan, False),
            "Link + glue": lambda: receiver(plim_ffi.Link, scan, True)},
    }
    if floor is not None:
        link = plim_ffi.ObjectLink()
        for datagram in scan:
            link.handle_receive(datagram)
        floor.set_scan([tuple(p.values()) for p in link.poll_receive()["Scan"]])
        link.handle_receive(drive)
        state = link.poll_receive()["DriveBaseState"]
        floor.set_drive_base(tuple(v for side in ("left", "right") for v in state[side].values()))

        def floor_pair(first: Callable[[Any], Any], argument: Any, second: Callable[[], Any]) -> Callable[[], Any]:
            return lambda: (first(argument), second())[1]

        def floor_scan() -> Any:
            for datagram in scan:
                floor.take(datagram)
            return floor.build_scan()

        rows["SetDriveBaseVelocity value → bytes packet"]["floor"] = lambda: floor_pair(
            floor.take_object, velocity, floor.packet)
        rows["DriveBaseState datagram → dict"]["floor"] = lambda: floor_pair(floor.take, drive, floor.build_drive_base)
        rows["Scan of 500 points, 4 datagrams → objects"]["floor"] = lambda: floor_scan
    return rows


def load_floor_module() -> Any:
    try:
        import bench_link  # builds bench/floor/ on first use

        return bench_link.load_floor()
    except Exception as exc:  # no compiler, no headers: report without the floor
        print(f"(floor extension unavailable: {exc})", file=sys.stderr)
        return None


def load_floor() -> Callable[[], Any] | None:
    """A factory for the floor extension dressed as a link, or None when it cannot be built.

    The floor's `send` takes one str and copies its UTF-8 bytes, its `poll` returns a short
    str: the least any extension call with the same argument costs.
    """
    floor = load_floor_module()
    if floor is None:
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

    print_object_table(load_floor_module() if floor is not None else None, args.seconds, args.repeat)
    print_large_message_table(args.seconds, args.repeat)


def print_object_table(floor: Any, seconds: float, repeat: int) -> None:
    print("\n| workload | ObjectLink (µs) | Link + glue (µs) | floor (µs) | glue ÷ ObjectLink | ObjectLink ÷ floor |")
    print("|---|---|---|---|---|---|")
    for name, makers in object_workloads(floor).items():
        ops = {impl: make() for impl, make in makers.items()}
        results = [repr(op()) for impl, op in ops.items() if impl != "floor"]
        if floor is not None:
            results.append(repr(ops["floor"]()))
        if len(set(results)) != 1:
            raise SystemExit(f"implementations disagree on {name!r}: {results}")
        times = {impl: per_op_us(op, seconds, repeat) for impl, op in ops.items()}
        floor_cells = [f"{times['floor']:.2f}", f"{times['ObjectLink'] / times['floor']:.2f}×"] if "floor" in times \
            else ["—", "—"]
        print(f"| {name} | {times['ObjectLink']:.2f} | {times['Link + glue']:.2f} | {floor_cells[0]} | "
              f"{times['Link + glue'] / times['ObjectLink']:.1f}× | {floor_cells[1]} |")


def print_large_message_table(seconds: float, repeat: int) -> None:
    try:
        from orjson_link import OrjsonLink
    except ImportError:
        print("\n(orjson not installed: the large-message table is skipped)", file=sys.stderr)
        return
    message = json.dumps({"SetUid": {"uid": "u" * 100_000}})

    def drain(make: Callable[[], Any]) -> Callable[[], Any]:
        link = make()
        send, poll = link.send, link.poll_transmit

        def op() -> Any:
            send(message)
            packets = []
            while (packet := poll()) is not None:
                packets.append(packet)
            return packets
        return op

    ops = {"plim_ffi": drain(plim_ffi.Link), "Python on orjson": drain(OrjsonLink), "pure Python": drain(PureLink)}
    if len({repr(op()) for op in ops.values()}) != 1:
        raise SystemExit("implementations disagree on the 100 kB SetUid")
    times = {impl: per_op_us(op, seconds, repeat) for impl, op in ops.items()}
    print("\n| workload | plim_ffi (µs) | Python on orjson (µs) | pure Python (µs) | orjson ÷ plim_ffi |")
    print("|---|---|---|---|---|")
    print(f"| send + poll_transmit until None, SetUid of 100 kB (72 packets) | {times['plim_ffi']:.1f} | "
          f"{times['Python on orjson']:.1f} | {times['pure Python']:.1f} | "
          f"{times['Python on orjson'] / times['plim_ffi']:.1f}× |")


if __name__ == "__main__":
    main()
