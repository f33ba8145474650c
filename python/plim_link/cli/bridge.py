"""`plim bridge NAME=URL …`: serves plims on the Zenoh bus until Ctrl-C or SIGTERM."""
from __future__ import annotations

import argparse
import asyncio
import os
import sys
from typing import Any

from ..zenoh_config import MissingExtra, require_zenoh
from ..zenoh_keys import check_name
from .bus import add_bus_arguments, bus_settings
from .common import BadInput, Failed


def add_parser(commands: Any) -> None:
    bridge = commands.add_parser(
        "bridge", help="serve plims on a Zenoh bus (pip install 'plim_ffi[zenoh]')",
        description="Serve each plim on the bus under plim/NAME/: its messages, link state, latest values and info, "
        "and the commands put on plim/NAME/cmd. Runs until Ctrl-C or SIGTERM, which stop every plim it drove.")
    bridge.add_argument("plims", nargs="*", metavar="NAME=URL", help="a plim and its URL (any plim URL)")
    bridge.add_argument("--fleet", metavar="FILE", help='a TOML file with a [plims] table of NAME = "URL"')
    bridge.add_argument("--record", metavar="DIR", help="record each plim's packets to DIR/NAME.plimlog (appended "
                        "to if it exists)")
    add_bus_arguments(bridge)
    bridge.set_defaults(run=run)


def parse_plim(text: str) -> tuple[str, str]:
    name, equals, url = text.partition("=")
    if not equals or not url:
        raise ValueError(f"{text!r} is not NAME=URL")
    return check_name(name), url


def read_fleet(path: str) -> dict[str, str]:
    """The [plims] table of a fleet file: NAME = "URL" per line."""
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        try:
            import tomli as tomllib
        except ImportError:
            raise ValueError("reading --fleet on Python 3.10 needs tomli: pip install 'plim_ffi[zenoh]'") from None
    try:
        with open(path, "rb") as stream:
            table = tomllib.load(stream).get("plims")
    except OSError as exc:
        raise ValueError(f"cannot read {path}: {exc.strerror}") from None
    except tomllib.TOMLDecodeError as exc:
        raise ValueError(f"{path}: {exc}") from None
    if not isinstance(table, dict) or not all(isinstance(url, str) for url in table.values()):
        raise ValueError(f'{path}: expected a [plims] table of NAME = "URL"')
    return {check_name(name): url for name, url in table.items()}


def plims_of(args: argparse.Namespace) -> dict[str, str]:
    plims = read_fleet(args.fleet) if args.fleet else {}
    for text in args.plims:
        name, url = parse_plim(text)
        if name in plims:
            raise ValueError(f"plim name {name!r} given twice")
        plims[name] = url
    return plims


def run(args: argparse.Namespace) -> int:
    from ..bridge import check_plims, run_bridge

    try:
        plims = plims_of(args)
        check_plims(plims)
        settings = bus_settings(args)
        if args.record is not None and not os.path.isdir(args.record):
            raise ValueError(f"--record {args.record}: not a directory")
        require_zenoh()
    except (ValueError, MissingExtra) as exc:
        raise BadInput(str(exc)) from None

    def ready(served: list[Any]) -> None:
        print(f"plim bridge: serving {', '.join(p.name for p in served)}", file=sys.stderr, flush=True)
    try:
        return asyncio.run(run_bridge(plims, settings, ready, args.record))
    except ValueError as exc:
        raise BadInput(str(exc)) from None
    except OSError as exc:
        raise Failed(str(exc) or type(exc).__name__) from None
