"""send and poll_transmit end to end: host messages in, exact packets out."""
import pytest

from cases import HOST_MESSAGES, PING_PACKET
from conftest import drain

UNKNOWN = ("unknown variant `{}`, expected one of `Ping`, `Pong`, `RequestNetworkScan`, "
           "`SetNetworkConnectionConfig`, `SetUid`, `SetDriveBaseVelocity` at line {} column {}")

REFUSED = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("[1]", "expected value at line 1 column 1"),
    ("\ufeff\"Ping\"", "expected value at line 1 column 1"),
    ('{"Ping":null} x', "trailing characters at line 1 column 15"),
    ('{"SetUid":{"uid":"A1"}}\n\n x', "trailing characters at line 3 column 2"),
    ('{"Ping" null}', "expected `:` at line 1 column 9"),
    ('{"Ping":nul}', "expected ident at line 1 column 12"),
    ('{"Foo":null}', UNKNOWN.format("Foo", 1, 6)),
    ('"Foo"', UNKNOWN.format("Foo", 1, 5)),
    ('"ping"', UNKNOWN.format("ping", 1, 6)),
    ('{\n"Foo": null}', UNKNOWN.format("Foo", 2, 5)),
    ('"SetUid"', "invalid type: unit variant, expected newtype variant"),
    ('"SetDriveBaseVelocity"', "invalid type: unit variant, expected newtype variant"),
    ('{"Ping":{}}', "invalid type: map, expected unit at line 1 column 8"),
    ('{"Ping":null,"Pong":null}', "expected value at line 1 column 12"),
    ('{"SetUid":{}}', "missing field `uid` at line 1 column 12"),
    ('{"SetUid":[]}', "invalid length 0, expected struct SetUid with 1 element at line 1 column 12"),
    ('{"SetUid":{"uid":5}}', "invalid type: integer `5`, expected a string at line 1 column 18"),
    ('{"SetUid":"A1"}', 'invalid type: string "A1", expected struct SetUid at line 1 column 14'),
    ('{"SetUid":{"uid":"A1","uid":"B2"}}', "duplicate field `uid` at line 1 column 27"),
    ('{"SetUid":{"uid":"A1",}}', "trailing comma at line 1 column 23"),
    ('{"SetUid":["A1","B2"]}', "trailing characters at line 1 column 17"),
    ('{"SetUid":{"uid":"A1","x":[1,]}}', "expected value at line 1 column 30"),
    ('{"SetUid":{"uid":"A1","x":{"a":1,}}}', "key must be a string at line 1 column 34"),
    ('{"SetUid":{"uid":"\\ud800"}}', "unexpected end of hex escape at line 1 column 25"),
    ('{"SetUid":{"uid":"\\udc00"}}', "lone leading surrogate in hex escape at line 1 column 24"),
    ('{"SetUid":{"uid":"a\x01"}}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 20"),
    ('{"SetUid":{"uid":"A1"', "EOF while parsing an object at line 1 column 21"),
    ('"Pi', "EOF while parsing a string at line 1 column 3"),
    ('{"SetNetworkConnectionConfig":{"ssid":"a"}}', "missing field `password` at line 1 column 42"),
    ('{"SetDriveBaseVelocity":[1.5]}',
     "invalid length 1, expected struct SetDriveBaseVelocity with 2 elements at line 1 column 29"),
    ('{"SetDriveBaseVelocity":["1",2]}', 'invalid type: string "1", expected f32 at line 1 column 28'),
    ('{"SetDriveBaseVelocity":[1e400,0]}', "number out of range at line 1 column 30"),
    ('{"SetDriveBaseVelocity":[01,2]}', "invalid number at line 1 column 27"),
    ('{"SetDriveBaseVelocity":[-,2]}', "invalid number at line 1 column 27"),
]


@pytest.mark.parametrize("message, packets", HOST_MESSAGES)
def test_host_message_packets(link, message, packets):
    assert link.send(message) is None
    assert drain(link.poll_transmit) == packets
    assert link.poll_transmit() is None


def test_messages_leave_in_order(link):
    for message, _ in HOST_MESSAGES:
        link.send(message)
    assert drain(link.poll_transmit) == [p for _, packets in HOST_MESSAGES for p in packets]


@pytest.mark.parametrize("message, text", REFUSED)
def test_refused_message_queues_nothing(link, message, text):
    link.send('"Ping"')
    with pytest.raises(ValueError) as caught:
        link.send(message)
    assert type(caught.value) is ValueError
    assert caught.value.args == ("Serde JSON error: " + text,)
    assert drain(link.poll_transmit) == [PING_PACKET]
    link.send('"Ping"')
    assert drain(link.poll_transmit) == [PING_PACKET]
