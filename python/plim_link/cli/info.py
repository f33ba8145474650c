"""`plim info`: what a recording holds, session by session."""
from __future__ import annotations

import argparse
import json
from typing import Any

from ..recording_info import as_json, as_text, summarize
from .inputs import open_recording


def add_parser(commands: Any) -> None:
    info = commands.add_parser("info", help="sessions, times, messages per kind and damage of a recording",
                               description="Sum up a recording: each session with its start and end (wall clock), "
                               "duration, messages per kind with their rates, packets and bytes each way, bad frames; "
                               "and the damaged bytes skipped.")
    info.add_argument("file")
    info.add_argument("--json", action="store_true", help="as one JSON object")
    info.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    open_recording(args.file)[0].close()  # not a recording: bad input, before any work
    summary = summarize(args.file)
    print(json.dumps(as_json(summary), indent=2) if args.json else as_text(summary))
    return 0
