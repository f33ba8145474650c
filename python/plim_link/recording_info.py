"""What a recording holds: its sessions, their times and traffic each way, and the damage skipped."""
from __future__ import annotations

import os
from collections import Counter
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any

from .recording import RECEIVED, SENT, Record
from .recording_reader import RecordingReader, Session
from .traffic import TrafficDecoder, messages


@dataclass
class Traffic:
    packets: int = 0
    bytes: int = 0
    bad_frames: int = 0
    messages: Counter[str] = field(default_factory=Counter)


@dataclass
class SessionSummary:
    session: Session
    first_mono_ns: int | None = None  # of the header, or of the first packet where the header was lost
    last_mono_ns: int | None = None
    received: Traffic = field(default_factory=Traffic)
    sent: Traffic = field(default_factory=Traffic)

    @property
    def duration_s(self) -> float:
        if self.first_mono_ns is None or self.last_mono_ns is None:
            return 0.0
        return (self.last_mono_ns - self.first_mono_ns) / 1e9

    @property
    def start_ns(self) -> int | None:
        return None if self.first_mono_ns is None else self.session.wall_of(self.first_mono_ns)

    @property
    def end_ns(self) -> int | None:
        return None if self.last_mono_ns is None else self.session.wall_of(self.last_mono_ns)


@dataclass
class Summary:
    path: str
    version: int
    size: int
    sessions: list[SessionSummary]
    skipped_bytes: int
    damaged_stretches: int


def summarize(path: str | os.PathLike[str]) -> Summary:
    """Reads the whole recording at `path` (ValueError or OSError at once if it is not one)."""
    reader = RecordingReader.open(path)
    decoder = TrafficDecoder()
    sessions: dict[int, SessionSummary] = {}

    def summary_of(index: int) -> SessionSummary:
        if index not in sessions:
            session = reader.sessions[index]
            sessions[index] = SessionSummary(session, session.mono_ns)
        return sessions[index]

    def counted(records: Iterable[Record]) -> Iterator[Record]:
        for record in records:
            summary = summary_of(record.session)
            traffic = summary.received if record.direction == RECEIVED else summary.sent
            traffic.packets += 1
            traffic.bytes += len(record.payload)
            if summary.first_mono_ns is None:
                summary.first_mono_ns = record.time_ns
            summary.last_mono_ns = record.time_ns
            yield record

    with reader:
        for message in messages(counted(reader), decoder):
            summary = sessions[message.session]
            (summary.received if message.direction == "received" else summary.sent).messages[message.kind] += 1
    for index in range(len(reader.sessions)):
        summary = summary_of(index)  # a session with a header and no packets is still a session
        summary.received.bad_frames = decoder.refused(RECEIVED, index)
        summary.sent.bad_frames = decoder.refused(SENT, index)
    return Summary(reader.name, reader.version, os.path.getsize(reader.name),
                   [sessions[i] for i in sorted(sessions)], reader.skipped_bytes, reader.damaged_stretches)


def wall_text(ns: int | None) -> str:
    """An ISO 8601 time in the machine's own time zone, to the millisecond; "unknown" without one."""
    if ns is None:
        return "unknown"
    return datetime.fromtimestamp(ns / 1e9, timezone.utc).astimezone().isoformat(timespec="milliseconds")


def _rate(count: int, seconds: float) -> float | None:
    return count / seconds if seconds > 0 else None


def as_text(summary: Summary) -> str:
    lines = [f"{summary.path}: plim recording, format {summary.version}, {summary.size} bytes, "
             f"{len(summary.sessions)} session{'s' * (len(summary.sessions) != 1)}"]
    for number, item in enumerate(summary.sessions, 1):
        session = item.session
        about = "no header (damaged)" if session.mono_ns is None else (
            f"{session.url or 'unknown URL'} (plim_ffi {session.plim_ffi or '?'}, wire {session.wire or '?'})")
        lines.append(f"session {number}: {about}")
        lines.append(f"  from {wall_text(item.start_ns)} to {wall_text(item.end_ns)}, {item.duration_s:.3f} s")
        for name, traffic in (("received", item.received), ("sent", item.sent)):
            lines.append(f"  {name}: {traffic.packets} packets, {traffic.bytes} bytes, "
                         f"{sum(traffic.messages.values())} messages, {traffic.bad_frames} bad frames")
            for kind, count in sorted(traffic.messages.items()):
                rate = _rate(count, item.duration_s)
                lines.append(f"    {kind:<27} {count:>9}" + ("" if rate is None else f" {rate:>10.2f}/s"))
    lines.append(f"damage: {summary.skipped_bytes} bytes skipped in {summary.damaged_stretches} "
                 f"stretch{'es' * (summary.damaged_stretches != 1)}")
    return "\n".join(lines)


def as_json(summary: Summary) -> dict[str, Any]:
    def traffic(item: Traffic, seconds: float) -> dict[str, Any]:
        return {"packets": item.packets, "bytes": item.bytes, "bad_frames": item.bad_frames,
                "messages": {kind: {"count": count, "per_s": _rate(count, seconds)}
                             for kind, count in sorted(item.messages.items())}}

    return {"file": summary.path, "format": summary.version, "bytes": summary.size,
            "skipped_bytes": summary.skipped_bytes, "damaged_stretches": summary.damaged_stretches,
            "sessions": [{"url": s.session.url, "plim_ffi": s.session.plim_ffi, "wire": s.session.wire,
                          "start": None if s.start_ns is None else wall_text(s.start_ns), "start_ns": s.start_ns,
                          "end": None if s.end_ns is None else wall_text(s.end_ns), "end_ns": s.end_ns,
                          "duration_s": s.duration_s, "received": traffic(s.received, s.duration_s),
                          "sent": traffic(s.sent, s.duration_s)} for s in summary.sessions]}
