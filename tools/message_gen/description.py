"""The message declarations as `describe_messages` prints them, and the walks over them.

A type is a primitive name ("u8", "f32", "text", "unit") or a one-member
object: {"optional": T}, {"sequence": T}, {"record": NAME}, {"family": NAME},
{"enum": NAME}.
"""
from __future__ import annotations

import json
import subprocess
from dataclasses import dataclass
from typing import Any, Iterator

Type = Any  # str | dict[str, Type | str], exactly as decoded from the description
NAMED = ("record", "family", "enum")


@dataclass(frozen=True)
class Description:
    host: str  # name of the host-to-plim family
    device: str  # name of the plim-to-host family
    records: dict[str, Any]
    families: dict[str, Any]
    enums: dict[str, Any]
    wire: dict[str, Any]  # constants of the framing: packet and buffer sizes, the API version


def parse(text: str) -> Description:
    data = json.loads(text)
    return Description(data["host"]["family"], data["device"]["family"],
                       data["records"], data["families"], data["enums"], data["wire"])


def run_describe(program: str) -> str:
    return subprocess.run([program], check=True, capture_output=True, text=True).stdout


def kind(t: Type) -> str:
    return t if isinstance(t, str) else next(iter(t))


def inner(t: Type) -> Any:
    return t[kind(t)]


def named(t: Type) -> Iterator[tuple[str, str]]:
    """The records, families and enums a type mentions, outermost first."""
    k = kind(t)
    if k in NAMED:
        yield k, inner(t)
    elif k in ("optional", "sequence"):
        yield from named(inner(t))


def parts(desc: Description, k: str, name: str) -> list[Type]:
    """The types held directly by a record (its fields) or a family (its variants)."""
    if k == "record":
        return [field["type"] for field in desc.records[name]["fields"]]
    if k == "family":
        return [variant["type"] for variant in desc.families[name]["variants"]]
    return []


def walk(desc: Description, family: str, *, dependencies_first: bool,
         skip: frozenset[tuple[str, str]] = frozenset()) -> list[tuple[str, str]]:
    """Every named entry reachable from a family, each once, the family itself included.

    With `dependencies_first` an entry follows everything it refers to (the order
    in which Python can define them); otherwise it precedes them, in field order
    (the reading order of a schema). Entries in `skip` are not listed, but what
    they refer to is.
    """
    seen: set[tuple[str, str]] = set()
    order: list[tuple[str, str]] = []

    def visit(entry: tuple[str, str]) -> None:
        if entry in seen:
            return
        seen.add(entry)
        listed = entry not in skip
        if listed and not dependencies_first:
            order.append(entry)
        for t in parts(desc, *entry):
            for reference in named(t):
                visit(reference)
        if listed and dependencies_first:
            order.append(entry)

    visit(("family", family))
    return order
