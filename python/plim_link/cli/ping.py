"""`plim ping`: round-trip times and loss, summed up as ping(8) does, on Ctrl-C too."""
from __future__ import annotations

import argparse
import statistics
import time
from typing import Any

from .common import DONE, FAILED, open_client, positive_int, seconds


def add_parser(commands: Any) -> None:
    ping = commands.add_parser("ping", help="round-trip times and loss",
                               description="Send Pings and time each Pong; Ctrl-C ends early with the summary.")
    ping.add_argument("url")
    ping.add_argument("-c", "--count", type=positive_int, default=4, help="pings to send (default 4)")
    ping.add_argument("--interval", type=seconds, default=0.2, help="seconds between pings (default 0.2)")
    ping.add_argument("--timeout", type=seconds, default=1.0, help="seconds to wait for each Pong (default 1)")
    ping.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    rtts: list[float] = []
    sent = 0
    # A heartbeat's Pong must not be taken for ours, so the client sends none.
    with open_client(args.url, heartbeat_s=None) as client:
        try:
            for i in range(args.count):
                if i:
                    time.sleep(args.interval)
                sent += 1
                try:
                    rtt = client.ping(timeout=args.timeout)
                except TimeoutError:
                    print(f"no reply {i + 1}", flush=True)
                    continue
                rtts.append(rtt)
                print(f"reply {i + 1}: time={rtt * 1000:.3f} ms", flush=True)
        except KeyboardInterrupt:
            print()
            summary(args.url, sent, rtts)
            if rtts:
                return DONE
            raise
        summary(args.url, sent, rtts)
    return DONE if rtts else FAILED


def summary(url: str, sent: int, rtts: list[float]) -> None:
    print(f"--- {url} ping statistics ---")
    loss = 100.0 * (sent - len(rtts)) / sent if sent else 0.0
    print(f"{sent} sent, {len(rtts)} received, {loss:.0f}% loss", flush=True)
    if rtts:
        low, mean, high = (v * 1000 for v in (min(rtts), statistics.fmean(rtts), max(rtts)))
        print(f"rtt min/avg/max = {low:.3f}/{mean:.3f}/{high:.3f} ms", flush=True)
