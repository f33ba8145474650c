"""Shared tables: host messages `send` accepts with the packets they become, and
device frames `handle_receive` takes with the text `poll_receive` returns.

Plain module-level lists, so other suites (schema checks) can reuse every text.
Wire bytes are built here with a small COBS encoder of the tests' own; the worked
examples are also written out byte for byte.
"""
import struct

HOST_HEADER = bytes([0, 0, 2, 0, 0, 0])
MAX_PACKET_LEN = 1400


def cobs(data: bytes) -> bytes:
    out = bytearray()
    run = bytearray()
    after_full_block = False
    for byte in data:
        if byte == 0:
            out.append(len(run) + 1)
            out += run
            run.clear()
            after_full_block = False
            continue
        run.append(byte)
        after_full_block = False
        if len(run) == 254:
            out.append(0xFF)
            out += run
            run.clear()
            after_full_block = True
    if not after_full_block:
        out.append(len(run) + 1)
        out += run
    out.append(0)
    return bytes(out)


def wire(body: bytes, header: bytes = HOST_HEADER) -> bytes:
    return cobs(header + body)


def packet_json(data: bytes) -> str:
    return "[" + ",".join(str(b) for b in data) + "]"


def packets(body: bytes) -> list:
    frame = wire(body)
    return [packet_json(frame[i:i + MAX_PACKET_LEN]) for i in range(0, len(frame), MAX_PACKET_LEN)]


def f32(*values: float) -> bytes:
    return b"".join(struct.pack("<f", v) for v in values)


def varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def text(value: bytes) -> bytes:
    return varint(len(value)) + value


def uid_body(size: int) -> bytes:
    return b"\x04" + text(b"u" * size)


def uid_size_for_wire_length(length: int) -> int:
    return next(size for size in range(length) if len(wire(uid_body(size))) == length)


# --- host messages: (JSON text given to send, packets poll_transmit returns in order)

PING_PACKET = "[1,1,2,2,1,1,1,1,0]"
VELOCITY_BODY = bytes.fromhex("050000c03f0000c0bf")
LONG_UID = "u" * 3000

HOST_MESSAGES = [
    ('"Ping"', [PING_PACKET]),
    ('{"Ping":null}', [PING_PACKET]),
    ('"Pong"', packets(b"\x01")),
    ('{"Pong":null}', packets(b"\x01")),
    ('"RequestNetworkScan"', packets(b"\x02")),
    ('{"RequestNetworkScan":null}', packets(b"\x02")),
    (' \t\r\n{ "Ping" :\nnull } \n', [PING_PACKET]),
    ('{"SetNetworkConnectionConfig":{"ssid":"lab","password":""}}', packets(bytes.fromhex("03036c616200"))),
    ('{"SetNetworkConnectionConfig":{"password":"","ssid":"lab"}}', packets(bytes.fromhex("03036c616200"))),
    ('{"SetNetworkConnectionConfig":["lab",""]}', packets(bytes.fromhex("03036c616200"))),
    ('{"SetUid":{"uid":"A1"}}', packets(bytes.fromhex("04024131"))),
    ('{"SetUid":["A1"]}', packets(bytes.fromhex("04024131"))),
    ('{"SetUid":{"uid":"A1","note":[1,{"x":null}]}}', packets(bytes.fromhex("04024131"))),
    ('{"SetUid":{"uid":""}}', packets(b"\x04\x00")),
    ('{"SetUid":{"uid":"\\u00e9\\ud83d\\ude00\\n"}}', packets(b"\x04\x07" + "é😀\n".encode())),
    ('{"SetUid":{"uid":"é"}}', packets(b"\x04\x02" + "é".encode())),
    ('{"SetUid":{"uid":"' + "x" * 200 + '"}}', packets(b"\x04\xc8\x01" + b"x" * 200)),
    ('{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":1.5,"right_velocity_rad_per_s":-1.5}}',
     packets(VELOCITY_BODY)),
    ('{"SetDriveBaseVelocity":{"right_velocity_rad_per_s":-1.5,"left_velocity_rad_per_s":1.5}}',
     packets(VELOCITY_BODY)),
    ('{"SetDriveBaseVelocity":[1.5,-1.5]}', packets(VELOCITY_BODY)),
    ('{"SetDriveBaseVelocity":[1,-2]}', packets(bytes.fromhex("050000803f000000c0"))),
    ('{"SetDriveBaseVelocity":[1e39,-0]}', packets(bytes.fromhex("050000807f00000080"))),
    ('{"SetDriveBaseVelocity":[0.1,-1e-50]}', packets(b"\x05" + f32(0.1, -0.0))),
    # Wire frames of exactly one full packet, one byte more (the delimiter alone
    # in the second packet), and longer than two packets.
    *[('{"SetUid":{"uid":"' + "u" * size + '"}}', packets(uid_body(size)))
      for size in (uid_size_for_wire_length(1400), uid_size_for_wire_length(1401))],
    ('{"SetUid":{"uid":"' + LONG_UID + '"}}', packets(b"\x04\xb8\x17" + LONG_UID.encode())),
]

# --- device frames: (packet JSON given to handle_receive, text poll_receive returns)

SCAN_BODY = bytes.fromhex("02010f0000c03f00007a44")
DRIVE_BASE_BODY = bytes.fromhex("03" "00004842" "000080be" "00004040" "0000c07f" "cdcccc3d" "95bfd633")
STATE_BODY = bytes.fromhex("05" "024131" "00" "01016d" "010100" "01016ec8" "010362617401" "00000000")
STATE_JSON = ('{"State":{"uid":"A1","ip":null,"mac":"m","current_network_connection":{"Err":"Timeout"},'
              '"available_network_connections":[{"ssid":"n","strength":200}],'
              '"built_in_test":{"power":[{"name":"bat","result":"Pass"}],"wifi":[],"lidar":[],"imu":[],"encoders":[]}}}')

FULL_STATE_BODY = (
    b"\x05" + text(b"uid") + b"\x01" + text(b"10.0.0.2") + b"\x01" + text(b"aa:bb")
    + b"\x01\x00" + text(b"home")
    + b"\x02" + text('a"b\\c\n\x01/é'.encode()) + b"\xff" + text(b"") + b"\x00"
    + b"\x01" + text(b"p") + b"\x00"
    + b"\x01" + text(b"w") + b"\x02"
    + b"\x00\x00"
    + b"\x02" + text(b"e1") + b"\x01" + text(b"e2") + b"\x02")
FULL_STATE_JSON = (
    '{"State":{"uid":"uid","ip":"10.0.0.2","mac":"aa:bb","current_network_connection":{"Ok":"home"},'
    '"available_network_connections":[{"ssid":"a\\"b\\\\c\\n\\u0001/é","strength":255},{"ssid":"","strength":0}],'
    '"built_in_test":{"power":[{"name":"p","result":"Waiting"}],"wifi":[{"name":"w","result":"Fail"}],'
    '"lidar":[],"imu":[],"encoders":[{"name":"e1","result":"Pass"},{"name":"e2","result":"Fail"}]}}}')


def state_with_connection(connection: bytes) -> bytes:
    return b"\x05" + text(b"A1") + b"\x00\x00\x01" + connection + b"\x00" + b"\x00" * 5


def state_json_with_connection(connection: str) -> str:
    return ('{"State":{"uid":"A1","ip":null,"mac":null,"current_network_connection":' + connection
            + ',"available_network_connections":[],'
            '"built_in_test":{"power":[],"wifi":[],"lidar":[],"imu":[],"encoders":[]}}}')


DEVICE_FRAMES = [
    (PING_PACKET, '"Ping"'),
    ("[1,1,2,2,1,1,2,1,0]", '"Pong"'),
    (packet_json(wire(b"\x02\x00")), '{"Scan":[]}'),
    (packet_json(wire(SCAN_BODY)), '{"Scan":[{"quality":15,"angle_rad":1.5,"distance_mm":1000.0}]}'),
    (packet_json(wire(DRIVE_BASE_BODY)),
     '{"DriveBaseState":{"left":{"effort_percent":50.0,"velocity_rad_per_s":-0.25,"position_rad":3.0},'
     '"right":{"effort_percent":null,"velocity_rad_per_s":0.1,"position_rad":1e-7}}}'),
    (packet_json(wire(b"\x04" + f32(1.0, -2.5, 9.81, 0.0, -0.0, 3.4028234663852886e38))),
     '{"ImuMeasurement":{"accel":{"x":1.0,"y":-2.5,"z":9.81},"gyro":{"x":0.0,"y":-0.0,"z":3.4028235e+38}}}'),
    (packet_json(wire(b"\x04" + f32(float("inf"), float("-inf"), 1e12, 1e13, 1e-6, 1e-45))),
     '{"ImuMeasurement":{"accel":{"x":null,"y":null,"z":1000000000000.0},'
     '"gyro":{"x":1e+13,"y":0.000001,"z":1e-45}}}'),
    (packet_json(wire(STATE_BODY)), STATE_JSON),
    (packet_json(wire(FULL_STATE_BODY)), FULL_STATE_JSON),
    (packet_json(wire(state_with_connection(b"\x01\x01"))), state_json_with_connection('{"Err":"AuthOrRefused"}')),
    (packet_json(wire(state_with_connection(b"\x01\x02" + text(b"dhcp")))),
     state_json_with_connection('{"Err":{"Other":"dhcp"}}')),
    # A discriminant in a longer form than needed, extra bytes after the message,
    # and a peer at another patch level are all accepted.
    (packet_json(wire(b"\x80\x00")), '"Ping"'),
    (packet_json(wire(b"\x00\xff")), '"Ping"'),
    (packet_json(wire(b"\x01", header=bytes([0, 0, 2, 0, 7, 0]))), '"Pong"'),
]

# The Scan worked example on the wire, written out by hand: a cross-check of cobs().
SCAN_WIRE = bytes.fromhex("01010202010104 02010f 0103c03f 01037a44 00".replace(" ", ""))
