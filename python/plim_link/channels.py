"""The channels a plim's traffic is published on, in MCAP files and to live viewers alike.

One channel per message kind and direction (`/plim/DriveBaseState`, `/plim/host/SetUid`, ...),
JSON-encoded, each with the JSON Schema of its kind cut out of the generated schemas of its
family; and the lidar sweeps once more as points a 3D view draws (`/plim/Scan/points`).
"""
from __future__ import annotations

import json
from dataclasses import dataclass
from functools import cache
from pathlib import Path
from typing import Any

from .messages import DEVICE_MESSAGE_KINDS, HOST_MESSAGE_KINDS
from .scan_points import POINT_CLOUD, POINT_CLOUD_SCHEMA, scan_cloud
from .traffic import Message

POINTS_TOPIC = "/plim/Scan/points"
FAMILIES = {"received": ("plim_to_host", "/plim/", "plim.", DEVICE_MESSAGE_KINDS),
            "sent": ("host_to_plim", "/plim/host/", "plim.host.", HOST_MESSAGE_KINDS)}


@dataclass(frozen=True)
class Channel:
    topic: str
    schema_name: str
    schema: bytes  # a JSON Schema, as JSON text
    message_encoding: str = "json"
    schema_encoding: str = "jsonschema"


def schema_document(family: str) -> dict[str, Any]:
    """One of the generated schemas: shipped in the package, or beside it in a source tree."""
    here = Path(__file__).parent
    for folder in (here / "schemas", here.parents[1] / "schemas"):
        path = folder / f"{family}.schema.json"
        if path.exists():
            document: dict[str, Any] = json.loads(path.read_text(encoding="utf-8"))
            return document
    raise FileNotFoundError(f"the message schemas ({family}.schema.json) are missing from this install of plim_ffi")


def _refs(value: Any) -> set[str]:
    if isinstance(value, dict):
        found = {value["$ref"].rsplit("/", 1)[1]} if isinstance(value.get("$ref"), str) else set()
        return found.union(*map(_refs, value.values()))
    if isinstance(value, list):
        return set().union(*map(_refs, value))
    return set()


def kind_schema(document: dict[str, Any], kind: str) -> dict[str, Any]:
    """The part of a family's schema that one kind's messages match, with the definitions it uses."""
    forms: list[Any] = []
    for branch in document["oneOf"]:
        if kind in branch.get("enum", ()):
            forms.append({"enum": [kind]})
        members = branch.get("properties", {})
        if kind in members:
            forms.append({"type": "object", "properties": {kind: members[kind]}, "required": [kind],
                          "additionalProperties": False})
    if not forms:
        raise KeyError(f"{kind} is not a message of {document['title']}")
    schema: dict[str, Any] = {"$schema": document["$schema"], "title": f"{kind} ({document['title']})"}
    schema.update(forms[0] if len(forms) == 1 else {"oneOf": forms})
    definitions = document.get("$defs", {})
    used: set[str] = set()
    pending = _refs(schema)
    while pending:
        name = pending.pop()
        used.add(name)
        pending |= _refs(definitions[name]) - used
    if used:
        schema["$defs"] = {name: definitions[name] for name in definitions if name in used}
    return schema


def topic(direction: str, kind: str) -> str:
    return FAMILIES[direction][1] + kind


@cache
def message_channels() -> tuple[Channel, ...]:
    """Every kind each way, then the sweep's points."""
    out = []
    for family, prefix, name, kinds in FAMILIES.values():
        document = schema_document(family)
        for kind in kinds:
            schema = json.dumps(kind_schema(document, kind), separators=(",", ":")).encode()
            out.append(Channel(prefix + kind, name + kind, schema))
    return (*out, Channel(POINTS_TOPIC, POINT_CLOUD, POINT_CLOUD_SCHEMA))


def publications(message: Message, time_ns: int) -> list[tuple[str, bytes]]:
    """(topic, payload) for each channel a message goes out on, stamped `time_ns` where the payload
    holds a time."""
    out = [(topic(message.direction, message.kind), message.text.encode())]
    if message.kind == "Scan" and message.direction == "received":
        out.append((POINTS_TOPIC, scan_cloud(json.loads(message.text)["Scan"], time_ns)))
    return out
