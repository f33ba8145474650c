"""`plim dump`: each message as one line of JSON (or a CSV table of one kind), from a live plim or a
recording.

Every message is written as `Link` writes its texts; the host's as they went on the wire.
"""
from __future__ import annotations

import argparse
import csv
import queue
import sys
import time
from collections.abc import Callable, Generator, Iterator
from contextlib import closing
from typing import Any

from ..commands import kind_of
from ..csv_table import Table, seconds_text
from ..message_text import message_text
from ..messages import DEVICE_MESSAGE_KINDS, HOST_MESSAGE_KINDS
from ..recording import SENT
from ..replay import ReplayClock
from ..traffic import HostTexts, Message, kind_of_text, messages
from .common import BadInput, as_url, is_file, open_client, seconds, until
from .inputs import open_recording

KINDS = DEVICE_MESSAGE_KINDS + tuple(k for k in HOST_MESSAGE_KINDS if k not in DEVICE_MESSAGE_KINDS)
HOST_ONLY = set(HOST_MESSAGE_KINDS) - set(DEVICE_MESSAGE_KINDS)


def add_parser(commands: Any) -> None:
    dump = commands.add_parser("dump", help="one JSON message per line on stdout, or a CSV table of one kind",
                               description="Print each message as one line of JSON, from a live plim or a "
                               "recording; or, with --format csv, the messages of one kind as a table.")
    dump.add_argument("target", metavar="URL|FILE")
    dump.add_argument("--kind", action="append", choices=KINDS,
                      help="only this kind of message (repeatable; exactly one with --format csv)")
    dump.add_argument("--seconds", type=seconds, help="stop after this long")
    dump.add_argument("--timestamps", action="store_true",
                      help='each line {"time": seconds since the epoch, "direction": "received"|"sent", "message": ...}')
    dump.add_argument("--sent", action="store_true", help="the host's messages too")
    dump.add_argument("--format", choices=("json", "csv"), default="json",
                      help="csv: one row per message of --kind, its time and its fields flattened")
    dump.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    kinds = set(args.kind or ())
    if args.format == "csv" and len(kinds) != 1:
        raise BadInput("--format csv takes exactly one --kind")
    if kinds & HOST_ONLY and not args.sent:
        raise BadInput(f"{', '.join(sorted(kinds & HOST_ONLY))}: the host sends it; add --sent")
    write = _writer(args, kinds)
    url = as_url(args.target)
    args.ctrl_c_ends = not is_file(url)  # a live link is dumped until Ctrl-C
    # Closed however the loop ends, so that a live client stops and closes at once.
    with closing(_recorded(args, url) if is_file(url) else _live(args, url)) as source:
        for message in source:
            if (message.direction == "received" or args.sent) and (not kinds or message.kind in kinds):
                write(message)
    return 0


def _writer(args: argparse.Namespace, kinds: set[str]) -> Callable[[Message], None]:
    if args.format == "csv":
        table = Table(next(iter(kinds)), directions=args.sent)
        rows = csv.writer(sys.stdout, lineterminator="\n")
        rows.writerow(table.header)
        return lambda message: rows.writerows(table.rows(message))
    if args.timestamps:
        return lambda m: print(f'{{"time":{seconds_text(m.wall_ns) or "null"},"direction":"{m.direction}",'
                               f'"message":{m.text}}}', flush=True)
    return lambda message: print(message.text, flush=True)


def _recorded(args: argparse.Namespace, url: str) -> Generator[Message, None, None]:
    reader, speed = open_recording(url)
    done = until(args.seconds)
    clock = ReplayClock(speed)
    with reader:
        for message in messages(reader):
            wait = (clock.due_ns(message.session, message.mono_ns, time.monotonic_ns()) - time.monotonic_ns()) / 1e9
            if wait > 0:
                time.sleep(wait)
            if done():
                return
            yield message


class _SentTexts:
    """A client's sink that keeps the texts of what it sends, for the reading loop to print."""

    def __init__(self) -> None:
        self.host = HostTexts()
        self.texts: queue.SimpleQueue[Message] = queue.SimpleQueue()

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None:
        if direction == SENT:
            for text in self.host.feed(payload):
                self.texts.put(Message("sent", kind_of_text(text), text, wall_ns, mono_ns, 0))

    def message(self, direction: bytes, message: object, wall_ns: int) -> None:
        pass

    def close(self) -> None:
        pass

    def take(self) -> Iterator[Message]:
        while not self.texts.empty():
            yield self.texts.get()


def _live(args: argparse.Namespace, url: str) -> Generator[Message, None, None]:
    done = until(args.seconds)
    sent = _SentTexts()
    with open_client(url, record=sent if args.sent else None) as client:
        while not done():
            timed = client.recv_timed(0.1)
            yield from sent.take()
            if timed is None:
                if client.ended:
                    break
                continue
            mono = time.monotonic_ns()
            yield Message("received", kind_of(timed.message), message_text(timed.message), round(timed.time * 1e9),
                          mono, 0)
    yield from sent.take()  # the stop, if this side set the wheels turning
