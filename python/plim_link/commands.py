"""The host's commands as messages, and the checks every road to the plim shares.

Both clients build their typed methods from these functions, so a command's
shape and its checks are written once.
"""
from __future__ import annotations

import math
import struct
from typing import TYPE_CHECKING, Any

from plim_sim.wire import VERSION_HEADER_LEN, cobs_decode

from .messages import DEVICE_MESSAGE_KINDS

if TYPE_CHECKING:
    from .messages import HostMessage

VELOCITY_FIELDS = ("left_velocity_rad_per_s", "right_velocity_rad_per_s")
STOP: HostMessage = {"SetDriveBaseVelocity": [0.0, 0.0]}
_F32 = struct.Struct("<f")
_SET_VELOCITY = 5  # the discriminant of SetDriveBaseVelocity in the host family


def kind_of(message: Any) -> str:
    """A message's variant name: the text itself, or the one key of its object."""
    if isinstance(message, str):
        return message
    if isinstance(message, dict) and len(message) == 1:
        return str(next(iter(message)))
    return type(message).__name__


def check_kinds(kinds: str | tuple[str, ...] | list[str] | frozenset[str] | set[str]) -> tuple[str, ...]:
    """The kinds asked for, each a device message kind; a typo is a ValueError, not a silent miss."""
    wanted = (kinds,) if isinstance(kinds, str) else tuple(kinds)
    for kind in wanted:
        if kind not in DEVICE_MESSAGE_KINDS:
            raise ValueError(f"unknown message kind {kind!r}; the plim sends " + ", ".join(DEVICE_MESSAGE_KINDS))
    return wanted


def checked_velocity(name: str, value: float) -> float:
    """A wheel velocity the plim will take as meant: finite, and finite again as a 32-bit float."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        number = float(value)
        if math.isfinite(number):
            _F32.pack(number)
    except OverflowError:
        raise ValueError(f"{name} is beyond the plim's 32-bit float range") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number!r}")
    return number


def set_drive_base_velocity(left_rad_per_s: float, right_rad_per_s: float) -> HostMessage:
    left = checked_velocity("left_rad_per_s", left_rad_per_s)
    right = checked_velocity("right_rad_per_s", right_rad_per_s)
    return {"SetDriveBaseVelocity": [left, right]}


def set_uid(uid: str) -> HostMessage:
    return {"SetUid": {"uid": uid}}


def set_network_connection_config(ssid: str, password: str) -> HostMessage:
    return {"SetNetworkConnectionConfig": {"ssid": ssid, "password": password}}


def wheel_velocities(packets: list[bytes]) -> tuple[float, float] | None:
    """The two velocities a SetDriveBaseVelocity frame carries, read back from its packets; None for
    any other message.

    Reading what the link encoded, rather than the value the caller passed, is what makes the
    check below hold for every form a message can take (object or array, any number type).
    """
    body = cobs_decode(b"".join(packets))
    if body is None or len(body) != VERSION_HEADER_LEN + 1 + 2 * _F32.size or body[VERSION_HEADER_LEN] != _SET_VELOCITY:
        return None
    start = VERSION_HEADER_LEN + 1
    return _F32.unpack_from(body, start)[0], _F32.unpack_from(body, start + _F32.size)[0]


def refuse_unsafe_velocity(message: Any, velocities: tuple[float, float]) -> None:
    """Refuses a wheel command the plim would take as NaN or infinity, naming the field."""
    for index, wire_value in enumerate(velocities):
        if math.isfinite(wire_value):
            continue
        name = VELOCITY_FIELDS[index]
        given = _given_velocity(message, index)
        if isinstance(given, (int, float)) and not isinstance(given, bool) and math.isfinite(given):
            raise ValueError(f"SetDriveBaseVelocity.{name}: {given!r} is beyond the plim's 32-bit float range")
        raise ValueError(f"SetDriveBaseVelocity.{name} must be finite, got {wire_value!r}")


def _given_velocity(message: Any, index: int) -> Any:
    try:
        record = message["SetDriveBaseVelocity"]
        return record[VELOCITY_FIELDS[index]] if isinstance(record, dict) else record[index]
    except Exception:  # only the text of the refusal depends on it
        return None


def commands_motion(velocities: tuple[float, float]) -> bool:
    return any(v != 0 for v in velocities)
