"""`plim view`: a live Foxglove view of a plim or of a recording."""
from __future__ import annotations

import argparse
import time
from typing import Any

from ..foxglove_view import WAIT_STEP_S, Viewer, ViewSink, replay
from .common import BadInput, Failed, as_url, is_file, number, open_client, positive, seconds, until
from .inputs import need, open_recording

SETTLE_S = 0.5  # a viewer subscribes panel by panel: the replay waits for the rest after the first


def add_parser(commands: Any) -> None:
    command = commands.add_parser("view", help="a live Foxglove view (pip install 'plim_ffi[foxglove]')",
                                  description="Serve the channels of an export (plim export) to Foxglove over a "
                                  "WebSocket: live from a plim, or from a recording at its recorded pace, which starts "
                                  "once a viewer subscribes. Runs until Ctrl-C or --seconds.")
    command.add_argument("target", metavar="URL|FILE")
    command.add_argument("--host", default="127.0.0.1", help="address to serve on (default 127.0.0.1)")
    command.add_argument("--port", type=number(int, low=0, high=65535, what="a port from 0 to 65535"), default=8765,
                         help="port to serve on (default 8765; 0: any free one)")
    command.add_argument("--speed", type=positive, help="replay a recording this many times as fast (default 1)")
    command.add_argument("--seconds", type=seconds, help="stop after this long")
    command.set_defaults(run=run, ctrl_c_ends=True)


def run(args: argparse.Namespace) -> int:
    url = as_url(args.target)
    recording = open_recording(url) if is_file(url) else None
    try:
        need("foxglove", "the live view")
    except BadInput:
        if recording is not None:
            recording[0].close()
        raise
    done = until(args.seconds)
    try:
        viewer = Viewer(args.host, args.port)
    except Exception as exc:  # the address is taken or not this machine's
        if recording is not None:
            recording[0].close()
        raise Failed(f"cannot serve on {args.host}:{args.port}: {exc}") from None
    print(f"serving the plim to Foxglove at {viewer.address} (open a connection to it: Foxglove WebSocket)",
          flush=True)
    try:
        if recording is None:
            with open_client(url, record=ViewSink(viewer)) as client:
                while not done() and not client.ended:
                    client.recv(WAIT_STEP_S)
            return 0
        reader, speed = recording
        with reader:
            print("the replay starts once a viewer subscribes to a channel", flush=True)
            while not viewer.subscribed.wait(WAIT_STEP_S):
                if done():
                    return 0
            time.sleep(SETTLE_S)
            count = replay(reader, viewer, args.speed or speed or 1.0, done)
        print(f"replayed {count} messages; serving until Ctrl-C", flush=True)
        while not done():
            time.sleep(WAIT_STEP_S)
        return 0
    finally:
        viewer.close()
