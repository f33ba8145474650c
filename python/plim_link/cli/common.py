"""What every `plim` command shares: argument types, exit statuses, and how a client is opened."""
from __future__ import annotations

import argparse
import math
import os
import time
from collections.abc import Callable
from typing import Any, NoReturn

from ..link import PlimClient

DONE, FAILED, BAD_INPUT, INTERRUPTED, TERMINATED = 0, 1, 2, 130, 143
EXIT_STATUSES = """exit status:
  0    done (Ctrl-C is the normal end of sim, monitor, record, dump of a live link, and ping with replies)
  1    the work failed: a host that does not resolve, a serial device that is not there, no answer
       from the plim in time, nothing recorded, the link went down while driving
  2    bad arguments, a malformed URL, or an input file that is not what it must be
  130  Ctrl-C where it interrupts the work
  143  SIGTERM"""


class Failed(Exception):
    """The work could not be done (exit 1); the text says why."""


class BadInput(Exception):
    """Arguments or an input file that are not what they must be (exit 2)."""


class Terminated(BaseException):
    """SIGTERM: unwinds like Ctrl-C, so that every client closes and stops the wheels."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, so scripts and people see the cause without the usage text.
        self.exit(BAD_INPUT, f"{self.prog}: error: {message}\n")


def number(kind: Callable[[str], Any], *, low: float = -math.inf, high: float = math.inf, above: bool = False,
               what: str = "a number") -> Callable[[str], Any]:
    """An argument type: `kind` of the text, finite, at least `low` (or above it) and at most `high`."""
    def read(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be {what}: {text!r}") from None
        if not (math.isfinite(value) and (value > low if above else value >= low) and value <= high):
            raise argparse.ArgumentTypeError(f"must be {what}: {text!r}")
        return value
    read.__name__ = kind.__name__
    return read


positive = number(float, low=0, above=True, what="a positive number")
positive_int = number(int, low=0, above=True, what="a positive whole number")
finite = number(float, what="a finite number")
# Waiting longer than this is waiting for ever; the clock primitives refuse more.
seconds = number(float, low=0, above=True, high=1e9, what="a positive number of seconds, at most 1e9")


def until(limit: float | None) -> Callable[[], bool]:
    end = math.inf if limit is None else time.monotonic() + limit
    return lambda: time.monotonic() >= end


def as_url(target: str) -> str:
    """A URL as given, or the path of a recording as a file:// URL."""
    return target if "://" in target else "file://" + os.path.abspath(target)


def is_file(url: str) -> bool:
    return url.startswith("file://")


def open_client(url: str, **settings: Any) -> PlimClient:
    """A client for `url`; what cannot be opened is a one-line error with the right exit status."""
    try:
        return PlimClient(url, **settings)
    except ValueError as exc:
        raise BadInput(str(exc)) from None
    except OSError as exc:
        # A recording that cannot be read is bad input; a plim that cannot be reached is failed work.
        raise (BadInput if is_file(url) else Failed)(_oserror_text(exc)) from None


def _oserror_text(exc: OSError) -> str:
    text = str(exc)
    return text if text else type(exc).__name__
