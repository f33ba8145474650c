"""The Link's job done in plain Python (json + struct + COBS), as a benchmark baseline.

Same four methods and the same output texts for valid input; it does not reproduce
the module's strict reader or its exact error texts, and it is not thread-safe.
"""
from __future__ import annotations

import json
import math
import struct
from collections import deque
from typing import Any

HEADER = bytes([0, 0, 2, 0, 0, 0])
MAX_PACKET_LEN = 1400
RX_LIMIT = 5000
HOST_VARIANTS = ("Ping", "Pong", "RequestNetworkScan", "SetNetworkConnectionConfig", "SetUid",
                 "SetDriveBaseVelocity")
RECORDS = {
    "SetNetworkConnectionConfig": (("ssid", str), ("password", str)),
    "SetUid": (("uid", str),),
    "SetDriveBaseVelocity": (("left_velocity_rad_per_s", float), ("right_velocity_rad_per_s", float)),
}
CONNECTION_ERRORS = ("Timeout", "AuthOrRefused")
TEST_STATUSES = ('"Waiting"', '"Pass"', '"Fail"')
_F32 = struct.Struct("<f")
_SIX_F32 = struct.Struct("<6f")
_POINT = struct.Struct("<Bff")


def varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def cobs_encode(data: bytes) -> bytes:
    out = bytearray()
    segments = data.split(b"\x00")
    last = len(segments) - 1
    for index, segment in enumerate(segments):
        for start in range(0, max(len(segment), 1), 254):
            block = segment[start:start + 254]
            out.append(len(block) + 1)
            out += block
        if index < last and len(segment) and len(segment) % 254 == 0:
            out.append(1)
    out.append(0)
    return bytes(out)


def cobs_decode(wire: bytes) -> bytes | None:
    out = bytearray()
    pos, end, pending = 0, len(wire), False
    while pos < end:
        code = wire[pos]
        pos += 1
        if code == 0:
            return bytes(out)
        if pending:
            out.append(0)
        if pos + code - 1 > end:
            return None
        out += wire[pos:pos + code - 1]
        pos += code - 1
        pending = code < 0xFF
    return None


def format_f32(value: float) -> str:
    if not math.isfinite(value):
        return "null"
    if value == 0.0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    for precision in range(9):
        candidate = f"{value:.{precision}e}"
        try:
            if _F32.unpack(_F32.pack(float(candidate)))[0] == value:
                break
        except OverflowError:  # a candidate just above the largest float
            continue
    mantissa, exponent_text = candidate.split("e")
    sign = "-" if mantissa[0] == "-" else ""
    digits = mantissa.lstrip("-").replace(".", "").rstrip("0") or "0"
    exponent = int(exponent_text)
    n = len(digits)
    if -7 < exponent < 13:
        if exponent >= n - 1:
            return f"{sign}{digits}{'0' * (exponent - n + 1)}.0"
        if exponent >= 0:
            return f"{sign}{digits[:exponent + 1]}.{digits[exponent + 1:]}"
        return f"{sign}0.{'0' * (-exponent - 1)}{digits}"
    fraction = f".{digits[1:]}" if n > 1 else ""
    return f"{sign}{digits[0]}{fraction}e{'-' if exponent < 0 else '+'}{abs(exponent)}"


def _string(value: str) -> str:
    return json.dumps(value, ensure_ascii=False)


class _Body:
    __slots__ = ("data", "pos")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def take(self, count: int) -> bytes:
        if count > len(self.data) - self.pos:
            raise ValueError("message decode failed: Hit the end of buffer, expected more data")
        self.pos += count
        return self.data[self.pos - count:self.pos]

    def varint(self) -> int:
        value = shift = 0
        while True:
            byte = self.take(1)[0]
            value |= (byte & 0x7F) << shift
            if byte < 0x80:
                return value
            shift += 7
            if shift > 63:
                raise ValueError("message decode failed: Found a varint that didn't terminate.")

    def text(self) -> str:
        try:
            return _string(self.take(self.varint()).decode("utf-8"))
        except UnicodeDecodeError:
            raise ValueError("message decode failed: Tried to parse invalid utf-8") from None

    def option(self, read: Any) -> str:
        tag = self.take(1)[0]
        if tag > 1:
            raise ValueError("message decode failed: Found an Option discriminant that wasn't 0 or 1")
        return read() if tag else "null"

    def enum(self, names: tuple[str, ...]) -> str:
        index = self.varint()
        if index >= len(names):
            raise ValueError("message decode failed: Serde Deserialization Error")
        return names[index]


def _wheels(values: tuple[float, ...], names: tuple[str, str], fields: tuple[str, str, str]) -> str:
    f = [format_f32(v) for v in values]
    return (f'{{"{names[0]}":{{"{fields[0]}":{f[0]},"{fields[1]}":{f[1]},"{fields[2]}":{f[2]}}},'
            f'"{names[1]}":{{"{fields[0]}":{f[3]},"{fields[1]}":{f[4]},"{fields[2]}":{f[5]}}}}}')


def _connection(body: _Body) -> str:
    if body.enum(("Ok", "Err")) == "Ok":
        return f'{{"Ok":{body.text()}}}'
    kind = body.enum(("Timeout", "AuthOrRefused", "Other"))
    return f'{{"Err":{{"Other":{body.text()}}}}}' if kind == "Other" else f'{{"Err":"{kind}"}}'


def _state(body: _Body) -> str:
    uid = body.text()
    ip = body.option(body.text)
    mac = body.option(body.text)
    connection = body.option(lambda: _connection(body))
    networks = []
    for _ in range(body.varint()):
        ssid = body.text()
        networks.append(f'{{"ssid":{ssid},"strength":{body.take(1)[0]}}}')
    groups = []
    for group in ("power", "wifi", "lidar", "imu", "encoders"):
        items = []
        for _ in range(body.varint()):
            name = body.text()
            items.append(f'{{"name":{name},"result":{body.enum(TEST_STATUSES)}}}')
        groups.append(f'"{group}":[{",".join(items)}]')
    return (f'{{"State":{{"uid":{uid},"ip":{ip},"mac":{mac},"current_network_connection":{connection},'
            f'"available_network_connections":[{",".join(networks)}],"built_in_test":{{{",".join(groups)}}}}}}}')


def decode_device_message(data: bytes) -> str:
    body = _Body(data)
    kind = body.enum(("Ping", "Pong", "Scan", "DriveBaseState", "ImuMeasurement", "State"))
    if kind in ("Ping", "Pong"):
        return f'"{kind}"'
    if kind == "Scan":
        count = body.varint()
        raw = body.take(count * _POINT.size)
        points = [f'{{"quality":{q},"angle_rad":{format_f32(a)},"distance_mm":{format_f32(d)}}}'
                  for q, a, d in _POINT.iter_unpack(raw)]
        return f'{{"Scan":[{",".join(points)}]}}'
    if kind == "DriveBaseState":
        values = _SIX_F32.unpack(body.take(24))
        return '{"DriveBaseState":' + _wheels(values, ("left", "right"),
                                               ("effort_percent", "velocity_rad_per_s", "position_rad")) + "}"
    if kind == "ImuMeasurement":
        return '{"ImuMeasurement":' + _wheels(_SIX_F32.unpack(body.take(24)), ("accel", "gyro"), ("x", "y", "z")) + "}"
    return _state(body)


def encode_host_message(message: Any) -> bytes:
    if isinstance(message, str):
        name, payload = message, None
        if name in RECORDS:
            raise ValueError("Serde JSON error: invalid type: unit variant, expected newtype variant")
    elif isinstance(message, dict) and len(message) == 1:
        (name, payload), = message.items()
    else:
        raise ValueError("Serde JSON error: expected value")
    if name not in HOST_VARIANTS:
        raise ValueError(f"Serde JSON error: unknown variant `{name}`")
    fields = RECORDS.get(name)
    out = bytearray(varint(HOST_VARIANTS.index(name)))
    if fields is None:
        if payload is not None:
            raise ValueError("Serde JSON error: invalid type, expected unit")
        return bytes(out)
    if isinstance(payload, dict):
        values = [payload[field] for field, _ in fields]
    elif isinstance(payload, list) and len(payload) == len(fields):
        values = payload
    else:
        raise ValueError(f"Serde JSON error: invalid type, expected struct {name}")
    for value, (field, kind) in zip(values, fields):
        if kind is str:
            if not isinstance(value, str):
                raise ValueError(f"Serde JSON error: invalid type, expected a string for `{field}`")
            encoded = value.encode("utf-8")
            out += varint(len(encoded)) + encoded
        else:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"Serde JSON error: invalid type, expected f32 for `{field}`")
            try:
                out += _F32.pack(value)
            except OverflowError:
                out += _F32.pack(math.copysign(math.inf, value))
    return bytes(out)


class PureLink:
    # The reader of message texts; a subclass may bring a faster one whose
    # errors derive from json.JSONDecodeError.
    loads = staticmethod(json.loads)

    def __init__(self) -> None:
        self._tx: deque[bytes] = deque()
        self._rx = bytearray()

    def send(self, message: str) -> None:
        try:
            parsed = self.loads(message)
        except json.JSONDecodeError as exc:
            raise ValueError(f"Serde JSON error: {exc}") from None
        wire = cobs_encode(HEADER + encode_host_message(parsed))
        self._tx.extend(wire[i:i + MAX_PACKET_LEN] for i in range(0, len(wire), MAX_PACKET_LEN))

    def poll_transmit(self) -> str | None:
        if not self._tx:
            return None
        return "[" + ",".join(map(str, self._tx.popleft())) + "]"

    def handle_receive(self, packet: str) -> None:
        try:
            values = json.loads(packet)
            data = bytes(values)
        except (json.JSONDecodeError, TypeError, ValueError):
            raise ValueError("Serde JSON error: expected an array of u8") from None
        if not isinstance(values, list):
            raise ValueError("Serde JSON error: expected an array of u8")
        self._rx += data
        if len(self._rx) > RX_LIMIT:
            del self._rx[:len(self._rx) - RX_LIMIT]

    def poll_receive(self) -> str | None:
        while (end := self._rx.find(0)) >= 0:
            wire = bytes(self._rx[:end + 1])
            del self._rx[:end + 1]
            frame = cobs_decode(wire)
            if frame is None:
                continue
            if len(frame) < 6:
                raise ValueError("plim-api error: Message frame too short to contain a version header")
            major, minor, patch = struct.unpack_from("<HHH", frame)
            if (major, minor) != (0, 2):
                outdated = "host" if (major, minor, patch) > (0, 2, 0) else "plim"
                raise ValueError(f"plim-api error: plim-api version mismatch: host is v0.2.0, plim is "
                                 f"v{major}.{minor}.{patch} \u2014 update {outdated} to a compatible version")
            return decode_device_message(frame[6:])
        return None
