"""Texts written from message values and from the host's packets: exactly as Link writes its own."""
import json
import struct

import pytest
from hypothesis import example, given, settings, strategies as st

import cases
from plim_ffi import Link, ObjectLink
from plim_link.message_text import f32_text, message_text
from plim_link.traffic import HostTexts, TrafficDecoder, kind_of_text
from plim_link.recording import RECEIVED, SENT

# Powers of two whose nearest decimal of the shortest length falls just outside their rounding interval.
UNEVEN = [0x0F800000, 0x6B000000, 0x6C800000]


def link_text(frame):
    link = Link()
    link.handle_receive(json.dumps(list(frame)))
    return link.poll_receive()


def value(frame):
    link = ObjectLink()
    link.handle_receive(frame)
    return link.poll_receive()


@settings(max_examples=300, deadline=None)
@given(bits=st.integers(0, 2**32 - 1), other=st.integers(0, 2**32 - 1))
@example(bits=UNEVEN[0], other=UNEVEN[1]).via("powers of two")
@example(bits=UNEVEN[2], other=0x7F7FFFFF).via("powers of two")
@example(bits=1, other=0x80000000).via("smallest subnormal, negative zero")
@example(bits=0x7FC00000, other=0xFF800000).via("NaN, -infinity")
def test_floats_read_exactly_as_links(bits, other):
    frame = cases.wire(b"\x04" + struct.pack("<6I", bits, other, bits ^ 0x80000000, 0x3DCCCCCD, 0x33D6BF95, 0))
    expected = link_text(frame)
    assert message_text(value(frame)) == expected
    assert f32_text(struct.unpack("<f", struct.pack("<I", bits))[0]) == expected.split('"x":')[1].split(",")[0]


@pytest.mark.parametrize("packet, text", [(p, t) for p, t in cases.DEVICE_FRAMES])
def test_every_table_message_reads_as_links(packet, text):
    assert message_text(value(bytes(json.loads(packet)))) == text


@settings(max_examples=150, deadline=None)
@given(uid=st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12))
def test_texts_escape_exactly_as_links(uid):
    data = uid.encode()
    frame = cases.wire(b"\x05" + cases.varint(len(data)) + data + b"\x00" * 3 + b"\x00" * 6)
    assert message_text(value(frame)) == link_text(frame)


def host_packets(text):
    link = Link()
    link.send(text)
    return [bytes(json.loads(packet)) for packet in iter(link.poll_transmit, None)]


@pytest.mark.parametrize("sent, written", [
    ('"Ping"', '"Ping"'),
    ('{"RequestNetworkScan":null}', '"RequestNetworkScan"'),
    ('{"SetUid":["A1"]}', '{"SetUid":{"uid":"A1"}}'),
    ('{"SetDriveBaseVelocity":{"right_velocity_rad_per_s":-1e39,"left_velocity_rad_per_s":0.1}}',
     '{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":0.1,"right_velocity_rad_per_s":null}}'),
    ('{"SetDriveBaseVelocity":[3,-0]}',
     '{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":3.0,"right_velocity_rad_per_s":-0.0}}'),
    ('{"SetNetworkConnectionConfig":{"password":"p\\"w/","ssid":"l\\u0001\\tb\\u00e9"}}',
     '{"SetNetworkConnectionConfig":{"ssid":"l\\u0001\\tbé","password":"p\\"w/"}}'),
])
def test_host_messages_are_written_as_they_went_on_the_wire(sent, written):
    host = HostTexts()
    assert [text for packet in host_packets(sent) for text in host.feed(packet)] == [written]


def test_each_session_and_direction_is_a_stream_of_its_own():
    uid = host_packets('{"SetUid":["x' + "u" * 3000 + '"]}')  # three packets
    scan = cases.wire(b"\x02\x00")
    decoder = TrafficDecoder()
    got = [decoder.feed(SENT, uid[0], 1), decoder.feed(SENT, uid[0], 2), decoder.feed(RECEIVED, scan[:3], 1),
           decoder.feed(SENT, uid[1] + uid[2], 1), decoder.feed(RECEIVED, scan[3:] + b"\x01\x00", 1)]
    assert [[kind_of_text(t) for t in texts] for texts in got] == [[], [], [], ["SetUid"], ["Scan"]]
    assert [decoder.refused(RECEIVED, 1), decoder.refused(SENT, 1), decoder.refused(SENT, 2)] == [1, 0, 0]
