"""`plim record`: record a run to a file until Ctrl-C or --seconds, then sum it up."""
from __future__ import annotations

import argparse
import os
import time
from typing import Any

from .common import BadInput, Failed, open_client, seconds, until


def add_parser(commands: Any) -> None:
    record = commands.add_parser("record", help="record a run to a file",
                                 description="Record every packet each way to a file until Ctrl-C or --seconds, then "
                                 "print what was recorded.")
    record.add_argument("url")
    record.add_argument("file")
    record.add_argument("--seconds", type=seconds, help="stop after this long (default: Ctrl-C)")
    record.add_argument("--append", action="store_true", help="add a session to an existing recording")
    record.set_defaults(run=run, ctrl_c_ends=True)


def run(args: argparse.Namespace) -> int:
    if os.path.lexists(args.file) and not args.append:
        raise BadInput(f"{args.file} exists; add --append to add a session to it")
    done = until(args.seconds)
    start = time.monotonic()
    with open_client(args.url, record=args.file) as client:
        client.request_network_scan()
        try:
            while not done():
                if client.recv(0.1) is None and client.ended:
                    break
        except KeyboardInterrupt:
            print()
    stats = client.stats
    kinds = ", ".join(f"{count} {kind}" for kind, count in sorted(stats.received_by_kind.items()))
    print(f"recorded {time.monotonic() - start:.1f} s to {args.file}: {kinds or 'no messages'}; "
          f"{stats.packets_received} packets ({stats.bytes_received} bytes) in, "
          f"{stats.packets_sent} packets ({stats.bytes_sent} bytes) out", flush=True)
    if stats.recording_error is not None:
        raise Failed(f"the recording stopped: {stats.recording_error}")
    if not stats.messages_received:
        raise Failed("nothing came from the plim")
    return 0
