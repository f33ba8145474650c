"""The `plim` command: look at and drive a plim without writing code."""
from __future__ import annotations

import argparse
import json
import math
import os
import signal
import statistics
import sys
import time
from collections import Counter
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from .commands import kind_of
from .link import PlimClient
from .messages import DEVICE_MESSAGE_KINDS
from .monitor import render

USAGE_ERROR = 2


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, so scripts and people see the cause without the usage text.
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message}\n")


def _positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    def read(text: str) -> Any:
        value = kind(text)
        if not value > 0 or (isinstance(value, float) and not math.isfinite(value)):
            raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
        return value
    read.__name__ = kind.__name__
    return read


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number: {text!r}")
    return value


def _until(seconds: float | None) -> Callable[[], bool]:
    end = math.inf if seconds is None else time.monotonic() + seconds
    return lambda: time.monotonic() >= end


# -- commands --------------------------------------------------------------------

def cmd_sim(args: argparse.Namespace) -> int:
    from plim_sim import PlimSimulator, SimConfig
    from plim_sim.thread import open_sim_socket

    options = {"scan_hz": args.scan_hz, "imu_hz": args.imu_hz, "drive_base_hz": args.drive_hz,
               "ping_hz": args.ping_hz, "scan_points": args.scan_points, "seed": args.seed}
    sock = open_sim_socket(args.host, args.port)
    host, port = sock.getsockname()[:2]
    sim = PlimSimulator(sock, SimConfig(**{k: v for k, v in options.items() if v is not None}), follow_sender=True)
    print(f"udp://{host}:{port}", flush=True)
    try:
        sim.run(math.inf)
    finally:
        sock.close()
    return 0


def cmd_monitor(args: argparse.Namespace) -> int:
    done = _until(args.seconds)
    clear = "\x1b[H\x1b[J" if sys.stdout.isatty() else ""
    with PlimClient(args.url) as client:
        client.request_network_scan()
        before, since = Counter[str](), time.monotonic()
        while not done() and not client.ended:
            time.sleep(args.interval)
            stats, now = client.stats, time.monotonic()
            rates = {kind: (count - before[kind]) / (now - since) for kind, count in stats.received_by_kind.items()}
            before, since = Counter(stats.received_by_kind), now
            latest = {kind: message for kind in stats.received_by_kind
                      if (message := client.latest(kind)) is not None}
            print(clear + render(rates, latest, stats.errors), flush=True)
    return 0


def _as_url(target: str) -> str:
    return target if "://" in target else "file://" + os.path.abspath(target)


def cmd_dump(args: argparse.Namespace) -> int:
    done = _until(args.seconds)
    kinds = tuple(args.kind or ())
    url = _as_url(args.target)
    with PlimClient(url) as client:
        if url.startswith("udp:"):
            # A plim on the network reports to the host that spoke to it last: greet it.
            client.send("Ping")
        while not done():
            message = client.recv(0.1)
            if message is None:
                if client.ended:
                    break
                continue
            if not kinds or kind_of(message) in kinds:
                print(json.dumps(message, separators=(",", ":")), flush=True)
    return 0


def cmd_ping(args: argparse.Namespace) -> int:
    rtts: list[float] = []
    with PlimClient(args.url) as client:
        for i in range(args.count):
            if i:
                time.sleep(args.interval)
            try:
                rtt = client.ping(timeout=args.timeout)
            except TimeoutError:
                print(f"no reply {i + 1}", flush=True)
                continue
            rtts.append(rtt)
            print(f"reply {i + 1}: time={rtt * 1000:.3f} ms", flush=True)
    loss = 100.0 * (args.count - len(rtts)) / args.count
    print(f"{args.count} sent, {len(rtts)} received, {loss:.0f}% loss")
    if rtts:
        print("rtt min/avg/max = " + "/".join(f"{v * 1000:.3f}" for v in (min(rtts), statistics.fmean(rtts),
                                                                          max(rtts))) + " ms")
    return 0 if rtts else 1


def cmd_drive(args: argparse.Namespace) -> int:
    with PlimClient(args.url) as client:
        start = time.monotonic()
        sent = 0
        try:
            while (now := time.monotonic()) < start + args.seconds:
                client.set_drive_base_velocity(args.left, args.right)
                sent += 1
                time.sleep(min(1.0 / args.hz, start + args.seconds - now))
        finally:
            client.set_drive_base_velocity(0.0, 0.0)
    print(f"sent {sent} velocity commands over {args.seconds:g} s, then zero")
    return 0


def cmd_record(args: argparse.Namespace) -> int:
    done = _until(args.seconds)
    with PlimClient(args.url, record=args.file) as client:
        client.request_network_scan()
        while not done():
            if client.recv(0.1) is None and client.ended:
                break
        stats = client.stats
    print(f"recorded {stats.packets_received} packets in, {stats.packets_sent} out to {args.file}", file=sys.stderr)
    return 0


# -- parsing ---------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="plim", description="Look at and drive a plim. URLs: udp://HOST:PORT, "
                     "udp-listen://ADDR:PORT, serial:///dev/ttyUSB0?baud=115200, sim://, file:///path/run.plimlog")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    sim = commands.add_parser("sim", help="run a simulated plim on a UDP port until Ctrl-C")
    sim.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    sim.add_argument("--port", type=int, default=0, help="UDP port (default: any free one)")
    for name, help_text in (("scan-hz", "lidar sweeps"), ("imu-hz", "inertial measurements"),
                            ("drive-hz", "drive base reports"), ("ping-hz", "pings from the plim")):
        sim.add_argument(f"--{name}", type=float, help=f"{help_text} per second")
    sim.add_argument("--scan-points", type=_positive(int), help="samples per sweep")
    sim.add_argument("--seed", type=int, help="noise seed")
    sim.set_defaults(run=cmd_sim)

    monitor = commands.add_parser("monitor", help="refreshing view of rates, latest values and the last sweep")
    monitor.add_argument("url")
    monitor.add_argument("--interval", type=_positive(float), default=1.0, help="seconds between refreshes")
    monitor.add_argument("--seconds", type=_positive(float), help="stop after this long")
    monitor.set_defaults(run=cmd_monitor)

    dump = commands.add_parser("dump", help="one JSON message per line on stdout")
    dump.add_argument("target", metavar="URL|FILE")
    dump.add_argument("--kind", action="append", choices=DEVICE_MESSAGE_KINDS,
                      help="only this kind of message (repeatable)")
    dump.add_argument("--seconds", type=_positive(float), help="stop after this long")
    dump.set_defaults(run=cmd_dump)

    ping = commands.add_parser("ping", help="round-trip times and loss")
    ping.add_argument("url")
    ping.add_argument("-c", "--count", type=_positive(int), default=4, help="pings to send (default 4)")
    ping.add_argument("--interval", type=_positive(float), default=0.2, help="seconds between pings")
    ping.add_argument("--timeout", type=_positive(float), default=1.0, help="seconds to wait for each Pong")
    ping.set_defaults(run=cmd_ping)

    drive = commands.add_parser("drive", help="hold a wheel velocity, then stop")
    drive.add_argument("url")
    drive.add_argument("--left", type=_finite, required=True, help="left wheel, rad/s")
    drive.add_argument("--right", type=_finite, required=True, help="right wheel, rad/s")
    drive.add_argument("--seconds", type=_positive(float), required=True, help="how long to hold it")
    drive.add_argument("--hz", type=_positive(float), default=10.0, help="commands per second (default 10)")
    drive.set_defaults(run=cmd_drive)

    record = commands.add_parser("record", help="record a run to a file")
    record.add_argument("url")
    record.add_argument("file")
    record.add_argument("--seconds", type=_positive(float), help="stop after this long (default: Ctrl-C)")
    record.set_defaults(run=cmd_record)

    from . import bridge_cli, fleet_cli  # they take this module's argument types
    bridge_cli.add_parser(commands)
    fleet_cli.add_parser(commands)
    return parser


def _terminate(signum: int, frame: Any) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    signal.signal(signal.SIGTERM, _terminate)  # a kill ends as cleanly as Ctrl-C: wheels stopped, files closed
    try:
        code: int = args.run(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of our output went away (`| head`); that ends the command, quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (ValueError, OSError) as exc:
        print(f"plim {args.command}: error: {exc}", file=sys.stderr)
        return USAGE_ERROR
    return code


if __name__ == "__main__":
    sys.exit(main())
