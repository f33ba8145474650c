"""Device-side codec: plim-to-host messages out, host-to-plim messages in.

Messages are plain Python values shaped exactly like their JSON forms, e.g.
"Ping" or {"DriveBaseState": {"left": {...}, "right": {...}}}.
"""
from __future__ import annotations

from typing import Any

from .wire import Reader, WireError, f32, text, u8, varint

DEVICE_VARIANTS = ("Ping", "Pong", "Scan", "DriveBaseState", "ImuMeasurement", "State")
HOST_VARIANTS = (
    "Ping", "Pong", "RequestNetworkScan", "SetNetworkConnectionConfig", "SetUid", "SetDriveBaseVelocity",
)
WHEEL_FIELDS = ("effort_percent", "velocity_rad_per_s", "position_rad")
AXES = ("x", "y", "z")
TEST_GROUPS = ("power", "wifi", "lidar", "imu", "encoders")
TEST_STATUSES = ("Waiting", "Pass", "Fail")
CONNECTION_ERRORS = ("Timeout", "AuthOrRefused", "Other")
HOST_RECORD_FIELDS = {
    "SetNetworkConnectionConfig": ("ssid", "password"),
    "SetUid": ("uid",),
    "SetDriveBaseVelocity": ("left_velocity_rad_per_s", "right_velocity_rad_per_s"),
}

# -- plim-to-host: encoding ---------------------------------------------------


def _sequence(items: list[Any], encode_item: Any) -> bytes:
    return varint(len(items)) + b"".join(encode_item(item) for item in items)


def _option(value: Any, encode_value: Any) -> bytes:
    return b"\x00" if value is None else b"\x01" + encode_value(value)


def _floats(record: dict[str, float], names: tuple[str, ...]) -> bytes:
    return b"".join(f32(record[name]) for name in names)


def _connection_result(result: dict[str, Any]) -> bytes:
    (kind, payload), = result.items()
    if kind == "Ok":
        return b"\x00" + text(payload)
    if kind != "Err":
        raise ValueError(f"unknown connection result {kind!r}")
    if isinstance(payload, str):
        return b"\x01" + varint(CONNECTION_ERRORS.index(payload))
    return b"\x01" + varint(2) + text(payload["Other"])


def _device_state(state: dict[str, Any]) -> bytes:
    tests = state["built_in_test"]
    return b"".join([
        text(state["uid"]),
        _option(state["ip"], text),
        _option(state["mac"], text),
        _option(state["current_network_connection"], _connection_result),
        _sequence(state["available_network_connections"],
                  lambda net: text(net["ssid"]) + u8(net["strength"])),
        *(_sequence(tests[group], lambda item: text(item["name"]) + varint(TEST_STATUSES.index(item["result"])))
          for group in TEST_GROUPS),
    ])


def encode_device_message(message: str | dict[str, Any]) -> bytes:
    """The body bytes of one plim-to-host message."""
    if isinstance(message, str):
        if message not in ("Ping", "Pong"):
            raise ValueError(f"{message!r} needs a payload")
        return varint(DEVICE_VARIANTS.index(message))
    (name, payload), = message.items()
    head = varint(DEVICE_VARIANTS.index(name))
    if name == "Scan":
        return head + _sequence(
            payload, lambda p: u8(p["quality"]) + f32(p["angle_rad"]) + f32(p["distance_mm"]))
    if name == "DriveBaseState":
        return head + _floats(payload["left"], WHEEL_FIELDS) + _floats(payload["right"], WHEEL_FIELDS)
    if name == "ImuMeasurement":
        return head + _floats(payload["accel"], AXES) + _floats(payload["gyro"], AXES)
    if name == "State":
        return head + _device_state(payload)
    raise ValueError(f"{name!r} needs no payload")


# -- host-to-plim: decoding ---------------------------------------------------


def decode_host_message(body: bytes) -> str | dict[str, Any]:
    """Reads one host-to-plim body; trailing bytes after the message are ignored."""
    reader = Reader(body)
    index = reader.varint(32)
    if index >= len(HOST_VARIANTS):
        raise WireError(f"unknown host message {index}")
    name = HOST_VARIANTS[index]
    fields = HOST_RECORD_FIELDS.get(name)
    if fields is None:
        return name
    read = reader.f32 if name == "SetDriveBaseVelocity" else reader.text
    return {name: {field: read() for field in fields}}
