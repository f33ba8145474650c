"""`plim fleet list|dump|drive`: the plims on the Zenoh bus, from any machine that reaches it."""
from __future__ import annotations

import argparse
import json
import math
import time
from typing import Any

from ..messages import DEVICE_MESSAGE_KINDS
from ..zenoh_config import MissingExtra
from ..zenoh_keys import check_name
from .bus import add_bus_arguments, bus_settings
from .common import BadInput, Failed, finite, positive, seconds

HELP = "the plims on a Zenoh bus: list, dump, drive (pip install 'plim_ffi[zenoh]')"


def _name(text: str) -> str:
    try:
        return check_name(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def add_parser(commands: Any) -> None:
    parser: argparse.ArgumentParser = commands.add_parser("fleet", help=HELP, description=HELP)
    actions = parser.add_subparsers(dest="action", required=True, parser_class=type(parser))

    listing = actions.add_parser("list", help="the plims served now, with link state and URL")
    add_bus_arguments(listing)

    dump = actions.add_parser("dump", help="JSON lines: name, time (s since the epoch) and message")
    dump.add_argument("name", nargs="?", default="*", type=lambda t: t if t == "*" else _name(t),
                      help="one plim (default: every plim)")
    dump.add_argument("--kind", action="append", choices=DEVICE_MESSAGE_KINDS, help="only this kind (repeatable)")
    dump.add_argument("--seconds", type=seconds, help="stop after this long (default: Ctrl-C)")
    dump.set_defaults(ctrl_c_ends=True)
    add_bus_arguments(dump)

    drive = actions.add_parser("drive", help="hold a wheel velocity through the bus, then stop")
    drive.add_argument("name", type=_name)
    drive.add_argument("--left", type=finite, required=True, help="left wheel, rad/s")
    drive.add_argument("--right", type=finite, required=True, help="right wheel, rad/s")
    drive.add_argument("--seconds", type=seconds, required=True, help="how long to hold it")
    drive.add_argument("--hz", type=positive, default=10.0, help="commands per second (default 10)")
    add_bus_arguments(drive)
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from ..fleet import Fleet

    args.command = f"fleet {args.action}"  # errors name the action, as argparse's own do
    settings = bus_settings(args)
    try:
        fleet = Fleet(settings.connect, settings.listen, settings.config, tls_ca=settings.tls_ca,
                      tls_cert=settings.tls_cert, tls_key=settings.tls_key)
    except (ValueError, MissingExtra) as exc:
        raise BadInput(str(exc)) from None
    except OSError as exc:
        raise Failed(str(exc) or type(exc).__name__) from None
    with fleet:
        return {"list": list_plims, "dump": dump, "drive": drive}[args.action](fleet, args)


def list_plims(fleet: Any, args: argparse.Namespace) -> int:
    infos = fleet.infos()
    for name in fleet.names():
        info = infos.get(name, {})
        print(f"{name}\t{info.get('link_state', '?')}\t{info.get('url', '?')}", flush=True)
    return 0


def dump(fleet: Any, args: argparse.Namespace) -> int:
    end = math.inf if args.seconds is None else time.monotonic() + args.seconds
    with fleet.subscribe(args.name, args.kind) as messages:
        while (left := end - time.monotonic()) > 0:
            item = messages.recv_text(min(left, 0.5))
            if item is not None:
                # The text goes out as the bridge published it: Link's own digits.
                seconds = f"{item.time_ns // 10**9}.{item.time_ns % 10**9:09d}"
                print(f'{{"name":{json.dumps(item.name)},"time":{seconds},"message":{item.text}}}', flush=True)
    return 0


def drive(fleet: Any, args: argparse.Namespace) -> int:
    start = time.monotonic()
    sent = 0
    try:
        while (now := time.monotonic()) < start + args.seconds:
            fleet.set_drive_base_velocity(args.name, args.left, args.right)
            sent += 1
            time.sleep(min(1.0 / args.hz, start + args.seconds - now))
    finally:
        fleet.set_drive_base_velocity(args.name, 0.0, 0.0)
    print(f"sent {sent} velocity commands to {args.name} over {args.seconds:g} s, then zero")
    return 0
