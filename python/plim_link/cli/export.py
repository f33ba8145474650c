"""`plim export`: a recording as an MCAP file."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..mcap_export import export
from .common import BadInput
from .inputs import need, open_recording


def add_parser(commands: Any) -> None:
    command = commands.add_parser("export", help="a recording as an MCAP file (pip install 'plim_ffi[mcap]')",
                                  description="Write every message of a recording to an MCAP file: one JSON channel "
                                  "per kind and direction (/plim/DriveBaseState, /plim/host/SetDriveBaseVelocity, ...) "
                                  "with its JSON Schema, each sweep also as points (/plim/Scan/points), log times by "
                                  "the wall clock.")
    command.add_argument("file")
    command.add_argument("out", metavar="OUT.mcap")
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    open_recording(args.file)[0].close()  # not a recording: bad input, before any work
    if os.path.exists(args.out) and os.path.samefile(args.out, args.file):
        raise BadInput(f"{args.out} is the recording itself; export to another file")
    need("mcap.writer", "exporting to MCAP")
    done = export(args.file, args.out)
    print(f"wrote {done.messages} messages to {args.out}", file=sys.stderr)
    return 0
