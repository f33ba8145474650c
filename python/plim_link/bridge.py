"""One process that puts plims on the Zenoh bus: each through the asyncio client, all on one loop.

Zenoh calls back on its own threads; every callback that touches a client hops onto the loop, so
a client is only ever used from the loop. Telemetry goes the other way without a hop: the
client's sink publishes each message the moment its last packet is read.
"""
from __future__ import annotations

import asyncio
import json
import logging
import os
import signal
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field, fields
from typing import Any

from . import aio, zenoh_keys as keys
from .commands import STOP
from .jsontext import TextDecoder
from .recording import RECEIVED
from .urls import parse_url
from .zenoh_config import BusSettings, open_session, require_zenoh

log = logging.getLogger("plim_link")
PUBLISHED_STATES = ("up", "down", "ended")
GONE_KEPT = 1024  # controllers remembered as gone, whose late commands are not sent


class TextPublisher:
    """One of the client's sinks: every message the plim sends, as Link writes it, published with its
    arrival time."""

    def __init__(self, session: Any, name: str) -> None:
        self._zenoh = require_zenoh()
        self._session = session
        self._name = name
        self._decoder = TextDecoder()
        self._publishers: dict[str, Any] = {}
        self.latest: dict[str, tuple[str, int]] = {}  # kind -> (text, wall_ns); read by the queryable's thread

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None:
        if direction != RECEIVED:
            return
        for text in self._decoder.feed(payload):
            kind = keys.kind_of_text(text)
            publisher = self._publishers.get(kind)
            if publisher is None:
                publisher = self._publishers[kind] = self._session.declare_publisher(
                    keys.msg(self._name, kind), encoding=self._zenoh.Encoding.APPLICATION_JSON)
            self.latest[kind] = (text, wall_ns)
            # Bytes: zenoh takes a str several times slower than the same bytes.
            publisher.put(text.encode(), attachment=keys.encode_time(wall_ns))

    def message(self, direction: bytes, message: Any, wall_ns: int) -> None:
        pass

    def close(self) -> None:
        publishers, self._publishers = self._publishers, {}
        for publisher in publishers.values():
            publisher.undeclare()


def stats_json(stats: Any) -> dict[str, Any]:
    return {f.name: getattr(stats, f.name) for f in fields(stats)}


@dataclass
class ServedPlim:
    """One plim on the bus: its client, its keys, and what the safety rule needs to know."""

    name: str
    client: aio.AsyncPlimClient
    sink: TextPublisher
    session: Any
    loop: asyncio.AbstractEventLoop
    controllers: set[str]  # the ids of the controllers whose tokens are alive
    entities: list[Any]
    token: Any = None
    task: asyncio.Task[None] | None = None
    pending: set[asyncio.Task[None]] = field(default_factory=set)
    gone: deque[str] = field(default_factory=lambda: deque(maxlen=GONE_KEPT))

    # -- from zenoh's threads ----------------------------------------------------------

    def _soon(self, step: Callable[..., Any], *args: Any) -> None:
        def run() -> None:
            result = step(*args)
            if asyncio.iscoroutine(result):
                # Tasks start in the order they are made, so commands reach the plim in the order they came.
                task = self.loop.create_task(result)
                self.pending.add(task)
                task.add_done_callback(self.pending.discard)
        try:
            self.loop.call_soon_threadsafe(run)
        except RuntimeError:
            pass  # the loop is closed: the bridge is ending

    def on_command(self, sample: Any) -> None:
        attachment = sample.attachment
        sender = None if attachment is None else attachment.to_bytes().decode(errors="replace")
        self._soon(self.command, sample.payload.to_bytes(), sender)

    def on_controller(self, sample: Any) -> None:
        self._soon(self.controller, keys.controller_id(str(sample.key_expr)),
                   sample.kind == require_zenoh().SampleKind.DELETE)

    def on_latest(self, query: Any) -> None:
        zenoh = require_zenoh()
        asked = query.key_expr
        for kind, (text, wall_ns) in list(self.sink.latest.items()):
            key = keys.latest(self.name, kind)
            if asked.intersects(key):
                query.reply(key, text, encoding=zenoh.Encoding.APPLICATION_JSON, attachment=keys.encode_time(wall_ns))
        query.drop()

    def on_info(self, query: Any) -> None:
        self._soon(self.info, query)

    # -- on the loop -------------------------------------------------------------------

    async def command(self, payload: bytes, sender: str | None = None) -> None:
        """Sends a command put on cmd; `sender` is the id of the controller that put it, if it says.

        A command can reach the loop after its controller's token has gone (the bus gives
        declarations precedence over data): it is void then, or a dead controller could set the
        wheels turning again after the stop.
        """
        if sender is not None:
            if sender in self.gone:
                return self.refuse("the controller that sent it has gone; not sent")
            self.controllers.add(sender)  # its token may still be on its way
        try:
            message = json.loads(payload)
        except ValueError as exc:
            return self.refuse(f"bad JSON: {exc}")
        except RecursionError:
            return self.refuse("bad JSON: nested too deeply")
        try:
            await self.client.send(message)
        except Exception as exc:  # a refusal, or a line that takes nothing: either way nothing was sent
            return self.refuse(str(exc) or type(exc).__name__)

    def refuse(self, text: str) -> None:
        log.warning("plim_link: %s: command refused: %s", self.name, text)
        self.session.put(keys.error(self.name), text)

    async def controller(self, ident: str, gone: bool) -> None:
        if not gone:
            # Back after a break in the network: its new commands count again.
            if ident in self.gone:
                self.gone.remove(ident)
            self.controllers.add(ident)
            return
        self.controllers.discard(ident)
        self.gone.append(ident)
        # The core knows whether the last wheel command it sent asked for motion, whatever its form.
        if not self.controllers and self.client._core.moving and not self.client.closed:
            log.warning("plim_link: %s: its last controller is gone while it drives: stopping it", self.name)
            try:
                await self.client.send(STOP)
            except Exception as exc:
                log.error("plim_link: %s: the stop did not reach the plim: %s", self.name, exc)

    def info(self, query: Any) -> None:
        try:
            stats = stats_json(self.client.stats)
            text = json.dumps({"name": self.name, "url": self.client.url, "link_state": self.client.link_state,
                               "stats": stats}, separators=(",", ":"))
            query.reply(keys.info(self.name), text, encoding=require_zenoh().Encoding.APPLICATION_JSON)
        finally:
            query.drop()

    async def follow_link(self) -> None:
        async for state in self.client.link_states():
            if state in PUBLISHED_STATES:
                self.session.put(keys.link(self.name), state)
            if state == "ended":
                self.withdraw()

    def withdraw(self) -> None:
        """Off the bus: no token, no commands taken, no queries answered."""
        if self.token is not None:
            self.token.undeclare()
            self.token = None
        entities, self.entities = self.entities, []
        for entity in entities:
            entity.undeclare()


async def serve_plim(session: Any, name: str, url: str, record_dir: str | None = None) -> ServedPlim:
    loop = asyncio.get_running_loop()
    sink = TextPublisher(session, name)
    # Recorded here, beside the client: a second program speaking to the plim would take its reports away.
    # A recording that fails stops alone; the publishing goes on.
    record: list[Any] = [sink] if record_dir is None else [sink, os.path.join(record_dir, f"{name}.plimlog")]
    # The bridge handles the signals itself, and closes every client on its way out.
    client = await aio.connect(url, record=record, handle_signals=False)
    plim = ServedPlim(name, client, sink, session, loop, set(), [])
    plim.entities = [
        session.declare_subscriber(keys.cmd(name), plim.on_command),
        session.liveliness().declare_subscriber(keys.controllers(name), plim.on_controller, history=True),
        session.declare_queryable(keys.latest(name), plim.on_latest),
        session.declare_queryable(keys.info(name), plim.on_info),
    ]
    plim.token = session.liveliness().declare_token(keys.bridge(name))
    plim.task = loop.create_task(plim.follow_link())
    return plim


def check_plims(plims: dict[str, str]) -> None:
    """Every name a single key chunk and every URL one the client opens; ValueError before anything opens."""
    if not plims:
        raise ValueError("no plim to serve: give NAME=URL or --fleet FILE")
    for name, url in plims.items():
        keys.check_name(name)
        parse_url(url)


async def run_bridge(plims: dict[str, str], settings: BusSettings,
                     ready: Callable[[list[ServedPlim]], None] | None = None, record_dir: str | None = None) -> int:
    """Serves `plims` until SIGINT or SIGTERM (status 130 or 143) or until every link has ended (0).

    On the way out every client closes, so every plim whose last command asked for motion gets
    SetDriveBaseVelocity zero before the bridge leaves the bus.
    """
    check_plims(plims)
    loop = asyncio.get_running_loop()
    stopped = asyncio.Event()
    status = 0

    def on_signal(signum: int) -> None:
        nonlocal status
        status = 128 + signum
        stopped.set()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, on_signal, signum)
    try:
        session = await loop.run_in_executor(None, open_session, settings)
        try:
            await _serve(session, plims, stopped, ready, record_dir)
        finally:
            session.close()
    finally:
        for signum in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(signum)
    return status


async def _serve(session: Any, plims: dict[str, str], stopped: asyncio.Event,
                 ready: Callable[[list[ServedPlim]], None] | None, record_dir: str | None) -> None:
    served: list[ServedPlim] = []
    try:
        for name, url in plims.items():
            served.append(await serve_plim(session, name, url, record_dir))
        if ready is not None:
            ready(served)
        links = [p.task for p in served if p.task is not None]
        signalled = asyncio.get_running_loop().create_task(stopped.wait())
        either: list[asyncio.Future[Any]] = [signalled, asyncio.gather(*links)]
        await asyncio.wait(either, return_when=asyncio.FIRST_COMPLETED)
        signalled.cancel()
    finally:
        await asyncio.gather(*(p.client.close() for p in served), return_exceptions=True)
        # Each link's last state, "ended", still goes out before the bridge leaves the bus.
        following = [p.task for p in served if p.task is not None and not p.task.done()]
        if following:
            await asyncio.wait(following, timeout=1.0)
        for plim in served:
            plim.withdraw()
            if plim.task is not None:
                plim.task.cancel()
