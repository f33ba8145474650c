"""The asyncio client: one loop serving several plims in their own processes, and a scripted plim."""
import asyncio
import math

import pytest

from client_support import WAIT_S, FakePlim, device_frame, fake_plim, free_udp_port, run_child, spawn_sim, stop  # noqa: F401
from plim_link import aio
from plim_link.messages import DEVICE_MESSAGE_KINDS
from test_client import STOP, drive, forge_unreachable, scan


def test_one_loop_serves_several_simulated_plims():
    sims = [spawn_sim("--scan-hz", "10") for _ in range(3)]

    async def serve(url, uid):
        async with await aio.connect(url) as client:
            assert await client.wait_for_link(WAIT_S) and client.link_state == "up"
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
        assert kinds <= set(DEVICE_MESSAGE_KINDS) - {"Ping"} and len(kinds) == 3
        assert stats.errors == 0 and stats.sent_by_kind["SetUid"] == 1


def test_scripted_plim(fake_plim):
    async def run():
        client = await aio.connect(fake_plim.url, strict=True)
        with pytest.raises(ValueError, match="right_rad_per_s must be finite"):
            await client.set_drive_base_velocity(0.0, math.nan)
        with pytest.raises(ValueError, match=r"^SetDriveBaseVelocity\.left_velocity_rad_per_s: 1e\+39 is beyond"):
            await client.send({"SetDriveBaseVelocity": [1e39, 0]})
        with pytest.raises(ValueError, match="^unknown message kind 'scan'"):
            client.latest("scan")
        await client.set_drive_base_velocity(1.0, 0.0)
        fake_plim.wait_for_host()
        assert fake_plim.commands() == [drive(1.0, 0.0)]
        fake_plim.send(device_frame("Ping") + b"\x01\x00" + device_frame(scan(1)))
        first = await client.recv(WAIT_S)
        with pytest.raises(ValueError, match="too short"):
            await client.recv(WAIT_S)
        second = await client.recv_match("Scan", WAIT_S)
        with pytest.raises(TimeoutError):
            await client.ping(0.2)
        timed_out = await client.recv(0.05)
        stats = client.stats
        await client.close()
        return first, second, timed_out, stats
    first, second, timed_out, stats = asyncio.run(run())
    assert (first, second, timed_out, stats.errors) == ("Ping", scan(1), None, 1)
    assert fake_plim.commands() == ["Pong", STOP]


def test_every_async_subscriber_gets_every_message(fake_plim):
    messages = [scan(i % 3, quality=i) if i % 4 else "Ping" for i in range(120)]

    async def run():
        async with await aio.connect(fake_plim.url, auto_pong=False) as client:
            fake_plim.wait_for_host()
            subs = [client.subscribe(), client.subscribe(["Scan"])]

            async def collect(sub, count):
                got = []
                async for message in sub:
                    got.append(message)
                    if len(got) == count:
                        return got
            readers = [asyncio.create_task(collect(subs[0], 120)), asyncio.create_task(collect(subs[1], 90))]
            for message in messages:
                fake_plim.send(device_frame(message))
            got = await asyncio.wait_for(asyncio.gather(*readers), WAIT_S)
            own = [await client.recv(WAIT_S) for _ in messages]
            return got, own, [sub.dropped for sub in subs]
    (everything, scans), own, dropped = asyncio.run(run())
    assert everything == own == messages and scans == [m for m in messages if m != "Ping"] and dropped == [0, 0]


def test_an_icmp_error_does_not_end_the_async_connection(fake_plim):
    async def run():
        async with await aio.connect(fake_plim.url) as client:
            fake_plim.wait_for_host()
            forge_unreachable(fake_plim.host, fake_plim.sock.getsockname())
            while client.stats.transport_errors == 0:
                await asyncio.sleep(0.01)
            fake_plim.send(device_frame(scan(1)))
            return await client.recv(WAIT_S), client.ended, client.stats.transport_errors
    assert asyncio.run(asyncio.wait_for(run(), WAIT_S)) == (scan(1), False, 1)


def test_listen_keeps_to_the_first_sender():
    port = free_udp_port()
    plim, other = FakePlim(), FakePlim()
    plim.host = other.host = ("127.0.0.1", port)

    async def run():
        async with await aio.connect(f"udp-listen://127.0.0.1:{port}", stop_on_close=False) as client:
            await client.set_uid("held")
            plim.send(device_frame(scan(1)))
            assert await client.recv(WAIT_S) == scan(1)
            other.send(device_frame("Ping"))
            plim.send(device_frame({"Scan": []}))
            assert await client.recv(WAIT_S) == {"Scan": []}
            return client.stats.foreign_datagrams
    try:
        assert asyncio.run(run()) == 1
        assert plim.commands() == [{"SetUid": {"uid": "held"}}]
        assert other.datagrams() == []
    finally:
        plim.close()
        other.close()


@pytest.mark.parametrize("ending", ["", "raise KeyboardInterrupt", "await client.close()",
                                    "import os, signal; os.kill(os.getpid(), signal.SIGTERM); await asyncio.sleep(9)"])
def test_wheels_stop_however_the_async_client_ends(fake_plim, ending):
    script = (f"import asyncio\nfrom plim_link import aio\nasync def main():\n"
              f"    client = await aio.connect({fake_plim.url!r})\n"
              f"    await client.set_drive_base_velocity(1.0, -1.0)\n    {ending}\nasyncio.run(main())\n")
    run = run_child(script)
    assert fake_plim.commands() == [drive(1.0, -1.0), STOP]
    assert run.returncode == {"": 0, "await client.close()": 0, "raise KeyboardInterrupt": -2}.get(ending, 143)
