"""handle_receive and poll_receive end to end: packets in, decoded JSON or errors out."""
import struct

import pytest

from cases import DEVICE_FRAMES, DRIVE_BASE_BODY, PING_PACKET, SCAN_BODY, SCAN_WIRE, STATE_BODY, packet_json, wire
from conftest import drain
from plim_link.messages import DEVICE_MESSAGE_KINDS

PING_WIRE = bytes([1, 1, 2, 2, 1, 1, 1, 1, 0])
SHORT = "plim-api error: Message frame too short to contain a version header"
DECODE = "plim-api error: message decode failed: "
END_OF_INPUT = DECODE + "Hit the end of buffer, expected more data"
DESERIALIZE = DECODE + "Serde Deserialization Error"


def mismatch(peer, side):
    return (f"plim-api error: plim-api version mismatch: host is v0.2.0, plim is v{peer}"
            f" \u2014 update {side} to a compatible version")


def header(major, minor, patch):
    return struct.pack("<HHH", major, minor, patch)


def state_with(test_status=b"\x01", connection=b"\x00", ip=b"\x00", uid=b"\x02A1"):
    return b"\x05" + uid + ip + b"\x00" + connection + b"\x00" + b"\x01\x01p" + test_status + b"\x00" * 4


LINK_ERRORS = [
    (bytes([0]), SHORT),
    (wire(b"", header=b"\x00\x00\x02\x00\x00"), SHORT),
    (wire(b""), END_OF_INPUT),
    (wire(b"\x00", header=header(0, 3, 1)), mismatch("0.3.1", "host")),
    (wire(b"\x00", header=header(0, 1, 4)), mismatch("0.1.4", "plim")),
    (wire(b"\x00", header=header(1, 0, 0)), mismatch("1.0.0", "host")),
    (wire(b"\x00", header=header(0, 0, 0)), mismatch("0.0.0", "plim")),
    (wire(b"\x00", header=bytes.fromhex("0a0000010500")), mismatch("10.256.5", "host")),
    (wire(bytes([len(DEVICE_MESSAGE_KINDS)])), DESERIALIZE),
    (wire(bytes.fromhex("ffffffff0f")), DESERIALIZE),
    (wire(bytes.fromhex("ffffffff10")), DECODE + "Found a varint that didn't terminate. Is the usize too big for this platform?"),
    (wire(bytes.fromhex("808080808000")), DECODE + "Found a varint that didn't terminate. Is the usize too big for this platform?"),
    (wire(b"\x80"), END_OF_INPUT),
    (wire(DRIVE_BASE_BODY[:24]), END_OF_INPUT),
    (wire(bytes.fromhex("02c0843d01020304")), END_OF_INPUT),
    (wire(STATE_BODY[:-1]), END_OF_INPUT),
    (wire(state_with(test_status=b"\x03")), DESERIALIZE),
    (wire(state_with(connection=b"\x01\x02")), DESERIALIZE),
    (wire(state_with(connection=b"\x01\x01\x03")), DESERIALIZE),
    (wire(state_with(ip=b"\x02")), DECODE + "Found an Option discriminant that wasn't 0 or 1"),
    (wire(state_with(uid=b"\x02\xc3\x28")), DECODE + "Tried to parse invalid utf-8"),
    (wire(state_with(uid=b"\x03\xed\xa0\x80")), DECODE + "Tried to parse invalid utf-8"),
]

PACKET_REFUSALS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("x", "expected value at line 1 column 1"),
    ("[1,256]", "invalid value: integer `256`, expected u8 at line 1 column 6"),
    ("[256]", "invalid value: integer `256`, expected u8 at line 1 column 4"),
    ("[\n1,\n300]", "invalid value: integer `300`, expected u8 at line 3 column 3"),
    ("[-1]", "invalid value: integer `-1`, expected u8 at line 1 column 3"),
    ("[1.5]", "invalid type: floating point `1.5`, expected u8 at line 1 column 4"),
    ("[1e2]", "invalid type: floating point `100.0`, expected u8 at line 1 column 4"),
    ("[-0]", "invalid type: floating point `-0.0`, expected u8 at line 1 column 3"),
    ("[18446744073709551616]",
     "invalid type: floating point `1.8446744073709552e+19`, expected u8 at line 1 column 21"),
    ("[null]", "invalid type: null, expected u8 at line 1 column 5"),
    ("[true]", "invalid type: boolean `true`, expected u8 at line 1 column 5"),
    ('["1"]', 'invalid type: string "1", expected u8 at line 1 column 4'),
    ("[[]]", "invalid type: sequence, expected u8 at line 1 column 1"),
    ("{}", "invalid type: map, expected a sequence at line 1 column 0"),
    ('"x"', 'invalid type: string "x", expected a sequence at line 1 column 3'),
    ("[1,2,]", "trailing comma at line 1 column 6"),
    ("[1,2", "EOF while parsing a list at line 1 column 4"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[1] 2", "trailing characters at line 1 column 5"),
]


@pytest.mark.parametrize("packet, message", DEVICE_FRAMES)
def test_device_message_json(link, packet, message):
    assert link.handle_receive(packet) is None
    assert link.poll_receive() == message
    assert link.poll_receive() is None


def test_scan_worked_example_on_the_wire(link):
    link.handle_receive(packet_json(SCAN_WIRE))
    assert link.poll_receive() == '{"Scan":[{"quality":15,"angle_rad":1.5,"distance_mm":1000.0}]}'


@pytest.mark.parametrize("frame, text", LINK_ERRORS)
def test_link_errors_consume_their_frame(link, frame, text):
    link.handle_receive(packet_json(frame + PING_WIRE))
    with pytest.raises(ValueError) as caught:
        link.poll_receive()
    assert type(caught.value) is ValueError and caught.value.args == (text,)
    assert link.poll_receive() == '"Ping"'
    assert link.poll_receive() is None


@pytest.mark.parametrize("packet, text", PACKET_REFUSALS)
def test_refused_packet_adds_no_byte(link, packet, text):
    link.handle_receive("[1,1,2,2]")
    with pytest.raises(ValueError) as caught:
        link.handle_receive(packet)
    assert type(caught.value) is ValueError and caught.value.args == ("Serde JSON error: " + text,)
    assert link.poll_receive() is None
    link.handle_receive("[1,1,1,1,0]")
    assert drain(link.poll_receive) == ['"Ping"']


@pytest.mark.parametrize("split", range(1, len(wire(DRIVE_BASE_BODY))))
def test_frame_split_anywhere(link, split):
    frame = wire(DRIVE_BASE_BODY)
    link.handle_receive(packet_json(frame[:split]))
    assert link.poll_receive() is None
    link.handle_receive(packet_json(frame[split:]))
    assert link.poll_receive().startswith('{"DriveBaseState":')
    assert link.poll_receive() is None


STREAMS = [
    # (packets fed, results of poll_receive until the stream is exhausted; an
    # exception text stands for a raised ValueError)
    (["[]"], []),
    ([packet_json(PING_WIRE + wire(b"\x01"))], ['"Ping"', '"Pong"']),
    (["[0,0]"], [SHORT, SHORT]),
    ([packet_json(PING_WIRE + b"\x00")], ['"Ping"', SHORT]),
    # A block running into the delimiter is dropped silently, one frame per call.
    ([packet_json(bytes([3, 0x11, 0]) + PING_WIRE)], [None, '"Ping"']),
    ([packet_json(wire(b"\x00", header=header(0, 3, 0)) + PING_WIRE)], [mismatch("0.3.0", "host"), '"Ping"']),
    ([PING_PACKET, "[]", "[]", "[1,1,2,2,1,1,2,1,0]"], ['"Ping"', '"Pong"']),
    # Noise without a delimiter in front of a frame is cut together with it.
    ([packet_json(b"\x07\x07" + PING_WIRE), PING_PACKET], [mismatch("263.513.258", "host"), '"Ping"']),
]


def poll_all(link):
    results = []
    for _ in range(10):
        try:
            result = link.poll_receive()
        except ValueError as error:
            result = error.args[0]
        results.append(result)
    while results and results[-1] is None:
        results.pop()
    return results


@pytest.mark.parametrize("fed, expected", STREAMS)
def test_streams(link, fed, expected):
    for packet in fed:
        link.handle_receive(packet)
    assert poll_all(link) == expected


def test_six_thousand_bytes_without_delimiter(link):
    link.handle_receive(packet_json(b"\x05" * 6000))
    assert link.poll_receive() is None
    # The kept bytes and the next frame are cut as one; the frame after that is back in step.
    link.handle_receive(packet_json(PING_WIRE + PING_WIRE))
    poll_all_results = poll_all(link)
    assert poll_all_results[-1] == '"Ping"'
    assert len(poll_all_results) == 2


def scan_frame_of_wire_length(length):
    # Without a zero byte in the body, the wire frame is the six header codes,
    # the body, one code per started block of 254 body bytes, and the delimiter.
    point = b"\x01" + struct.pack("<ff", 1.1, 1.1)
    body_length = next(n for n in range(length) if 7 + n + -(-n // 254) == length)
    count = (body_length - 3) // 9
    body = b"\x02" + bytes([count & 0x7F | 0x80, count >> 7]) + point * count
    frame = wire(body + b"\x01" * (body_length - len(body)))
    assert len(frame) == length and 0 not in frame[:-1]
    return frame, count


def test_receive_buffer_keeps_exactly_5000_bytes(link):
    frame, count = scan_frame_of_wire_length(5000)
    # 1000 bytes of noise in front: all of it must be dropped, and nothing of the frame.
    link.handle_receive(packet_json(b"\x01" * 1000))
    for start in range(0, len(frame), 1400):
        link.handle_receive(packet_json(frame[start:start + 1400]))
    point = '{"quality":1,"angle_rad":1.1,"distance_mm":1.1}'
    assert link.poll_receive() == '{"Scan":[' + ",".join([point] * count) + "]}"
    assert link.poll_receive() is None


def test_frame_longer_than_the_buffer_is_never_returned(link):
    frame, _ = scan_frame_of_wire_length(5001)
    link.handle_receive(packet_json(frame))
    results = poll_all(link)
    assert all(r is None or not r.startswith('{"Scan"') for r in results)
