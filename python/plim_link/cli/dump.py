"""`plim dump`: one JSON message per line, from a live plim or a recording."""
from __future__ import annotations

import argparse
import json
from typing import Any

from ..commands import kind_of
from ..messages import DEVICE_MESSAGE_KINDS
from .common import as_url, is_file, open_client, seconds, until


def add_parser(commands: Any) -> None:
    dump = commands.add_parser("dump", help="one JSON message per line on stdout",
                               description="Print each message as one line of JSON, from a live plim or a recording.")
    dump.add_argument("target", metavar="URL|FILE")
    dump.add_argument("--kind", action="append", choices=DEVICE_MESSAGE_KINDS,
                      help="only this kind of message (repeatable)")
    dump.add_argument("--seconds", type=seconds, help="stop after this long")
    dump.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    done = until(args.seconds)
    kinds = tuple(args.kind or ())
    url = as_url(args.target)
    args.ctrl_c_ends = not is_file(url)  # a live link is dumped until Ctrl-C
    with open_client(url) as client:
        while not done():
            message = client.recv(0.1)
            if message is None:
                if client.ended:
                    break
                continue
            if not kinds or kind_of(message) in kinds:
                print(json.dumps(message, separators=(",", ":")), flush=True)
    return 0
