"""The consumer and controller side of a fleet on the Zenoh bus, from any machine that can reach it.

    with Fleet(connect="tcp/10.0.0.5:7447") as fleet:
        print(fleet.names())
        with fleet.subscribe("*", ["Scan"]) as scans:
            for name, time, message in scans:
                ...
        fleet.send("a1", {"SetDriveBaseVelocity": [1.0, 1.0]})

A command goes through the same checks as the client's, here, before it is put on the bus; the
first command to a plim declares this session a controller of it, so that the plim's bridge stops
the wheels if this session goes away (the process dies, its machine leaves the network).
"""
from __future__ import annotations

import json
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple

import plim_ffi

from . import zenoh_keys as keys
from .commands import check_kinds, kind_of, refuse_unsafe_velocity, set_drive_base_velocity, wheel_velocities
from .inbox import Inbox, Timed
from .waiting import Deadline, check_timeout
from .zenoh_config import BusSettings, open_session, require_zenoh

if TYPE_CHECKING:
    from .messages import DeviceMessage, HostMessage

QUERY_TIMEOUT_S = 2.0


class FleetMessage(NamedTuple):
    """A message from a plim of the fleet, with the time its bridge received it (seconds since the epoch)."""

    name: str
    time: float
    message: DeviceMessage


class FleetText(NamedTuple):
    """The same, the time in nanoseconds and the message as the JSON text its bridge published (as Link writes it)."""

    name: str
    time_ns: int
    text: str


def _endpoints(value: str | Sequence[str]) -> tuple[str, ...]:
    return (value,) if isinstance(value, str) else tuple(value)


def checked_command(message: HostMessage | Any) -> str:
    """The JSON text of a command the client would send as it is; refused ones raise as in the client."""
    link = plim_ffi.ObjectLink()
    link.send(message)
    packets = []
    while (packet := link.poll_transmit()) is not None:
        packets.append(packet)
    if kind_of(message) == "SetDriveBaseVelocity":
        velocities = wheel_velocities(packets)
        if velocities is not None:
            refuse_unsafe_velocity(message, velocities)
    return json.dumps(message, separators=(",", ":"), allow_nan=False)


class FleetSubscription:
    """Every message of its plims and kinds from now on, in its own bounded queue (oldest dropped first)."""

    def __init__(self, session: Any, key_exprs: list[str], maxlen: int) -> None:
        if isinstance(maxlen, bool) or not isinstance(maxlen, int) or maxlen < 1:
            raise ValueError(f"maxlen must be a positive int, got {maxlen!r}")
        self._inbox = Inbox(None, maxlen)
        self._ready = threading.Condition()
        self.on_change: Callable[[], None] = lambda: None  # called on zenoh's thread: something to take, or closed
        self._subscribers = [session.declare_subscriber(key, self._arrived) for key in key_exprs]

    def _arrived(self, sample: Any) -> None:
        key = str(sample.key_expr)
        attachment = sample.attachment
        wall_ns = keys.decode_time(None if attachment is None else attachment.to_bytes())
        # Something else put on a message key without the bridge's time: when it got here, then.
        item = FleetText(keys.name_of(key), time.time_ns() if wall_ns is None else wall_ns, sample.payload.to_string())
        with self._ready:
            if self._inbox.closed:
                return
            self._inbox.put(item)  # type: ignore[arg-type]
            self._ready.notify_all()
        self.on_change()

    def recv_text(self, timeout: float | None = None) -> FleetText | None:
        """The next message as its text; None after `timeout` seconds, or once the subscription is closed."""
        deadline = Deadline(check_timeout(timeout))
        with self._ready:
            while not self._inbox.ready() and not self._inbox.closed:
                remaining = deadline.remaining()
                if remaining == 0:
                    return None
                self._ready.wait(remaining)
            item = self._inbox.take()
            return item  # type: ignore[return-value]  # this inbox holds only FleetTexts

    def recv(self, timeout: float | None = None) -> FleetMessage | None:
        """The next message as (name, time, message); None after `timeout` seconds, or once closed."""
        item = self.recv_text(timeout)
        return None if item is None else self.parse(item)

    @staticmethod
    def parse(item: FleetText) -> FleetMessage:
        """A message's text read into Python values, its time in seconds since the epoch."""
        return FleetMessage(item.name, item.time_ns / 1e9, json.loads(item.text))

    def __iter__(self) -> Iterator[FleetMessage]:
        while (item := self.recv()) is not None:
            yield item

    @property
    def dropped(self) -> int:
        """Messages lost to this subscription's full queue, oldest first."""
        return self._inbox.dropped

    @property
    def closed(self) -> bool:
        """Whether the subscription (or its fleet) has been closed."""
        return self._inbox.closed

    def close(self) -> None:
        """Ends the subscription: it gets nothing more, and its iteration ends."""
        with self._ready:
            if self._inbox.closed:
                return
            self._inbox.closed = True
            self._ready.notify_all()
        for subscriber in self._subscribers:
            subscriber.undeclare()
        self.on_change()

    def __enter__(self) -> FleetSubscription:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


class Fleet:
    """A session on the bus: the plims served now, their messages, their latest values, and commands."""

    def __init__(self, connect: str | Sequence[str] = (), listen: str | Sequence[str] = (), config: str | None = None,
                 *, tls_ca: str | None = None, tls_cert: str | None = None, tls_key: str | None = None) -> None:
        settings = BusSettings(_endpoints(connect), _endpoints(listen), config, tls_ca, tls_cert, tls_key)
        self._zenoh = require_zenoh()
        self._session = open_session(settings)
        self._id = str(self._session.zid())
        self._lock = threading.Lock()
        self._tokens: dict[str, Any] = {}
        self._subscriptions: list[FleetSubscription] = []
        self._closed = False

    # -- looking ---------------------------------------------------------------------

    def names(self, timeout: float = QUERY_TIMEOUT_S) -> list[str]:
        """The plims some bridge serves now, from the bridges' liveliness tokens."""
        replies = self._session.liveliness().get(keys.bridge(keys.ANY), timeout=check_timeout(timeout))
        return sorted({keys.name_of(str(r.ok.key_expr)) for r in replies if r.ok is not None})

    def subscribe(self, name: str = keys.ANY, kinds: str | Sequence[str] | None = None, *,
                  maxlen: int = 10000) -> FleetSubscription:
        """Messages of plim `name` (every plim: "*") and of `kinds` (all: None), as (name, time, message)."""
        keys.check_pattern(name)
        wanted = [keys.ANY] if kinds is None else list(check_kinds(tuple(kinds) if not isinstance(kinds, str)
                                                                     else kinds))
        self._check_open()
        subscription = FleetSubscription(self._session, [keys.msg(name, kind) for kind in wanted], maxlen)
        with self._lock:
            self._subscriptions.append(subscription)
        return subscription

    def latest_timed(self, name: str, kind: str, timeout: float = QUERY_TIMEOUT_S) -> Timed | None:
        """The newest message of `kind` from plim `name`, with when its bridge received it; None if none."""
        keys.check_name(name)
        check_kinds(kind)
        for reply in self._get(keys.latest(name, kind), timeout):
            sample = reply.ok
            if sample is not None:
                attachment = sample.attachment
                wall_ns = keys.decode_time(None if attachment is None else attachment.to_bytes())
                return Timed(0.0 if wall_ns is None else wall_ns / 1e9, json.loads(sample.payload.to_string()))
        return None

    def latest(self, name: str, kind: str, timeout: float = QUERY_TIMEOUT_S) -> DeviceMessage | None:
        """The newest message of `kind` from plim `name`, as its bridge holds it; None if none."""
        timed = self.latest_timed(name, kind, timeout)
        return None if timed is None else timed.message

    def info(self, name: str, timeout: float = QUERY_TIMEOUT_S) -> dict[str, Any] | None:
        """What plim `name`'s bridge knows of it: URL, link state and the client's stats; None if no bridge answers."""
        return self.infos(keys.check_name(name), timeout).get(name)

    def infos(self, name: str = keys.ANY, timeout: float = QUERY_TIMEOUT_S) -> dict[str, dict[str, Any]]:
        """The same for every plim whose bridge answers (or only `name`), by name."""
        keys.check_pattern(name)
        return {keys.name_of(str(reply.ok.key_expr)): json.loads(reply.ok.payload.to_string())
                for reply in self._get(keys.info(name), timeout) if reply.ok is not None}

    def link_state(self, name: str, timeout: float = QUERY_TIMEOUT_S) -> str | None:
        """"connecting", "up", "down" or "ended"; None if no bridge serves plim `name`."""
        info = self.info(name, timeout)
        return None if info is None else str(info["link_state"])

    def _get(self, key: str, timeout: float) -> Any:
        self._check_open()
        return self._session.get(key, timeout=check_timeout(timeout))

    # -- commanding ------------------------------------------------------------------

    def send(self, name: str, message: HostMessage) -> None:
        """Puts a command for plim `name` on the bus; a refused one raises and nothing is put."""
        keys.check_name(name)
        text = checked_command(message)
        zenoh = self._zenoh
        with self._lock:
            self._check_open()
            if name not in self._tokens:
                self._tokens[name] = self._session.liveliness().declare_token(keys.controller(name, self._id))
        # The attachment names the controller, so that the bridge can tell a command that comes
        # after its controller has gone.
        self._session.put(keys.cmd(name), text, encoding=zenoh.Encoding.APPLICATION_JSON, attachment=self._id,
                          congestion_control=zenoh.CongestionControl.BLOCK, priority=zenoh.Priority.INTERACTIVE_HIGH,
                          express=True)

    def set_drive_base_velocity(self, name: str, left_rad_per_s: float, right_rad_per_s: float) -> None:
        """Wheel velocities in rad/s for plim `name`, with the client's checks."""
        self.send(name, set_drive_base_velocity(left_rad_per_s, right_rad_per_s))

    # -- upkeep ----------------------------------------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the fleet session is closed")

    @property
    def closed(self) -> bool:
        """Whether `close()` has been called."""
        return self._closed

    def close(self) -> None:
        """Leaves the bus; a plim this session drove last is stopped by its bridge when the token goes."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            subscriptions, self._subscriptions = self._subscriptions, []
            tokens, self._tokens = self._tokens, {}
        for subscription in subscriptions:
            subscription.close()
        for token in tokens.values():
            token.undeclare()
        self._session.close()

    def __enter__(self) -> Fleet:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
