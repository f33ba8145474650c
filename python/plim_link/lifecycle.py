"""Every open client, so that the wheels stop however the program ends: at exit, on SIGTERM or SIGHUP.

systemd, docker and `kill` stop a program with SIGTERM, and a closed terminal sends SIGHUP; by
default either ends the process on the spot, with no chance to send the stop. While a client is
open, a signal still at its default action closes every open client and then exits with status
128 + the signal number. A handler the program installed itself is left alone.
"""
from __future__ import annotations

import atexit
import logging
import signal
import threading
import weakref
from types import FrameType
from typing import Any, Protocol

log = logging.getLogger("plim_link")
SIGNALS = (signal.SIGTERM, signal.SIGHUP)


class Closable(Protocol):
    def _close_now(self) -> None:
        """Sends the stop if needed and ends the connection, without waiting on an event loop."""


_open: weakref.WeakSet[Any] = weakref.WeakSet()
_installed: dict[int, Any] = {}  # signal -> the handler it had before ours


def opened(client: Closable, handle_signals: bool) -> None:
    _open.add(client)
    if not handle_signals or threading.current_thread() is not threading.main_thread():
        return
    for signum in SIGNALS:
        if signum not in _installed and signal.getsignal(signum) == signal.SIG_DFL:
            _installed[signum] = signal.signal(signum, _on_signal)


def closed(client: Closable) -> None:
    _open.discard(client)
    if _open or threading.current_thread() is not threading.main_thread():
        return
    for signum, previous in list(_installed.items()):
        if signal.getsignal(signum) is _on_signal:
            signal.signal(signum, previous)
        del _installed[signum]


def close_all() -> None:
    for client in list(_open):
        try:
            client._close_now()
        except Exception:
            log.exception("plim_link: closing a client failed")


def _on_signal(signum: int, frame: FrameType | None) -> None:
    close_all()
    raise SystemExit(128 + signum)


# The wheels must not keep turning after the program that set them going has ended.
atexit.register(close_all)
