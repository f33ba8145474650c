"""The JSON Schemas (draft 2020-12) of both message families.

The two directions differ on purpose. What a host sends is read leniently
(a record as an object with members in any order and unknown members ignored,
or as an array of its field values; a unit variant also as `{"Name": null}`);
what a plim sends is written strictly (every member present, nothing else,
a float may be null), so its schema is closed.
"""
from __future__ import annotations

import json
from typing import Any

from .description import Description, Type, inner, kind, named, walk

DRAFT = "https://json-schema.org/draft/2020-12/schema"
F32_MAX = 3.4028235e38
ARRAY_FORM = ("Given as an object (members in any order; unknown members are ignored) "
              "or as an array of the field values in declaration order.")

HOST_PRIMITIVES: dict[str, Any] = {
    "text": {"type": "string", "description": "Any UTF-8 text, the empty text included."},
    "f32": {"type": "number",
            "description": "Stored as the nearest 32-bit float; magnitudes beyond its range become an infinity "
                           "of the same sign, numbers beyond the 64-bit range are refused."},
    "u8": {"type": "integer", "minimum": 0, "maximum": 255},
}
DEVICE_PRIMITIVES: dict[str, Any] = {
    "f32": {"type": ["number", "null"], "minimum": -F32_MAX, "maximum": F32_MAX,
            "description": "A 32-bit float in its shortest round-trip form; null stands for NaN and both infinities."},
    "u8": {"type": "integer", "minimum": 0, "maximum": 255},
}

# Sample messages shown by the schemas; the tests send each host example through a Link.
HOST_EXAMPLES: list[Any] = [
    "Ping",
    {"Pong": None},
    "RequestNetworkScan",
    {"SetNetworkConnectionConfig": {"ssid": "lab", "password": "secret"}},
    {"SetUid": ["A1"]},
    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 1.5, "right_velocity_rad_per_s": -1.5}},
]
DEVICE_EXAMPLES: list[Any] = [
    "Pong",
    {"Scan": [{"quality": 15, "angle_rad": 1.5, "distance_mm": 1000.0}]},
    {"DriveBaseState": {
        "left": {"effort_percent": 50.0, "velocity_rad_per_s": -0.25, "position_rad": 3.0},
        "right": {"effort_percent": None, "velocity_rad_per_s": 0.1, "position_rad": 1e-07},
    }},
]


def ref(name: str) -> dict[str, str]:
    return {"$ref": f"#/$defs/{name}"}


def spoken(names: list[str]) -> str:
    return names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]


def units(desc: Description, family: str) -> list[str]:
    return [v["name"] for v in desc.families[family]["variants"] if v["type"] == "unit"]


def one_member(key: str, value: Any) -> dict[str, Any]:
    return {"type": "object", "properties": {key: value}, "required": [key], "additionalProperties": False}


def primitives_used(desc: Description, entries: list[tuple[str, str]], table: dict[str, Any]) -> dict[str, Any]:
    def leaves(t: Type) -> set[str]:
        k = kind(t)
        return leaves(inner(t)) if k in ("optional", "sequence") else {k}

    used: set[str] = set()
    for k, name in entries:
        if k == "record":
            for field in desc.records[name]["fields"]:
                used |= leaves(field["type"])
        elif k == "family":
            for variant in desc.families[name]["variants"]:
                used |= leaves(variant["type"])
    return {name: schema for name, schema in table.items() if name in used}


def document(schema_id: str, title: str, description: str, one_of: list[Any], defs: dict[str, Any],
             examples: list[Any]) -> str:
    schema = {"$schema": DRAFT, "$id": f"urn:plim-ffi:schemas:{schema_id}", "title": title,
              "description": description, "oneOf": one_of, "$defs": defs, "examples": examples}
    return json.dumps(schema, indent=2) + "\n"


# -- host to plim -------------------------------------------------------------


def host_type(t: Type) -> Any:
    k = kind(t)
    if k == "optional":
        return {"oneOf": [{"type": "null"}, host_type(inner(t))]}
    if k == "sequence":
        return {"type": "array", "items": host_type(inner(t))}
    if k in ("record", "family", "enum"):
        return ref(inner(t))
    return ref(k)


def host_record(record: dict[str, Any]) -> dict[str, Any]:
    fields = record["fields"]
    doc = f"{record['doc']} {ARRAY_FORM}" if "doc" in record else ARRAY_FORM
    return {"description": doc, "oneOf": [
        {"type": "object",
         "properties": {f["name"]: host_type(f["type"]) for f in fields},
         "required": [f["name"] for f in fields]},
        {"type": "array", "prefixItems": [host_type(f["type"]) for f in fields],
         "minItems": len(fields), "maxItems": len(fields)},
    ]}


def host_family(desc: Description, family: str) -> list[Any]:
    # Either form of a unit variant; a payload variant only as a one-member object.
    variants = desc.families[family]["variants"]
    members = {v["name"]: {"type": "null"} if v["type"] == "unit" else host_type(v["type"]) for v in variants}
    one_of: list[Any] = [{"enum": units(desc, family)}] if units(desc, family) else []
    return one_of + [{"type": "object", "minProperties": 1, "maxProperties": 1, "properties": members,
                      "additionalProperties": False}]


def render_host(desc: Description) -> str:
    entries = walk(desc, desc.host, dependencies_first=False)
    defs = dict(primitives_used(desc, entries, HOST_PRIMITIVES))
    for k, name in entries:
        if k == "record":
            defs[name] = host_record(desc.records[name])
        elif k == "enum":
            defs[name] = {"enum": desc.enums[name]["variants"]}
        elif name != desc.host:
            defs[name] = {"oneOf": host_family(desc, name)}
    description = (
        "A JSON text accepted by plim_ffi.Link.send, and equally the Python value plim_ffi.ObjectLink.send takes. "
        "Variants without payload are a bare string or a one-member object whose value is null; variants with "
        "payload are a one-member object holding the record. Keys are case-sensitive. A field given twice is "
        "refused too, which a schema cannot express.")
    return document("host_to_plim", "Host-to-plim message", description, host_family(desc, desc.host), defs,
                    HOST_EXAMPLES)


# -- plim to host -------------------------------------------------------------


def device_type(t: Type) -> Any:
    k = kind(t)
    if k == "text":
        return {"type": "string"}
    if k == "optional":
        value = device_type(inner(t))
        if value == {"type": "string"}:
            return {"type": ["string", "null"]}
        return {"oneOf": [{"type": "null"}, value]}
    if k == "sequence":
        return {"type": "array", "items": device_type(inner(t))}
    if k in ("record", "family", "enum"):
        return ref(inner(t))
    return ref(k)


def device_record(record: dict[str, Any]) -> dict[str, Any]:
    fields = record["fields"]
    schema: dict[str, Any] = {"description": record["doc"]} if "doc" in record else {}
    schema.update({"type": "object",
                   "properties": {f["name"]: device_type(f["type"]) for f in fields},
                   "required": [f["name"] for f in fields],
                   "additionalProperties": False})
    return schema


def inlined(variant: dict[str, Any]) -> bool:
    # A record that exists only as its variant's payload reads best in place.
    return kind(variant["type"]) == "record" and inner(variant["type"]) == variant["name"]


def device_family(desc: Description, family: str) -> list[Any]:
    one_of: list[Any] = [{"enum": units(desc, family)}] if units(desc, family) else []
    for variant in desc.families[family]["variants"]:
        if variant["type"] == "unit":
            continue
        if inlined(variant):
            payload = device_record(desc.records[variant["name"]])
        else:
            payload = device_type(variant["type"])
            if "doc" in variant:
                payload["description"] = variant["doc"]
        one_of.append(one_member(variant["name"], payload))
    return one_of


def render_device(desc: Description) -> str:
    skip = frozenset(("record", v["name"]) for v in desc.families[desc.device]["variants"] if inlined(v))
    reachable = walk(desc, desc.device, dependencies_first=False)
    entries = [entry for entry in walk(desc, desc.device, dependencies_first=False, skip=skip)
               if entry != ("family", desc.device)]
    defs = dict(primitives_used(desc, reachable, DEVICE_PRIMITIVES))
    for k, name in entries:
        if k == "record":
            defs[name] = device_record(desc.records[name])
        elif k == "enum":
            defs[name] = {"enum": desc.enums[name]["variants"]}
        else:
            defs[name] = {"oneOf": device_family(desc, name)}
    description = (
        "A JSON text returned by plim_ffi.Link.poll_receive, and equally the Python value "
        f"plim_ffi.ObjectLink.poll_receive gives. {spoken(units(desc, desc.device))} are bare strings; every other "
        "message is a one-member object named after the message. Every record member is always present, "
        "in declaration order.")
    return document("plim_to_host", "Plim-to-host message", description, device_family(desc, desc.device), defs,
                    DEVICE_EXAMPLES)
