"""The published JSON Schemas agree with what the Link accepts and returns."""
import json
from pathlib import Path

import jsonschema
import pytest

from cases import DEVICE_FRAMES, HOST_MESSAGES
from plim_ffi import Link
from plim_link.messages import DEVICE_MESSAGE_KINDS
from plim_sim import PlimSimulator, SimConfig, udp_pair
from plim_sim.host import HostPump

SCHEMAS = Path(__file__).parents[2] / "schemas"


def validator(name):
    schema = json.loads((SCHEMAS / f"{name}.schema.json").read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


HOST = validator("host_to_plim")
DEVICE = validator("plim_to_host")

# Refused by the Link and expressible in a schema. (Not expressible: a field given twice,
# numbers beyond the 64-bit range, text after the message.)
REFUSED_HOST_MESSAGES = [
    # unknown variant
    '{"Foo":null}', '"ping"', '"Scan"', '{"setuid":["A1"]}',
    # a variant with payload given as a bare string, or without its record
    '"SetUid"', '"SetDriveBaseVelocity"', '{"SetUid":null}', '{"SetUid":"A1"}',
    # a variant without payload given a value
    '{"Ping":{}}', '{"Pong":0}', '{"RequestNetworkScan":[]}',
    # wrong field type
    '{"SetUid":{"uid":5}}', '{"SetUid":[null]}', '{"SetDriveBaseVelocity":["1.5",2]}',
    '{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":true,"right_velocity_rad_per_s":0}}',
    '{"SetNetworkConnectionConfig":["lab",1]}',
    # missing field (names are case-sensitive)
    '{"SetUid":{}}', '{"SetUid":{"UID":"A1"}}', '{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":1}}',
    '{"SetNetworkConnectionConfig":{"password":"x"}}',
    # too few or too many array elements
    '{"SetUid":[]}', '{"SetDriveBaseVelocity":[1]}', '{"SetNetworkConnectionConfig":["lab"]}',
    '{"SetDriveBaseVelocity":[1,2,3]}',
    # not exactly one member
    '{"Ping":null,"Pong":null}', '{"SetUid":["A1"],"Ping":null}', "{}",
    # not a message at all
    "[]", "5", "null", '""',
]


@pytest.mark.parametrize("text", [text for text, _ in HOST_MESSAGES])
def test_every_accepted_host_message_matches_the_schema(text):
    HOST.validate(json.loads(text))


@pytest.mark.parametrize("text", REFUSED_HOST_MESSAGES)
def test_refused_host_messages_are_refused_by_link_and_schema(text):
    link = Link()
    with pytest.raises(ValueError, match="^Serde JSON error: "):
        link.send(text)
    assert link.poll_transmit() is None
    assert not HOST.is_valid(json.loads(text))


@pytest.mark.parametrize("text", [text for _, text in DEVICE_FRAMES])
def test_every_returned_device_text_matches_the_schema(text):
    DEVICE.validate(json.loads(text))


@pytest.mark.parametrize("value", [
    "Scan", {"Ping": None}, {"Scan": [{"quality": 256, "angle_rad": 0.0, "distance_mm": 0.0}]},
    {"Scan": [{"quality": 1, "angle_rad": 0.0}]}, {"Scan": [], "Pong": None},
    {"State": {"uid": "A1"}}, {"ImuMeasurement": {"accel": {"x": 1, "y": 2, "z": 3}, "gyro": {"x": "1"}}},
])
def test_device_schema_refuses_what_the_link_never_returns(value):
    assert not DEVICE.is_valid(value)


@pytest.mark.parametrize("name, schema, check", [
    ("host_to_plim", HOST, lambda value: Link().send(json.dumps(value))),
    ("plim_to_host", DEVICE, None),
])
def test_schema_examples_are_valid(name, schema, check):
    examples = schema.schema["examples"]
    assert examples
    for example in examples:
        schema.validate(example)
        if check:
            check(example)


def test_everything_the_simulator_emits_matches_the_schema():
    host_sock, plim_sock = udp_pair()
    try:
        sim = PlimSimulator(plim_sock, SimConfig(drive_base_hz=20, imu_hz=50, scan_hz=5, scan_points=50, ping_hz=2))
        pump = HostPump(Link(), host_sock)
        texts = []
        for round_, (ssid, password) in enumerate([("lab", "plim-lab-pw"), ("lab", "no"), ("cafe", "")]):
            for message in ['"RequestNetworkScan"', json.dumps({"SetNetworkConnectionConfig": [ssid, password]}),
                            '"Ping"', '{"SetDriveBaseVelocity":[3,-1e39]}', '"RequestNetworkScan"']:
                pump.send(message)
            for step in range(60):
                sim.pump(round_ + step * 0.01)
                texts += pump.receive()
    finally:
        host_sock.close()
        plim_sock.close()
    assert pump.errors == []
    kinds = {m if isinstance(m, str) else next(iter(m)) for m in map(json.loads, texts)}
    assert kinds and kinds <= set(DEVICE_MESSAGE_KINDS)
    for text in texts:
        DEVICE.validate(json.loads(text))
