"""End-to-end demo of plim_ffi: one Link, every host message out, every device
message back in, and what a refusal looks like.

The device side is played by hand-built frames: a version header (0.2.0), a
message body, COBS, and the closing 0x00, exactly as the plim sends them.
"""
import json
import struct

import plim_ffi

HOST_MESSAGES = [
    '"Ping"',
    '{"Pong":null}',
    '"RequestNetworkScan"',
    '{"SetNetworkConnectionConfig":{"ssid":"lab","password":"hunter2"}}',
    '{"SetUid":["A1"]}',
    '{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":1.5,"right_velocity_rad_per_s":-1.5}}',
]


def cobs(data):
    out, run = bytearray(), bytearray()
    full = False
    for byte in data:
        if byte == 0:
            out += bytes([len(run) + 1]) + run
            run.clear()
            full = False
        else:
            run.append(byte)
            full = len(run) == 254
            if full:
                out += b"\xff" + run
                run.clear()
    if not full:
        out += bytes([len(run) + 1]) + run
    return bytes(out) + b"\x00"


def frame(body):
    return cobs(struct.pack("<HHH", 0, 2, 0) + body)


def text(value):
    data = value.encode()
    return bytes([len(data)]) + data


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


DEVICE_BODIES = [
    ("Ping", b"\x00"),
    ("Pong", b"\x01"),
    ("Scan", b"\x02\x02" + b"\x0f" + floats(0.0, 1000.0) + b"\xc8" + floats(1.5, 250.5)),
    ("DriveBaseState", b"\x03" + floats(50.0, -0.25, 3.0, float("nan"), 0.1, 1e-7)),
    ("ImuMeasurement", b"\x04" + floats(0.0, 0.0, 9.81, 0.01, -0.02, 0.0)),
    ("State", b"\x05" + text("A1") + b"\x01" + text("10.0.0.7") + b"\x00"
     + b"\x01\x00" + text("lab")                       # connected to "lab"
     + b"\x01" + text("lab") + b"\xc8"                 # one network in sight
     + b"\x01" + text("battery") + b"\x01"             # power: battery passes
     + b"\x00\x00\x01" + text("gyro") + b"\x00" + b"\x00"),
]


def as_json_array(data):
    return "[" + ",".join(map(str, data)) + "]"


def main():
    link = plim_ffi.Link()

    print("== host -> plim: send, then poll_transmit until None")
    for message in HOST_MESSAGES:
        link.send(message)
        while (packet := link.poll_transmit()) is not None:
            print(f"  {message}\n      -> {packet}")

    print("\n== plim -> host: handle_receive, then poll_receive until None")
    for name, body in DEVICE_BODIES:
        wire = frame(body)
        # Split every frame in two packets, as a transport may deliver it.
        half = len(wire) // 2
        link.handle_receive(as_json_array(wire[:half]))
        assert link.poll_receive() is None  # the frame is not complete yet
        link.handle_receive(as_json_array(wire[half:]))
        while (message := link.poll_receive()) is not None:
            print(f"  {name:15} {len(wire):3} wire bytes -> {message}")
            json.loads(message)

    print("\n== refusals: an exception, and nothing queued")
    for call, argument in [(link.send, '{"SetUid":{"uid":5}}'),
                           (link.handle_receive, "[1,2,300]")]:
        try:
            call(argument)
        except ValueError as error:
            print(f"  {call.__name__}({argument!r})\n      -> ValueError: {error}")
    link.handle_receive(as_json_array(cobs(struct.pack("<HHH", 0, 3, 1) + b"\x00")))
    try:
        link.poll_receive()
    except ValueError as error:
        print(f"  frame from a plim at 0.3.1\n      -> ValueError: {error}")
    print(f"  left queued: {link.poll_transmit()}; left received: {link.poll_receive()}")


if __name__ == "__main__":
    main()
