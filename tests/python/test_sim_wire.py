"""The simulator's own device-side encoder and host-side decoder, against hand-computed bytes."""
import pytest

from plim_sim import (cobs_decode, cobs_encode, decode_host_message, encode_device_message, encode_frame,
                      split_packets)
from plim_sim.wire import FrameSplitter, Reader, WireError, decode_frame, is_compatible, varint

ONES = bytes([1]) * 254
STATE = {
    "uid": "A1", "ip": None, "mac": "m", "current_network_connection": {"Err": "Timeout"},
    "available_network_connections": [{"ssid": "n", "strength": 200}],
    "built_in_test": {"power": [{"name": "bat", "result": "Pass"}], "wifi": [], "lidar": [], "imu": [],
                      "encoders": []},
}


@pytest.mark.parametrize("value, wire", [
    (0, "00"), (127, "7f"), (128, "80 01"), (300, "ac 02"), (16384, "80 80 01"),
    (2**64 - 1, "ff ff ff ff ff ff ff ff ff 01"),
])
def test_varint(value, wire):
    assert varint(value) == bytes.fromhex(wire)
    assert Reader(bytes.fromhex(wire)).varint() == value


@pytest.mark.parametrize("data, wire", [
    (b"", b"\x01\x00"),
    (b"\x00", b"\x01\x01\x00"),
    (bytes.fromhex("11220033"), bytes.fromhex("031122023300")),
    (ONES, b"\xff" + ONES + b"\x00"),
    (ONES + b"\x00", b"\xff" + ONES + b"\x01\x01\x00"),
    (ONES + b"\x01", b"\xff" + ONES + b"\x02\x01\x00"),
    (b"\x00" + ONES + b"\x00\x00", b"\x01\xff" + ONES + b"\x01\x01\x01\x00"),
])
def test_cobs_round_trip(data, wire):
    assert cobs_encode(data) == wire
    assert cobs_decode(wire) == data


@pytest.mark.parametrize("wire", [b"", b"\x03\x11\x00", b"\x05\x01\x02"])
def test_cobs_refuses_truncated_blocks(wire):
    assert cobs_decode(wire) is None


@pytest.mark.parametrize("message, body", [
    ("Ping", "00"),
    ("Pong", "01"),
    ({"Scan": []}, "02 00"),
    ({"Scan": [{"quality": 15, "angle_rad": 1.5, "distance_mm": 1000.0}]}, "02 01 0f 00 00 c0 3f 00 00 7a 44"),
    ({"DriveBaseState": {"left": {"effort_percent": 50.0, "velocity_rad_per_s": -0.25, "position_rad": 3.0},
                         "right": {"effort_percent": float("nan"), "velocity_rad_per_s": 0.1,
                                   "position_rad": 1e-7}}},
     "03 00 00 48 42 00 00 80 be 00 00 40 40 00 00 c0 7f cd cc cc 3d 95 bf d6 33"),
    ({"ImuMeasurement": {"accel": {"x": 1.0, "y": -2.0, "z": 1e39}, "gyro": {"x": 0.0, "y": -0.0, "z": 0.5}}},
     "04 00 00 80 3f 00 00 00 c0 00 00 80 7f 00 00 00 00 00 00 00 80 00 00 00 3f"),
    ({"State": STATE}, "05 02 41 31 00 01 01 6d 01 01 00 01 01 6e c8 01 03 62 61 74 01 00 00 00 00"),
    ({"State": {**STATE, "ip": "é", "current_network_connection": {"Ok": "x"}}},
     "05 02 41 31 01 02 c3 a9 01 01 6d 01 00 01 78 01 01 6e c8 01 03 62 61 74 01 00 00 00 00"),
    ({"State": {**STATE, "current_network_connection": {"Err": {"Other": "dns"}}}},
     "05 02 41 31 00 01 01 6d 01 01 02 03 64 6e 73 01 01 6e c8 01 03 62 61 74 01 00 00 00 00"),
])
def test_device_message_body(message, body):
    assert encode_device_message(message) == bytes.fromhex(body)


@pytest.mark.parametrize("message", ["Scan", {"Ping": None}, {"Scan": [{"quality": 256, "angle_rad": 0.0,
                                                                         "distance_mm": 0.0}]}])
def test_device_encoder_refuses_malformed_messages(message):
    with pytest.raises(ValueError):
        encode_device_message(message)


def test_frame_carries_version_header():
    assert encode_frame(b"\x00") == bytes.fromhex("01 01 02 02 01 01 01 01 00")
    assert encode_frame(b"\x00", (0, 3, 1)) == bytes.fromhex("01 01 02 03 02 01 01 01 00")


@pytest.mark.parametrize("length, sizes", [(1, [1]), (1400, [1400]), (1401, [1400, 1]), (2801, [1400, 1400, 1])])
def test_split_packets(length, sizes):
    wire = bytes(range(1, 201)) * 15
    packets = split_packets(wire[:length - 1] + b"\x00")
    assert [len(p) for p in packets] == sizes
    assert b"".join(packets) == wire[:length - 1] + b"\x00"


@pytest.mark.parametrize("body, message", [
    ("00", "Ping"), ("01", "Pong"), ("02", "RequestNetworkScan"), ("80 00", "Ping"), ("00 ff", "Ping"),
    ("03 03 6c 61 62 00", {"SetNetworkConnectionConfig": {"ssid": "lab", "password": ""}}),
    ("04 02 41 31", {"SetUid": {"uid": "A1"}}),
    ("05 00 00 c0 3f 00 00 c0 bf",
     {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 1.5, "right_velocity_rad_per_s": -1.5}}),
])
def test_host_message_decoding(body, message):
    assert decode_host_message(bytes.fromhex(body)) == message


@pytest.mark.parametrize("body", ["", "06", "80", "04 05 41", "04 02 c3 28", "05 00 00 c0 3f 00 00 c0",
                                  "ff ff ff ff 10"])
def test_host_message_decoding_refuses(body):
    with pytest.raises(WireError):
        decode_host_message(bytes.fromhex(body))


def test_frame_decoding_and_version_rule():
    assert decode_frame(bytes.fromhex("01 01 02 02 01 01 01 01 00")) == ((0, 2, 0), b"\x00")
    with pytest.raises(WireError):
        decode_frame(b"\x00")
    assert is_compatible((0, 2, 0), (0, 2, 7))
    assert not any(is_compatible((0, 2, 0), v) for v in [(0, 3, 0), (0, 1, 9), (1, 2, 0), (0, 0, 0)])


def test_frame_splitter_joins_and_cuts_packets():
    splitter = FrameSplitter()
    assert splitter.feed(b"\x01\x01") == []
    assert splitter.feed(b"\x02\x00\x05\x00\x07") == [b"\x01\x01\x02\x00", b"\x05\x00"]
    assert splitter.feed(b"\x00") == [b"\x07\x00"]
