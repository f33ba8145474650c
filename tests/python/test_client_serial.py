"""serial:// over a pseudo-terminal pair: a byte stream cut anywhere, both clients."""
import asyncio
import os
import select
import tty

import pytest

from client_support import WAIT_S, device_frame, host_messages
from plim_link import PlimClient, aio

pytest.importorskip("serial")

MESSAGES = ["Ping", {"Scan": [{"quality": 9, "angle_rad": 0.25, "distance_mm": 1500.0}] * 200},
            {"ImuMeasurement": {"accel": {"x": 1.0, "y": 2.0, "z": None}, "gyro": {"x": 0.0, "y": -0.0, "z": 3.5}}}]


@pytest.fixture
def line():
    plim, host = os.openpty()
    tty.setraw(plim)
    yield plim, os.ttyname(host)
    os.close(host)
    os.close(plim)


def read_all(fd, timeout=0.5):
    out = b""
    while select.select([fd], [], [], timeout)[0]:
        out += os.read(fd, 65536)
    return out


def feed(fd, cut):
    stream = b"".join(device_frame(m) for m in MESSAGES)
    for start in range(0, len(stream), cut):
        os.write(fd, stream[start:start + cut])


@pytest.mark.parametrize("cut", [1, 7, 4096])
def test_stream_in_any_slices(line, cut):
    plim, path = line
    with PlimClient(f"serial://{path}?baud=115200") as client:
        feed(plim, cut)
        assert [client.recv(WAIT_S) for _ in MESSAGES] == MESSAGES
        client.set_drive_base_velocity(1.0, 2.0)
    assert host_messages([read_all(plim)]) == ["Pong", *[
        {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": v, "right_velocity_rad_per_s": 2 * v}} for v in (1.0, 0.0)]]


def test_async_stream(line):
    plim, path = line

    async def run():
        async with await aio.connect(f"serial://{path}") as client:
            feed(plim, 100)
            received = [await client.recv(WAIT_S) for _ in MESSAGES]
            await client.set_uid("tty")
            return received
    assert asyncio.run(run()) == MESSAGES
    assert host_messages([read_all(plim)]) == ["Pong", {"SetUid": {"uid": "tty"}}]
