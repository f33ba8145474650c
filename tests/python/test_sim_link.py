"""The simulated plim against the real Link: exact texts each way, then a closed loop over loopback UDP."""
import json
import math
import select
import struct

import pytest

from plim_ffi import Link
from plim_sim import PlimSimulator, SimConfig, encode_device_message, encode_frame, split_packets, udp_pair
from plim_sim.host import HostPump
from plim_sim.wire import FrameSplitter, decode_frame
from plim_sim.messages import decode_host_message

QUIET = dict(drive_base_hz=0, imu_hz=0, scan_hz=0, ping_hz=0)
STATE = {
    "uid": "A1", "ip": None, "mac": "m", "current_network_connection": {"Err": "Timeout"},
    "available_network_connections": [{"ssid": "n", "strength": 200}],
    "built_in_test": {"power": [{"name": "bat", "result": "Pass"}], "wifi": [], "lidar": [], "imu": [],
                      "encoders": []},
}


def as_json_array(data):
    return "[" + ",".join(map(str, data)) + "]"


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def deliver(link, message, version=(0, 2, 0)):
    for packet in split_packets(encode_frame(encode_device_message(message), version)):
        link.handle_receive(as_json_array(packet))


@pytest.mark.parametrize("message, text", [
    ("Ping", '"Ping"'),
    ("Pong", '"Pong"'),
    ({"Scan": [{"quality": 15, "angle_rad": 1.5, "distance_mm": 1000.0}]},
     '{"Scan":[{"quality":15,"angle_rad":1.5,"distance_mm":1000.0}]}'),
    ({"DriveBaseState": {"left": {"effort_percent": 50.0, "velocity_rad_per_s": -0.25, "position_rad": 3.0},
                         "right": {"effort_percent": math.nan, "velocity_rad_per_s": 0.1, "position_rad": 1e-7}}},
     '{"DriveBaseState":{"left":{"effort_percent":50.0,"velocity_rad_per_s":-0.25,"position_rad":3.0},'
     '"right":{"effort_percent":null,"velocity_rad_per_s":0.1,"position_rad":1e-7}}}'),
    ({"ImuMeasurement": {"accel": {"x": 1.0, "y": -2.0, "z": math.inf}, "gyro": {"x": 0.0, "y": -0.0, "z": 1e13}}},
     '{"ImuMeasurement":{"accel":{"x":1.0,"y":-2.0,"z":null},"gyro":{"x":0.0,"y":-0.0,"z":1e+13}}}'),
    ({"State": STATE},
     '{"State":{"uid":"A1","ip":null,"mac":"m","current_network_connection":{"Err":"Timeout"},'
     '"available_network_connections":[{"ssid":"n","strength":200}],"built_in_test":{"power":'
     '[{"name":"bat","result":"Pass"}],"wifi":[],"lidar":[],"imu":[],"encoders":[]}}}'),
    ({"State": {**STATE, "uid": 'q"\\\n\x01é', "ip": "", "current_network_connection": {"Err": {"Other": "x"}},
                "available_network_connections": []}},
     '{"State":{"uid":"q\\"\\\\\\n\\u0001é","ip":"","mac":"m","current_network_connection":{"Err":{"Other":"x"}},'
     '"available_network_connections":[],"built_in_test":{"power":[{"name":"bat","result":"Pass"}],'
     '"wifi":[],"lidar":[],"imu":[],"encoders":[]}}}'),
])
def test_link_reads_simulator_frames_exactly(message, text):
    link = Link()
    deliver(link, message)
    assert link.poll_receive() == text
    assert link.poll_receive() is None


def test_multi_packet_sweep_survives_the_link():
    sweep = [{"quality": i % 256, "angle_rad": i * 0.0125, "distance_mm": 500.0 + i} for i in range(500)]
    wire = encode_frame(encode_device_message({"Scan": sweep}))
    assert len(split_packets(wire)) == 4
    link = Link()
    deliver(link, {"Scan": sweep})
    decoded = json.loads(link.poll_receive())["Scan"]
    # The text carries the shortest digits of each 32-bit value; compare as 32-bit values.
    assert [(p["quality"], f32(p["angle_rad"]), p["distance_mm"]) for p in decoded] == \
        [(p["quality"], f32(p["angle_rad"]), p["distance_mm"]) for p in sweep]


@pytest.mark.parametrize("version, update", [((0, 3, 1), "host"), ((0, 1, 4), "plim"), ((1, 0, 0), "host")])
def test_incompatible_simulator_is_refused_then_link_recovers(version, update):
    link = Link()
    deliver(link, "Pong", version)
    deliver(link, "Ping")
    with pytest.raises(ValueError) as refusal:
        link.poll_receive()
    peer = ".".join(map(str, version))
    assert refusal.value.args == (f"plim-api error: plim-api version mismatch: host is v0.2.0, plim is v{peer} "
                                  f"\u2014 update {update} to a compatible version",)
    assert link.poll_receive() == '"Ping"'


@pytest.mark.parametrize("text, message", [
    ('"Ping"', "Ping"),
    ('{"Pong":null}', "Pong"),
    ('"RequestNetworkScan"', "RequestNetworkScan"),
    ('{"SetUid":{"uid":"A1"}}', {"SetUid": {"uid": "A1"}}),
    ('{"SetNetworkConnectionConfig":["lab",""]}', {"SetNetworkConnectionConfig": {"ssid": "lab", "password": ""}}),
    ('{"SetDriveBaseVelocity":[1,-2]}',
     {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 1.0, "right_velocity_rad_per_s": -2.0}}),
    ('{"SetUid":["' + "é" * 1500 + '"]}', {"SetUid": {"uid": "é" * 1500}}),
])
def test_simulator_reads_link_packets(text, message):
    link = Link()
    link.send(text)
    splitter = FrameSplitter()
    frames = []
    while (packet := link.poll_transmit()) is not None:
        frames += splitter.feed(bytes(json.loads(packet)))
    assert len(frames) == 1
    version, body = decode_frame(frames[0])
    assert (version, decode_host_message(body)) == ((0, 2, 0), message)


@pytest.fixture
def loop():
    host_sock, plim_sock = udp_pair()
    yield host_sock, plim_sock
    host_sock.close()
    plim_sock.close()


def run(sim, pump, start, seconds, step=0.01):
    """Alternates the plim and the host on simulated time; returns what the host decoded."""
    received = []
    for i in range(round(seconds / step)):
        sim.pump(start + i * step)
        received += pump.receive()
    select.select([pump.sock], [], [], 0.05)
    received += pump.receive()
    return [json.loads(text) for text in received]


def of_kind(messages, name):
    return [m[name] for m in messages if isinstance(m, dict) and name in m]


def test_closed_loop_drives_the_wheels_and_reports(loop):
    host_sock, plim_sock = loop
    sim = PlimSimulator(plim_sock, SimConfig(drive_base_hz=10, imu_hz=20, scan_hz=2, scan_points=100, ping_hz=0))
    pump = HostPump(Link(), host_sock)
    pump.send('{"SetDriveBaseVelocity":[4,4]}')
    messages = run(sim, pump, 0.0, 2.0)

    assert pump.errors == []
    drive = of_kind(messages, "DriveBaseState")
    assert 19 <= len(drive) <= 21
    left, right = drive[-1]["left"], drive[-1]["right"]
    assert left == right
    assert left["velocity_rad_per_s"] == pytest.approx(4.0, rel=1e-3)
    assert left["effort_percent"] == pytest.approx(16.0, rel=1e-3)
    assert 6.5 < left["position_rad"] < 8.0
    imu = of_kind(messages, "ImuMeasurement")
    assert 39 <= len(imu) <= 41 and abs(imu[-1]["gyro"]["z"]) < 0.01
    assert imu[-1]["accel"]["z"] == pytest.approx(9.81, rel=0.05)
    scans = of_kind(messages, "Scan")
    assert 4 <= len(scans) <= 5 and all(len(s) == 100 for s in scans)

    pump.send('{"SetDriveBaseVelocity":[0,0]}')
    stopped = of_kind(run(sim, pump, 2.0, 1.0), "DriveBaseState")[-1]["left"]
    assert abs(stopped["velocity_rad_per_s"]) < 0.01
    assert stopped["position_rad"] == pytest.approx(left["position_rad"] + 4.0 * 0.15, rel=0.1)


@pytest.mark.parametrize("ssid, password, connection, ip, wifi", [
    ("lab", "plim-lab-pw", {"Ok": "lab"}, "10.0.0.42", "Pass"),
    ("lab", "wrong", {"Err": "AuthOrRefused"}, None, "Waiting"),
    ("cafe", "", {"Err": "Timeout"}, None, "Waiting"),
])
def test_settings_change_the_reported_state(loop, ssid, password, connection, ip, wifi):
    host_sock, plim_sock = loop
    sim = PlimSimulator(plim_sock, SimConfig(**QUIET))
    pump = HostPump(Link(), host_sock)
    pump.send('"RequestNetworkScan"')
    pump.send(json.dumps({"SetUid": ["bot-7"]}))
    pump.send(json.dumps({"SetNetworkConnectionConfig": {"password": password, "ssid": ssid}}))
    pump.send('{"RequestNetworkScan":null}')
    pump.send('"Ping"')
    messages = run(sim, pump, 0.0, 0.05)
    before, after = of_kind(messages, "State")
    assert (before["uid"], before["ip"], before["current_network_connection"]) == ("SIM-0001", None, None)
    assert (after["uid"], after["ip"], after["current_network_connection"]) == ("bot-7", ip, connection)
    assert after["built_in_test"]["wifi"] == [{"name": "radio", "result": wifi}]
    assert messages[-1] == "Pong"


@pytest.mark.parametrize("wire", [
    b"\x00",  # too short for a header
    b"\x03\x11\x00",  # COBS block runs into the delimiter
    encode_frame(b"\x00", (0, 3, 0)),  # host speaks an incompatible version
    encode_frame(b"\x09"),  # no such host message
    encode_frame(b"\x05\x00\x00"),  # velocity record cut short
])
def test_simulator_ignores_bad_host_frames(loop, wire):
    host_sock, plim_sock = loop
    sim = PlimSimulator(plim_sock, SimConfig(**QUIET))
    host_sock.send(wire)
    host_sock.send(encode_frame(b"\x00"))
    select.select([plim_sock], [], [], 1.0)
    sim.serve_pending()
    assert (sim.refused_frames, dict(sim.received), dict(sim.sent)) == (1, {"Ping": 1}, {"Pong": 1})
