"""ObjectLink reads a value as json.dumps does, subclasses included: it
accepts exactly what Link accepts of json.dumps(value), with the same bytes."""
import json

import pytest

from plim_ffi import Link, ObjectLink

from conftest import Key, drain


class Items(dict):
    """A dict subclass whose items() give other members than it holds."""
    def items(self):
        return [("uid", "B")]


class NotPairs(dict):
    def items(self):
        return [("uid",)]


class Reversed(list):
    def __iter__(self):
        return iter(list(super().__iter__())[::-1])


class Shorter(tuple):
    def __iter__(self):
        return iter([1.5])


class Failing(dict):
    def items(self):
        raise LookupError("items() failed")


def through_link(value):
    """Link's packets for json.dumps(value), or None when either refuses."""
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        return None
    link = Link()
    try:
        link.send(text)
    except ValueError:
        return None
    return [bytes(json.loads(p)) for p in drain(link.poll_transmit)]


def through_object_link(value):
    link = ObjectLink()
    try:
        link.send(value)
    except (TypeError, ValueError) as error:
        assert link.poll_transmit() is None
        return error
    return drain(link.poll_transmit)


VALUES = [
    pytest.param({"SetUid": {Key("uid"): "A", "uid": "B"}}, "SetUid: duplicate field `uid`", id="field twice"),
    pytest.param({"SetUid": {"uid": "A", Key("uid"): "B"}}, "SetUid: duplicate field `uid`", id="subclass second"),
    pytest.param({"SetUid": {Key("uid"): "A", Key("uid"): "B"}}, "SetUid: duplicate field `uid`", id="both subclass"),
    pytest.param({"SetDriveBaseVelocity": {Key("left_velocity_rad_per_s"): 1.0, "left_velocity_rad_per_s": 2.0,
                                           "right_velocity_rad_per_s": 0.0}},
                 "SetDriveBaseVelocity: duplicate field `left_velocity_rad_per_s`", id="velocity twice"),
    pytest.param({"SetUid": {Key("x"): 1, "x": 2, "uid": "A"}}, None, id="unknown member twice"),
    pytest.param({Key("SetUid"): {Key("uid"): "A"}}, None, id="subclass keys"),
    pytest.param({"SetUid": Items(uid="A")}, None, id="items() read"),
    pytest.param({"SetUid": Items()}, "SetUid: missing field `uid`", id="empty dict subclass"),
    pytest.param(Items(SetUid=None), "message: unknown variant `uid`, expected one of `Ping`, `Pong`, "
                 "`RequestNetworkScan`, `SetNetworkConnectionConfig`, `SetUid`, `SetDriveBaseVelocity`",
                 id="items() of the message"),
    pytest.param({"SetUid": NotPairs(uid="A")}, "SetUid: items() must give (key, value) pairs", id="not pairs"),
    pytest.param({"SetUid": {"uid": "A", "x": NotPairs(a=1)}}, "SetUid.x: items() must give (key, value) pairs",
                 id="not pairs unread"),
    pytest.param({"SetDriveBaseVelocity": Reversed([1.5, -2.0])}, None, id="list iterator"),
    pytest.param({"SetDriveBaseVelocity": Shorter((1.5, -2.0))},
                 "SetDriveBaseVelocity: expected 2 elements, got 1", id="tuple iterator"),
    pytest.param({"SetUid": {"uid": "A", "x": Reversed([1, float("nan")])}},
                 "SetUid.x: NaN and infinities cannot be sent", id="list iterator unread"),
]


@pytest.mark.parametrize("value, refusal", VALUES)
def test_object_link_reads_what_json_dumps_reads(value, refusal):
    expected = through_link(value)
    got = through_object_link(value)
    if refusal is None:
        assert got == expected and expected
    else:
        assert expected is None
        assert (type(got), got.args) == (ValueError, (refusal,))


def test_an_exception_from_items_propagates():
    link = ObjectLink()
    with pytest.raises(LookupError, match=r"items\(\) failed"):
        link.send({"SetUid": Failing(uid="A")})
    with pytest.raises(LookupError):
        json.dumps({"SetUid": Failing(uid="A")})
    assert link.poll_transmit() is None


class Sneaky(dict):
    """Empties the dict that holds it while it is read."""
    def __init__(self, holder):
        super().__init__(a=1)
        self.holder = holder

    def items(self):
        self.holder.clear()
        return [("a", 1)]


def test_a_container_emptied_under_the_walk_is_read_safely():
    record = {"uid": "A", "x": None}
    record["x"] = Sneaky(record)
    link = ObjectLink()
    link.send({"SetUid": record})
    assert drain(link.poll_transmit) == through_link({"SetUid": {"uid": "A"}})
