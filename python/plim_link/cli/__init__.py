"""The `plim` command: look at, drive and record a plim without writing code."""
from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
from collections.abc import Sequence
from types import FrameType

from .. import __version__
from . import bridge, drive, dump, export, fleet, info, monitor, ping, plot, record, sim, view
from .common import (BAD_INPUT, EXIT_STATUSES, FAILED, INTERRUPTED, TERMINATED, BadInput, Failed, Parser,
                     Terminated)

# Each command module gives `add_parser(subcommands)`, which sets `run(args) -> exit status`.
COMMANDS = [sim, monitor, dump, ping, drive, record, info, export, view, plot, bridge, fleet]


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="plim", description="Look at, drive and record a plim. URLs: udp://HOST:PORT, "
                    "udp-listen://ADDR:PORT, serial:///dev/ttyUSB0?baud=115200, sim://, file:///path/run.plimlog "
                    "(or just the path of a recording).", epilog=EXIT_STATUSES,
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"plim {__version__}")
    parser.add_argument("-v", "--verbose", action="count", default=0,
                        help="say what the link does: -v warnings (link down, bad frames), -vv everything")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=Parser)
    for command in COMMANDS:
        command.add_parser(commands)
    for sub in commands.choices.values():
        sub.epilog = EXIT_STATUSES
        sub.formatter_class = argparse.RawDescriptionHelpFormatter
    return parser


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    logging.basicConfig(format="%(message)s", stream=sys.stderr,
                        level=(logging.ERROR, logging.WARNING, logging.INFO)[min(args.verbose, 2)])
    logging.getLogger("plim_link.recording").setLevel(logging.WARNING)  # damage in a file is always worth a line
    # A kill ends as cleanly as Ctrl-C: wheels stopped, files closed.
    signal.signal(signal.SIGTERM, _terminate)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        return 0 if getattr(args, "ctrl_c_ends", False) else INTERRUPTED
    except Terminated:
        return TERMINATED
    except BrokenPipeError:
        # The reader of our output went away (`| head`); that ends the command, quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except BadInput as exc:
        return _error(args, exc, BAD_INPUT)
    except Failed as exc:
        return _error(args, exc, FAILED)
    except Exception as exc:  # never a traceback: one line says what went wrong
        return _error(args, exc, FAILED)


def _error(args: argparse.Namespace, exc: BaseException, status: int) -> int:
    text = " ".join(str(exc).split()) or type(exc).__name__
    print(f"plim {args.command}: error: {text}", file=sys.stderr)
    return status
