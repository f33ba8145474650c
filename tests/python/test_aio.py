"""The asyncio client: one loop serving several plims in their own processes, and a scripted plim."""
import asyncio
import math
import socket
import subprocess
import sys

import pytest

from client_support import WAIT_S, FakePlim, device_frame, fake_plim, spawn_sim, stop  # noqa: F401
from plim_link import aio


def test_one_loop_serves_several_simulated_plims():
    sims = [spawn_sim("--scan-hz", "10") for _ in range(3)]

    async def serve(url, uid):
        async with await aio.connect(url) as client:
            rtt = await client.ping(WAIT_S)
            await client.set_uid(uid)
            await client.request_network_scan()
            state = await client.recv_match("State", WAIT_S)
            await client.set_drive_base_velocity(2.0, 2.0)
            kinds = set()
            async for message in client:
                kinds.add(next(iter(message)) if isinstance(message, dict) else message)
                if len(kinds) >= 3:
                    break
            return rtt, state["State"]["uid"], kinds, client.stats

    async def main():
        return await asyncio.gather(*(serve(url, f"p{i}") for i, (_, url) in enumerate(sims)))
    try:
        results = asyncio.run(main())
    finally:
        for proc, _ in sims:
            stop(proc)
    for i, (rtt, uid, kinds, stats) in enumerate(results):
        assert 0 < rtt < WAIT_S and uid == f"p{i}"
        assert kinds <= {"Scan", "ImuMeasurement", "DriveBaseState", "Pong", "State"} and len(kinds) == 3
        assert stats.errors == 0 and stats.sent_by_kind["SetUid"] == 1


def test_scripted_plim(fake_plim):
    async def run():
        client = await aio.connect(fake_plim.url, strict=True)
        with pytest.raises(ValueError, match="right_rad_per_s must be finite"):
            await client.set_drive_base_velocity(0.0, math.nan)
        await client.set_drive_base_velocity(1.0, 0.0)
        assert fake_plim.messages() == [{"SetDriveBaseVelocity": {
            "left_velocity_rad_per_s": 1.0, "right_velocity_rad_per_s": 0.0}}]  # and the plim learns our address
        fake_plim.send(device_frame("Ping") + b"\x01\x00" + device_frame("Pong"))
        first = await client.recv(WAIT_S)
        with pytest.raises(ValueError, match="too short"):
            await client.recv(WAIT_S)
        second = await client.recv_match("Pong", WAIT_S)
        with pytest.raises(TimeoutError):
            await client.ping(0.2)
        timed_out = await client.recv(0.05)
        stats = client.stats
        await client.close()
        return first, second, timed_out, stats
    first, second, timed_out, stats = asyncio.run(run())
    assert (first, second, timed_out, stats.errors) == ("Ping", "Pong", None, 1)
    assert fake_plim.messages() == ["Pong", "Ping", {"SetDriveBaseVelocity": {
        "left_velocity_rad_per_s": 0.0, "right_velocity_rad_per_s": 0.0}}]


def test_listen_keeps_to_the_first_sender():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    plim, other = FakePlim(), FakePlim()
    plim.host = other.host = ("127.0.0.1", port)

    async def run():
        async with await aio.connect(f"udp-listen://127.0.0.1:{port}", stop_on_close=False) as client:
            await client.set_uid("held")
            plim.send(device_frame("Pong"))
            assert await client.recv(WAIT_S) == "Pong"
            other.send(device_frame("Ping"))
            plim.send(device_frame({"Scan": []}))
            assert await client.recv(WAIT_S) == {"Scan": []}
            return client.stats.foreign_datagrams
    try:
        assert asyncio.run(run()) == 1
        assert plim.messages() == [{"SetUid": {"uid": "held"}}]
        assert other.datagrams() == []
    finally:
        plim.close()
        other.close()


@pytest.mark.parametrize("ending", ["", "raise KeyboardInterrupt", "await client.close()"])
def test_wheels_stop_however_the_async_client_ends(fake_plim, ending):
    script = (f"import asyncio\nfrom plim_link import aio\nasync def main():\n"
              f"    client = await aio.connect({fake_plim.url!r})\n"
              f"    await client.set_drive_base_velocity(1.0, -1.0)\n    {ending}\nasyncio.run(main())\n")
    subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert fake_plim.messages() == [
        {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": v, "right_velocity_rad_per_s": -v}} for v in (1.0, 0.0)]
