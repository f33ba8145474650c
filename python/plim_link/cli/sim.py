"""`plim sim`: a simulated plim on a UDP port, until Ctrl-C."""
from __future__ import annotations

import argparse
import math
import socket
import sys
from typing import Any

from plim_sim import PlimSimulator, SimConfig
from plim_sim.thread import open_sim_socket

from ..transports import resolve
from .common import BadInput, Failed, number, seconds

DEFAULTS = SimConfig()
rate = number(float, low=0, what="a finite rate, 0 for off")


def add_parser(commands: Any) -> None:
    sim = commands.add_parser("sim", help="run a simulated plim on a UDP port until Ctrl-C",
                              description="Run a simulated plim on a UDP port until Ctrl-C. It prints the URL to "
                              "connect to, and reports to the host that spoke to it last (or to --report-to).")
    sim.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1; 0.0.0.0 or :: for "
                     "every interface)")
    sim.add_argument("--port", type=number(int, low=0, high=65535, what="a port from 0 to 65535"), default=0,
                     help="UDP port (default: any free one)")
    for name, field, text in (("scan-hz", "scan_hz", "lidar sweeps"), ("imu-hz", "imu_hz", "inertial measurements"),
                              ("drive-hz", "drive_base_hz", "drive base reports"),
                              ("ping-hz", "ping_hz", "pings from the plim")):
        sim.add_argument(f"--{name}", type=rate, default=getattr(DEFAULTS, field),
                         help=f"{text} per second, 0 for none (default {getattr(DEFAULTS, field):g})")
    sim.add_argument("--scan-points", type=int, default=DEFAULTS.scan_points,
                     help=f"samples per sweep (default {DEFAULTS.scan_points})")
    sim.add_argument("--uid", default=DEFAULTS.uid, help=f"the plim's identifier (default {DEFAULTS.uid})")
    sim.add_argument("--command-timeout", type=number(float, low=0, what="a finite number of seconds"), default=0.0,
                     metavar="SECONDS", help="stop the wheels when no wheel command came for this long (default 0: "
                     "never)")
    sim.add_argument("--report-to", metavar="HOST:PORT", help="report there from the start, without waiting for a "
                     "host to speak (to try udp-listen://)")
    sim.add_argument("--seed", type=int, default=DEFAULTS.seed, help="noise seed")
    sim.add_argument("--seconds", type=seconds, help="stop after this long (default: Ctrl-C)")
    sim.set_defaults(run=run, ctrl_c_ends=True)


def run(args: argparse.Namespace) -> int:
    try:
        config = SimConfig(scan_hz=args.scan_hz, imu_hz=args.imu_hz, drive_base_hz=args.drive_hz, ping_hz=args.ping_hz,
                           scan_points=args.scan_points, uid=args.uid, command_timeout_s=args.command_timeout,
                           seed=args.seed)
    except ValueError as exc:
        raise BadInput(str(exc).replace("_hz", "-hz").replace("scan_points", "--scan-points")) from None
    report_to = _report_address(args.report_to) if args.report_to else None
    try:
        sock = open_sim_socket(args.host, args.port)
    except (UnicodeError, ValueError, TypeError):  # a name the socket cannot even encode
        raise BadInput(f"--host {args.host[:60]!r} is not an address of this machine") from None
    except socket.gaierror as exc:
        raise BadInput(f"--host {args.host[:60]!r}: {exc.strerror}") from None
    except OSError as exc:
        raise Failed(f"cannot listen on {args.host}:{args.port}: {exc.strerror or exc}") from None
    with sock:
        host, port = sock.getsockname()[:2]
        print(_url(_loopback(host), port), flush=True)
        if host in ("0.0.0.0", "::"):
            others = _addresses(host)
            print("other machines can use " + (", ".join(_url(a, port) for a in others) if others else
                                                 "this machine's address with that port"), file=sys.stderr, flush=True)
        sim = PlimSimulator(sock, config, follow_sender=True)
        sim.peer = report_to
        sim.run(math.inf if args.seconds is None else args.seconds)
    return 0


def _url(host: str, port: int) -> str:
    return f"udp://[{host}]:{port}" if ":" in host else f"udp://{host}:{port}"


def _loopback(host: str) -> str:
    # A wildcard address is where the plim listens, not where anyone can reach it.
    return {"0.0.0.0": "127.0.0.1", "::": "::1"}.get(host, host)


def _addresses(wildcard: str) -> list[str]:
    family = socket.AF_INET6 if wildcard == "::" else socket.AF_INET
    found: list[str] = []
    try:
        infos = socket.getaddrinfo(socket.gethostname(), None, family, socket.SOCK_DGRAM)
    except OSError:
        infos = []
    for info in infos:
        address = str(info[4][0])
        if address not in found and not address.startswith(("127.", "::1")):
            found.append(address)
    # The address this machine would use to reach the outside, found without sending anything.
    with socket.socket(family, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1" if family == socket.AF_INET else "2001:db8::1", 9))
            address = probe.getsockname()[0]
            if address not in found:
                found.append(address)
        except OSError:
            pass
    return found


def _report_address(text: str) -> Any:
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise BadInput(f"--report-to {text!r}: give HOST:PORT")
    try:
        return resolve(host.strip("[]"), int(port))[1]
    except OSError as exc:
        raise Failed(str(exc)) from None
