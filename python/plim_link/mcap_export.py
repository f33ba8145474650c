"""MCAP files of a plim's traffic: exported from a recording, or written as a client records.

Every message goes on its kind's channel (channels.py) with the wall-clock time it crossed as
its log time; a file exported from a recording and one a client wrote while recording hold the
same channels.
"""
from __future__ import annotations

import logging
import os
import threading
from dataclasses import dataclass
from typing import IO, Any

from .channels import Channel, message_channels, publications
from .extras import require
from .recording import create_beside
from .recording_reader import RecordingReader, Session
from .traffic import Message, TrafficDecoder, messages, to_message

log = logging.getLogger("plim_link.recording")


class McapWriter:
    """One MCAP file; a channel and its schema are registered the first time a message needs them."""

    def __init__(self, stream: IO[bytes], *, chunk_size: int = 1 << 20) -> None:
        writer_module: Any = require("mcap.writer", "exporting to MCAP")
        from . import __version__

        self._writer = writer_module.Writer(stream, chunk_size=chunk_size)
        self._writer.start(profile="", library=f"plim_link {__version__}")
        self._channels: dict[str, Channel] = {channel.topic: channel for channel in message_channels()}
        self._ids: dict[str, int] = {}
        self._sequence: dict[str, int] = {}
        self.messages = 0

    def _channel(self, topic: str) -> int:
        channel = self._channels[topic]
        schema = self._writer.register_schema(channel.schema_name, channel.schema_encoding, channel.schema)
        self._ids[topic] = self._writer.register_channel(topic, channel.message_encoding, schema)
        self._sequence[topic] = 0
        return self._ids[topic]

    def write(self, message: Message, time_ns: int) -> None:
        self.messages += 1
        for topic, payload in publications(message, time_ns):
            channel = self._ids.get(topic)
            if channel is None:
                channel = self._channel(topic)
            sequence = self._sequence[topic] = self._sequence[topic] + 1
            self._writer.add_message(channel, log_time=time_ns, data=payload, publish_time=time_ns, sequence=sequence)

    def session(self, session: Session) -> None:
        about = {"url": session.url, "plim_ffi": session.plim_ffi, "wire": session.wire,
                 "start_wall_ns": None if session.wall_ns is None else str(session.wall_ns)}
        self._writer.add_metadata(f"plim session {session.index}", {k: v for k, v in about.items() if v is not None})

    def finish(self) -> None:
        self._writer.finish()


class McapSink:
    """A client's recording straight to MCAP: `PlimClient(url, record="run.mcap")`.

    MCAP files are not appended to, so an existing file is refused. The file is complete once the
    client closes; a crash can cost the messages of the last chunk.
    """

    def __init__(self, path: str | os.PathLike[str], url: str = "") -> None:
        require("mcap.writer", "recording to MCAP")
        self.path = os.fspath(path)
        try:
            fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            raise FileExistsError(f"{self.path} exists; an MCAP file cannot be appended to, record to a new one") \
                from None
        self._file = os.fdopen(fd, "wb")
        self._lock = threading.Lock()
        self._decoder = TrafficDecoder()
        try:
            self._writer: McapWriter | None = McapWriter(self._file, chunk_size=256 * 1024)
            self._writer.session(Session(0, 0, None, None, url or None))
        except BaseException:
            self._file.close()
            raise

    def packet(self, direction: bytes, payload: bytes, mono_ns: int, wall_ns: int) -> None:
        with self._lock:
            if self._writer is None:
                return
            for text in self._decoder.feed(direction, payload):
                self._writer.write(to_message(direction, text, wall_ns, mono_ns), wall_ns)

    def message(self, direction: bytes, message: object, wall_ns: int) -> None:
        pass  # written from the packets, as an export writes them

    def close(self) -> None:
        with self._lock:
            writer, self._writer = self._writer, None
            try:
                if writer is not None:
                    writer.finish()
            finally:
                self._file.close()


@dataclass
class Exported:
    messages: int
    skipped_bytes: int
    untimed: int  # messages without a wall-clock time, stamped with their monotonic time


def export(source: str | os.PathLike[str], target: str | os.PathLike[str]) -> Exported:
    """Writes every message of the recording `source` to the MCAP file `target`, in order.

    The file appears whole under its name or not at all; an existing one is replaced.
    """
    reader = RecordingReader.open(source)
    with reader:
        target = os.fspath(target)
        if os.path.exists(target) and os.path.samefile(target, reader.name):
            raise ValueError(f"{target} is the recording itself; export to another file")
        fd, temporary = create_beside(target)
        try:
            with os.fdopen(fd, "wb") as stream:
                writer = McapWriter(stream)
                untimed = 0
                for message in messages(reader):
                    if message.wall_ns is None:
                        untimed += 1
                    writer.write(message, message.mono_ns if message.wall_ns is None else message.wall_ns)
                for session in reader.sessions:
                    writer.session(session)
                writer.finish()
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
    if untimed:
        log.warning("plim_link: %d messages of %s carry no wall-clock time (a version-1 recording, or a session "
                    "whose header was damaged): their log time is the recording host's monotonic clock",
                    untimed, reader.name)
    return Exported(writer.messages, reader.skipped_bytes, untimed)
