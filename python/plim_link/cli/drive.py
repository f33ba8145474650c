"""`plim drive`: hold a wheel velocity for a while once the plim answers, then stop."""
from __future__ import annotations

import argparse
import time
from typing import Any

from .common import Failed, finite, open_client, positive, seconds


def add_parser(commands: Any) -> None:
    drive = commands.add_parser("drive", help="hold a wheel velocity, then stop",
                                description="Wait for the plim to answer, hold a wheel velocity, then stop. If the "
                                "link goes down while driving, stop and exit 1.")
    drive.add_argument("url")
    drive.add_argument("--left", type=finite, required=True, help="left wheel, rad/s")
    drive.add_argument("--right", type=finite, required=True, help="right wheel, rad/s")
    drive.add_argument("--seconds", type=seconds, required=True, help="how long to hold it")
    drive.add_argument("--hz", type=positive, default=10.0, help="commands per second (default 10)")
    drive.add_argument("--timeout", type=seconds, default=2.0, help="seconds to wait for the plim to answer first "
                       "(default 2)")
    drive.add_argument("--link-timeout", type=seconds, default=1.0, help="seconds without a message after which the "
                       "link counts as down (default 1)")
    drive.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    with open_client(args.url, link_timeout_s=args.link_timeout) as client:
        if not client.wait_for_link(args.timeout):
            raise Failed(f"no answer from the plim within {args.timeout:g} s; sent no velocity")
        start = time.monotonic()
        sent = 0
        while (now := time.monotonic()) < start + args.seconds:
            if client.link_state != "up":
                client.set_drive_base_velocity(0.0, 0.0)
                raise Failed(f"the link went down after {now - start:.1f} s of driving; sent the stop")
            client.set_drive_base_velocity(args.left, args.right)
            sent += 1
            time.sleep(min(1.0 / args.hz, start + args.seconds - now))
        client.set_drive_base_velocity(0.0, 0.0)
    print(f"sent {sent} velocity commands over {args.seconds:g} s, then zero")
    return 0
