"""The JSON Schemas of both message families (placeholder until written)."""
from __future__ import annotations

from pathlib import Path

from .description import Description

SCHEMAS = Path(__file__).resolve().parents[2] / "schemas"


def render_host(desc: Description) -> str:
    return (SCHEMAS / "host_to_plim.schema.json").read_text()


def render_device(desc: Description) -> str:
    return (SCHEMAS / "plim_to_host.schema.json").read_text()
