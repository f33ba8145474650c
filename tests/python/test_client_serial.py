"""serial:// over a pseudo-terminal pair: a byte stream cut anywhere, both clients."""
import asyncio
import os
import select
import time
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
    assert [m for m in host_messages([read_all(plim)]) if m != "Ping"] == ["Pong", *[
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
    assert [m for m in host_messages([read_all(plim)]) if m != "Ping"] == ["Pong", {"SetUid": {"uid": "tty"}}]


def test_a_line_that_takes_nothing_cannot_hold_the_client(line, caplog):
    plim, path = line
    client = PlimClient(f"serial://{path}", write_timeout_s=0.3)
    client.set_drive_base_velocity(1.0, 1.0)
    with pytest.raises(TimeoutError, match="^could not write to serial://.* in time: it takes nothing$"):
        for _ in range(10000):  # until the line's buffers are full
            client.set_uid("x" * 1000)
    start = time.monotonic()
    client.close()
    assert time.monotonic() - start < 2 * 0.3 + 1.5
    assert "could not write to serial://" in caplog.text
    assert len(read_all(plim, 0.1)) > 1000  # what the line took before it filled up


def test_a_line_that_takes_nothing_cannot_freeze_the_loop(line):
    plim, path = line

    async def run():
        client = await aio.connect(f"serial://{path}", write_timeout_s=0.3)
        ticks = 0

        async def tick():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1
        ticker = asyncio.create_task(tick())
        with pytest.raises(TimeoutError, match="^could not write to the plim within 0.3 s$"):
            for _ in range(10000):
                await client.set_uid("x" * 1000)
        start = time.monotonic()
        await client.close()
        ticker.cancel()
        return ticks, time.monotonic() - start
    ticks, closing = asyncio.run(run())
    assert ticks >= 10 and closing < 0.3 + 1.0
