"""What ObjectLink.send says when it refuses a value: where, and what."""
import pytest

from plim_ffi import ObjectLink


class Opaque:
    pass


VARIANTS = "`Ping`, `Pong`, `RequestNetworkScan`, `SetNetworkConnectionConfig`, `SetUid`, `SetDriveBaseVelocity`"
LEFT = "SetDriveBaseVelocity.left_velocity_rad_per_s"
deep = []
for _ in range(100_000):
    deep = [deep]

REFUSALS = [
    (5, ValueError, "message: expected a variant name or a one-member dict, got int"),
    (Opaque(), TypeError, "message: expected a variant name or a one-member dict, got Opaque, which JSON cannot hold"),
    ("Foo", ValueError, f"message: unknown variant `Foo`, expected one of {VARIANTS}"),
    ("\ud800", ValueError, "message: a str with a lone surrogate cannot be sent"),
    ("SetUid", ValueError, "SetUid: a variant with a record needs a one-member dict, got its bare name"),
    ({}, ValueError, "message: expected a dict with one member, got 0"),
    ({"Ping": None, "Pong": None}, ValueError, "message: expected a dict with one member, got 2"),
    ({1: None}, TypeError, "message: dict keys must be str, got int"),
    ({"Ping": {}}, ValueError, "Ping: expected None, got dict"),
    ({"SetUid": "A1"}, ValueError, "SetUid: expected a dict or a list, got str"),
    ({"SetUid": {}}, ValueError, "SetUid: missing field `uid`"),
    ({"SetUid": ["A1", "B2"]}, ValueError, "SetUid: expected 1 element, got 2"),
    ({"SetUid": [5]}, ValueError, "SetUid.uid: expected a str, got int"),
    ({"SetUid": {"uid": "A1", 3: 0}}, TypeError, "SetUid: dict keys must be str, got int"),
    ({"SetUid": {"uid": "A1", "\udc00": 0}}, ValueError, "SetUid: a str with a lone surrogate cannot be sent"),
    ({"SetUid": {"uid": "A1", "note": [float("nan")]}}, ValueError, "SetUid.note: NaN and infinities cannot be sent"),
    ({"SetUid": {"uid": "A1", "note": {b"raw"}}}, TypeError,
     "SetUid.note: expected a JSON value, got set, which JSON cannot hold"),
    ({"SetUid": {"uid": "A1", "note": deep}}, ValueError, "SetUid.note: nested too deeply"),
    ({"SetDriveBaseVelocity": ["1.5", 0]}, ValueError, f"{LEFT}: expected a number, got str"),
    ({"SetDriveBaseVelocity": [True, 0]}, ValueError, f"{LEFT}: expected a number, got bool"),
    ({"SetDriveBaseVelocity": [float("inf"), 0]}, ValueError, f"{LEFT}: expected a number, got inf"),
    ({"SetDriveBaseVelocity": [10**400, 0]}, ValueError, f"{LEFT}: number out of range"),
]


@pytest.mark.parametrize("value, error, text", REFUSALS)
def test_refusal_says_where_and_what_and_queues_nothing(value, error, text):
    link = ObjectLink()
    with pytest.raises(error) as raised:
        link.send(value)
    assert raised.value.args == (text,)
    assert link.poll_transmit() is None
