"""A live view for Foxglove: the channels of an MCAP export, served over its WebSocket protocol, from a
plim as its packets cross or from a recording at its recorded pace."""
from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import Any

from .channels import message_channels, publications
from .extras import require
from .recording_reader import RecordingReader
from .replay import ReplayClock
from .traffic import Message, TrafficDecoder, messages, to_message

WAIT_STEP_S = 0.1  # how soon a wait notices that it should stop


class Viewer:
    """A WebSocket server with one channel per topic of the export (`/plim/DriveBaseState`, ...)."""

    def __init__(self, host: str = "127.0.0.1", port: int = 8765) -> None:
        foxglove: Any = require("foxglove", "the live view")
        self.subscribed = threading.Event()  # set once a viewer subscribes to anything
        self._context = foxglove.Context()
        self._channels = {
            channel.topic: foxglove.Channel(channel.topic, message_encoding=channel.message_encoding,
                                            schema=foxglove.Schema(name=channel.schema_name,
                                                                   encoding=channel.schema_encoding,
                                                                   data=channel.schema),
                                            context=self._context)
            for channel in message_channels()}
        subscribed = self.subscribed

        class Listener(foxglove.ServerListener):  # type: ignore[misc]
            def on_subscribe(self, client: Any, channel: Any) -> None:
                subscribed.set()

        self._server = foxglove.start_server(name="plim", host=host, port=port, context=self._context,
                                             server_listener=Listener())
        self.address = f"ws://{f'[{host}]' if ':' in host else host}:{self._server.port}"

    def publish(self, message: Message, time_ns: int) -> None:
        for topic, payload in publications(message, time_ns):
            self._channels[topic].log(payload, log_time=time_ns)

    def close(self) -> None:
        self._server.stop()


class ViewSink:
    """A client's sink that shows its traffic as it crosses: `PlimClient(url, record=ViewSink(viewer))`."""

    def __init__(self, viewer: Viewer) -> None:
        self._viewer = viewer
        self._decoder = TrafficDecoder()
        self._lock = threading.Lock()  # the reader thread and the caller both send

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None:
        with self._lock:
            for text in self._decoder.feed(direction, payload):
                self._viewer.publish(to_message(direction, text, wall_ns, mono_ns), wall_ns)

    def message(self, direction: bytes, message: object, wall_ns: int) -> None:
        pass

    def close(self) -> None:
        pass


def replay(reader: RecordingReader, viewer: Viewer, speed: float | None, stop: Callable[[], bool]) -> int:
    """Publishes every message of a recording at its pace (each session by its own clock, `speed`
    times as fast; None: at once), stamped with its recorded time; returns how many went out."""
    clock = ReplayClock(speed)
    count = 0
    for message in messages(reader):
        due = clock.due_ns(message.session, message.mono_ns, time.monotonic_ns())
        while (wait := (due - time.monotonic_ns()) / 1e9) > 0:
            if stop():
                return count
            time.sleep(min(wait, WAIT_STEP_S))
        if stop():
            return count
        viewer.publish(message, message.mono_ns if message.wall_ns is None else message.wall_ns)
        count += 1
    return count
