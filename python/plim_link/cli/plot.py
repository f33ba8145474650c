"""`plim plot`: a recording as one figure."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from ..plot import plot
from .common import BadInput, number
from .inputs import need, open_recording


def add_parser(commands: Any) -> None:
    command = commands.add_parser("plot", help="a recording as one figure (pip install 'plim_ffi[plot]')",
                                  description="Draw the wheel velocities, positions and efforts and the IMU's "
                                  "acceleration and rotation rates over time, and the last lidar sweep (or the one "
                                  "nearest --at) from above.")
    command.add_argument("file")
    command.add_argument("-o", "--output", required=True, metavar="OUT.png|OUT.svg", help="where to write the figure")
    command.add_argument("--at", type=number(float, low=0, what="a number of seconds, 0 or more"), metavar="SECONDS",
                         help="the sweep nearest this many seconds from the start (default: the last)")
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if os.path.splitext(args.output)[1].lower() not in (".png", ".svg"):
        raise BadInput(f"{args.output}: the figure is written as .png or .svg")
    open_recording(args.file)[0].close()  # not a recording: bad input, before any work
    need("matplotlib", "plotting")
    plot(args.file, args.output, args.at)
    print(f"wrote {args.output}", file=sys.stderr)
    return 0
