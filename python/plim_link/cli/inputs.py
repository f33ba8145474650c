"""What the commands that read recordings share: opening one, and the extras they need."""
from __future__ import annotations

from types import ModuleType

from ..extras import MissingExtra, require
from ..recording_reader import RecordingReader
from ..urls import parse_url
from .common import BadInput, as_url


def open_recording(target: str) -> tuple[RecordingReader, float | None]:
    """The recording at a path or file:// URL, and the replay speed the URL asks for (None: at once)."""
    try:
        endpoint = parse_url(as_url(target))
        if endpoint.scheme != "file":
            raise ValueError(f"{target} is not a recording; give a file or a file:// URL")
        speed = endpoint.options.get("speed")
        return RecordingReader.open(endpoint.path), None if speed is None else float(str(speed))
    except (ValueError, OSError) as exc:
        raise BadInput(str(exc)) from None


def need(module: str, purpose: str) -> ModuleType:
    """A field library, or the `pip install` that brings it as bad input (exit 2)."""
    try:
        return require(module, purpose)
    except MissingExtra as exc:
        raise BadInput(str(exc)) from None
