"""`plim monitor`: a refreshing view of rates, latest values and the last sweep, live or from a recording."""
from __future__ import annotations

import argparse
import sys
import time
from collections import Counter
from typing import Any

from ..monitor import render
from .common import as_url, is_file, open_client, positive, seconds, until


def add_parser(commands: Any) -> None:
    monitor = commands.add_parser("monitor", help="refreshing view of rates, latest values and the last sweep",
                                  description="A refreshing view of message rates, the latest values and the last "
                                  "lidar sweep, from a live plim or a recording (replayed at its recorded pace).")
    monitor.add_argument("target", metavar="URL|FILE")
    monitor.add_argument("--interval", type=seconds, default=1.0, help="seconds between refreshes (default 1)")
    monitor.add_argument("--seconds", type=seconds, help="stop after this long (default: Ctrl-C)")
    monitor.add_argument("--speed", type=positive, default=1.0, help="replay speed of a recording (default 1)")
    monitor.set_defaults(run=run, ctrl_c_ends=True)


def status_line(state: str, silent_s: float | None) -> str:
    if state == "up" or silent_s is None:
        return f"link: {state}"
    return f"link: {state}, no message for {silent_s:.0f} s"


def run(args: argparse.Namespace) -> int:
    done = until(args.seconds)
    url = as_url(args.target)
    if is_file(url) and "?" not in url:
        url += f"?speed={args.speed:g}"
    clear = "\x1b[H\x1b[J" if sys.stdout.isatty() else ""
    with open_client(url) as client:
        client.request_network_scan()
        opened = time.monotonic()
        before, since = Counter[str](), opened
        while not done() and not client.ended:
            time.sleep(args.interval)
            stats, now = client.stats, time.monotonic()
            rates = {kind: (count - before[kind]) / (now - since) for kind, count in stats.received_by_kind.items()}
            before, since = Counter(stats.received_by_kind), now
            latest = {kind: message for kind in stats.received_by_kind if (message := client.latest(kind)) is not None}
            last = stats.last_message_time
            silent = now - (opened if last is None else last)
            print(clear + status_line(client.link_state, silent) + "\n" + render(rates, latest, stats.errors),
                  flush=True)
    return 0
