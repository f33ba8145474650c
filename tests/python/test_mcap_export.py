"""MCAP out of a recording and straight from a client, read back with the mcap package."""
import base64
import json
import math
import struct

import pytest

from client_support import WAIT_S, host_messages, run_child, sim_url  # noqa: F401
from plim_ffi import Link
from plim_link import PlimClient
from plim_link.channels import kind_schema, message_channels, schema_document
from plim_link.recording import RECEIVED, read_records

mcap_reader = pytest.importorskip("mcap.reader")
jsonschema = pytest.importorskip("jsonschema")


def mcap_messages(path):
    with open(path, "rb") as stream:
        return [(schema, channel, message)
                for schema, channel, message in mcap_reader.make_reader(stream).iter_messages(log_time_order=False)]


def expected_from(path):
    """(topic, log time, message) of every message of a recording, decoded here on its own."""
    out, links = [], {}
    for record in read_records(path.open("rb")):
        if record.direction == RECEIVED:
            link = links.setdefault(record.session, Link())
            link.handle_receive(json.dumps(list(record.payload)))
            while (text := link.poll_receive()) is not None:
                message = json.loads(text)
                out.append(("/plim/" + (message if isinstance(message, str) else next(iter(message))),
                            record.wall_ns, message))
        else:
            for message in host_messages([record.payload]):
                out.append(("/plim/host/" + (message if isinstance(message, str) else next(iter(message))),
                            record.wall_ns, message))
    return out


@pytest.fixture
def recording(sim_url, tmp_path):
    path = tmp_path / "run.plimlog"
    with PlimClient(sim_url, record=path) as client:
        client.set_uid("mcap")
        client.request_network_scan()
        client.set_drive_base_velocity(3.0, -3.0)
        client.recv_match("State", WAIT_S)
        for _ in range(3):
            client.recv_match("Scan", WAIT_S)
    return path


def test_an_export_holds_every_message_in_order_with_its_schema(recording, tmp_path):
    from plim_link.mcap_export import export
    out = tmp_path / "run.mcap"
    exported = export(recording, out)
    got = mcap_messages(out)
    plain = [(c.topic, m.log_time, json.loads(m.data)) for _, c, m in got if c.topic != "/plim/Scan/points"]
    expected = expected_from(recording)
    assert plain == expected and exported.messages == len(expected)
    assert {"/plim/host/SetUid", "/plim/host/SetDriveBaseVelocity", "/plim/State", "/plim/Scan"} <= {e[0] for e in expected}
    validators = {}
    for schema, channel, message in got:
        assert (schema.encoding, channel.message_encoding) == ("jsonschema", "json")
        if schema.id not in validators:
            validators[schema.id] = jsonschema.Draft202012Validator(json.loads(schema.data))
        validators[schema.id].validate(json.loads(message.data))
    sequences = {}
    for _, channel, message in got:
        sequences.setdefault(channel.topic, []).append(message.sequence)
    assert all(numbers == list(range(1, len(numbers) + 1)) for numbers in sequences.values())


def test_a_sweep_is_also_points_in_metres_in_the_robots_frame(recording, tmp_path):
    from plim_link.mcap_export import export
    export(recording, tmp_path / "run.mcap")
    got = mcap_messages(tmp_path / "run.mcap")
    scans = {m.log_time: json.loads(m.data)["Scan"] for _, c, m in got if c.topic == "/plim/Scan"}
    clouds = [(s.name, m.log_time, json.loads(m.data)) for s, c, m in got if c.topic == "/plim/Scan/points"]
    assert len(clouds) == len(scans) >= 3
    for name, time_ns, cloud in clouds:
        assert (name, cloud["frame_id"], cloud["timestamp"]) == ("foxglove.PointCloud", "plim",
                                                                 {"sec": time_ns // 10**9, "nsec": time_ns % 10**9})
        points = list(struct.iter_unpack("<ffB", base64.b64decode(cloud["data"])))
        sweep = scans[time_ns]
        assert len(points) == len(sweep) == 360 and cloud["point_stride"] == 9
        for (x, y, quality), point in zip(points, sweep):
            metres = point["distance_mm"] / 1000
            assert quality == point["quality"]
            assert math.isclose(x, metres * math.cos(point["angle_rad"]), abs_tol=1e-6)
            assert math.isclose(y, metres * math.sin(point["angle_rad"]), abs_tol=1e-6)


@pytest.mark.parametrize("family, kind, good, bad", [
    ("plim_to_host", "DriveBaseState", {"DriveBaseState": {"left": {"effort_percent": None, "velocity_rad_per_s": 1.0,
                                        "position_rad": 2.0}, "right": {"effort_percent": 0.0, "velocity_rad_per_s": 0.0,
                                        "position_rad": 0.0}}}, {"Scan": []}),
    ("plim_to_host", "Ping", "Ping", "Pong"),
    ("host_to_plim", "Ping", {"Ping": None}, {"Pong": None}),
    ("host_to_plim", "SetUid", {"SetUid": {"uid": "A1"}}, {"SetUid": {}}),
])
def test_each_kind_has_the_part_of_its_familys_schema_that_fits_it(family, kind, good, bad):
    schema = kind_schema(schema_document(family), kind)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    assert validator.is_valid(good) and not validator.is_valid(bad)
    assert [c.topic for c in message_channels()] == (
        [f"/plim/{k}" for k in ("Ping", "Pong", "Scan", "DriveBaseState", "ImuMeasurement", "State")]
        + [f"/plim/host/{k}" for k in ("Ping", "Pong", "RequestNetworkScan", "SetNetworkConnectionConfig", "SetUid",
                                       "SetDriveBaseVelocity")] + ["/plim/Scan/points"])


def test_a_client_records_straight_to_mcap(sim_url, tmp_path):
    path = tmp_path / "live.mcap"
    with PlimClient(sim_url, record=path) as client:
        client.set_drive_base_velocity(2.0, -2.0)
        assert client.recv_match("DriveBaseState", WAIT_S) is not None
    got = mcap_messages(path)
    assert [m.data for _, c, m in got if c.topic == "/plim/host/SetDriveBaseVelocity"] == [
        b'{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":2.0,"right_velocity_rad_per_s":-2.0}}',
        b'{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":0.0,"right_velocity_rad_per_s":0.0}}']
    assert "/plim/DriveBaseState" in {c.topic for _, c, _ in got}
    with pytest.raises(FileExistsError, match="live.mcap exists; an MCAP file cannot be appended to, record to a new one"):
        PlimClient(sim_url, record=path)
    assert mcap_messages(path) == got


def test_without_the_mcap_extra_recording_to_mcap_says_what_to_install(tmp_path):
    run = run_child(f"""
import sys
sys.modules["mcap"] = None
from plim_link import PlimClient
try:
    PlimClient("sim://", record={str(tmp_path / 'x.mcap')!r})
except ValueError as exc:
    print(exc)
""")
    assert run.stdout == "recording to MCAP needs mcap: pip install 'plim_ffi[mcap]'\n"
    assert not (tmp_path / "x.mcap").exists()
