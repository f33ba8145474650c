"""Messages of one kind as rows of a table, for a spreadsheet or pandas.

The columns are `time` (seconds since the epoch), then the kind's fields flattened in declaration
order (`left.velocity_rad_per_s`, ...), read from the kind's generated schema. A kind that is a list
(a Scan is its points) gives one row per element, numbered in an `index` column. Numbers are
written as the message's text has them; null is an empty cell; a field that is itself a list or
a choice (a State's networks and tests) is its compact JSON.
"""
from __future__ import annotations

import json
from typing import Any

from .channels import kind_schema, schema_document
from .messages import DEVICE_MESSAGE_KINDS, HOST_MESSAGE_KINDS
from .traffic import Message


def seconds_text(ns: int | None) -> str:
    """Nanoseconds as exact decimal seconds; empty where there is no time."""
    if ns is None:
        return ""
    sign, ns = ("-", -ns) if ns < 0 else ("", ns)
    return f"{sign}{ns // 1_000_000_000}.{ns % 1_000_000_000:09d}"


def _resolve(schema: dict[str, Any], definitions: dict[str, Any]) -> dict[str, Any]:
    while "$ref" in schema:
        schema = definitions[schema["$ref"].rsplit("/", 1)[1]]
    return schema


def _columns(schema: dict[str, Any], definitions: dict[str, Any], prefix: str) -> list[str]:
    schema = _resolve(schema, definitions)
    if schema.get("type") == "object" and "properties" in schema:
        return [column for name, member in schema["properties"].items()
                for column in _columns(member, definitions, f"{prefix}{name}.")]
    return [prefix[:-1]]


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (dict, list)):
        return json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return str(value)


class Table:
    """The header and the rows of one kind; `directions` adds a column saying which way each went."""

    def __init__(self, kind: str, *, directions: bool = False) -> None:
        family = "plim_to_host" if kind in DEVICE_MESSAGE_KINDS else "host_to_plim"
        if kind not in DEVICE_MESSAGE_KINDS + HOST_MESSAGE_KINDS:
            raise ValueError(f"unknown message kind {kind!r}")
        document = schema_document(family)
        definitions = document.get("$defs", {})
        schema = kind_schema(document, kind)
        forms = schema.get("oneOf", [schema])
        member = next((form["properties"][kind] for form in forms if "properties" in form), None)
        payload = {} if member is None else _resolve(member, definitions)
        # A host record is an object or an array of its fields; its columns are the object's.
        payload = next((form for form in payload.get("oneOf", []) if form.get("type") == "object"), payload)
        self.kind = kind
        self.per_element = payload.get("type") == "array"
        if member is None:
            self.fields: list[str] = []
        else:
            self.fields = _columns(payload["items"] if self.per_element else payload, definitions, "")
        self.header = ["time", *(["direction"] if directions else []), *(["index"] if self.per_element else []),
                      *self.fields]
        self._directions = directions

    def rows(self, message: Message) -> list[list[str]]:
        """The rows of one message of this table's kind."""
        lead = [seconds_text(message.wall_ns), *([message.direction] if self._directions else [])]
        if message.text[0] == '"':
            return [lead]
        payload = json.loads(message.text, parse_float=str)[self.kind]
        if self.per_element:
            return [[*lead, str(index), *self._cells(element)] for index, element in enumerate(payload)]
        return [[*lead, *self._cells(payload)]]

    def _cells(self, value: Any) -> list[str]:
        cells = []
        for column in self.fields:
            item = value
            for part in column.split("."):
                item = item[part]
            cells.append(_cell(item))
        return cells
