"""PlimClient against a scripted plim socket and against `plim sim` in its own process."""
import logging
import math
import random
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from client_support import PLIM, WAIT_S, ROOT, FakePlim, device_frame, fake_plim, sim_url, spawn_sim, stop  # noqa: F401
from plim_link import PlimClient
from plim_link._session import Session

FLT_MAX = 3.4028234663852886e38
ROUNDS_TO_INF = 3.4028235677973366e38  # halfway between FLT_MAX and 2**128; ties go to infinity
STOP = {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0.0, "right_velocity_rad_per_s": 0.0}}
PONG = {"Pong": None}


def drive(left, right):
    return {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": left, "right_velocity_rad_per_s": right}}


@pytest.mark.parametrize("call, sent", [
    (lambda c: c.pong(), ["Pong"]),
    (lambda c: c.request_network_scan(), ["RequestNetworkScan"]),
    (lambda c: c.set_uid("é\n"), [{"SetUid": {"uid": "é\n"}}]),
    (lambda c: c.set_network_connection_config("lab", ""), [{"SetNetworkConnectionConfig": {"ssid": "lab", "password": ""}}]),
    (lambda c: c.set_drive_base_velocity(1.5, -FLT_MAX), [drive(1.5, -FLT_MAX)]),
    (lambda c: c.set_drive_base_velocity(0, 0), [drive(0.0, 0.0)]),
    (lambda c: c.set_drive_base_velocity(math.nextafter(ROUNDS_TO_INF, 0), 0), [drive(FLT_MAX, 0.0)]),
    (lambda c: c.send({"SetDriveBaseVelocity": [1e39, 0]}), [drive(math.inf, 0.0)]),  # send passes what the link takes
])
def test_commands_reach_the_plim_exactly(fake_plim, call, sent):
    with PlimClient(fake_plim.url, stop_on_close=False) as client:
        call(client)
        assert fake_plim.messages() == sent


@pytest.mark.parametrize("left, right, error", [
    (math.nan, 0.0, ValueError), (0.0, math.inf, ValueError), (-math.inf, 0.0, ValueError),
    (1e39, 0.0, ValueError), (0.0, -ROUNDS_TO_INF, ValueError), (10**40, 0, ValueError),
    ("1", 0.0, TypeError), (True, 0.0, TypeError), (None, 0.0, TypeError),
])
def test_refused_velocities_send_nothing(fake_plim, left, right, error):
    with PlimClient(fake_plim.url) as client:
        with pytest.raises(error, match="left_rad_per_s" if left != 0.0 else "right_rad_per_s"):
            client.set_drive_base_velocity(left, right)
        with pytest.raises((ValueError, TypeError)):
            client.send({"SetUid": {"uid": 5}})
        assert client.stats.messages_sent == 0
    assert fake_plim.datagrams() == []  # and no stop on close either: nothing was set moving


CLOSINGS = {
    "context exit": "with c: c.set_drive_base_velocity(2, 1)",
    "exception": "try:\n    with c: c.set_drive_base_velocity(2, 1); raise RuntimeError\nexcept RuntimeError: pass",
    "interpreter exit": "c.set_drive_base_velocity(2, 1)",
    "Ctrl-C": "c.set_drive_base_velocity(2, 1); import os, signal; os.kill(os.getpid(), signal.SIGINT)",
    "stopped already": "c.set_drive_base_velocity(2, 1); c.set_drive_base_velocity(0, 0); c.close()",
    "stop_on_close=False": "c.stop_on_close = False; c.set_drive_base_velocity(2, 1); c.close()",
}


@pytest.mark.parametrize("how", CLOSINGS)
def test_wheels_stop_however_the_client_ends(fake_plim, how):
    script = f"from plim_link import PlimClient\nc = PlimClient({fake_plim.url!r})\n{CLOSINGS[how]}\n"
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    expected = {"stopped already": [drive(2.0, 1.0), STOP], "stop_on_close=False": [drive(2.0, 1.0)]}
    assert fake_plim.messages() == expected.get(how, [drive(2.0, 1.0), STOP])
    assert ("KeyboardInterrupt" in run.stderr) == (how == "Ctrl-C")


def test_receiving_pings_and_bad_frames(fake_plim, caplog):
    with PlimClient(fake_plim.url) as client, PlimClient(fake_plim.url, auto_pong=False, strict=True) as strict:
        hosts = []
        for c in (client, strict):
            fake_plim.wait_for_host(c)
            hosts.append(fake_plim.host)
        for host in hosts:
            fake_plim.send(device_frame("Ping") + b"\x01\x00\x05\x00" + device_frame({"Scan": []}), host)
        with caplog.at_level(logging.WARNING, logger="plim_link"):
            assert [client.recv(WAIT_S), client.recv(WAIT_S)] == ["Ping", {"Scan": []}]
        outcomes = []
        for _ in range(4):
            try:
                outcomes.append(strict.recv(WAIT_S))
            except ValueError as exc:
                outcomes.append(str(exc))
        # A frame with broken COBS leaves no trace in the link, so its place in the order is not kept.
        assert outcomes[0] == "Ping" and sorted(map(str, outcomes[1:])) == [
            "frame dropped: broken COBS encoding, or cut short by a receive buffer overflow",
            "plim-api error: Message frame too short to contain a version header", "{'Scan': []}"]
        assert (client.stats.errors, strict.stats.errors) == (2, 2)
        assert "Message frame too short" in caplog.text
        assert client.latest("Scan") == {"Scan": []} and client.latest("Pong") is None
        assert client.latest_time("Ping") <= client.latest_time("Scan") <= time.monotonic()
    # The auto-pong went out from the first client only.
    assert fake_plim.messages() == ["Pong"] and fake_plim.host == hosts[0]


def test_udp_keeps_to_the_plim_address(fake_plim):
    with PlimClient(fake_plim.url) as client, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as intruder:
        fake_plim.wait_for_host(client)
        intruder.sendto(device_frame({"Scan": []}), fake_plim.host)
        fake_plim.send(device_frame("Pong"))
        assert client.recv_match(("Pong", "Scan"), WAIT_S) == "Pong"
        assert client.recv(0.3) is None


@pytest.mark.parametrize("peer", [None, "127.0.0.1"])
def test_udp_listen_keeps_to_the_first_sender(peer):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    url = f"udp-listen://127.0.0.1:{port}" + (f"?peer={peer}" if peer else "")
    plim, other = FakePlim(), FakePlim()
    try:
        with PlimClient(url) as client:
            client.set_uid("early")  # held until the plim is known
            plim.host = other.host = ("127.0.0.1", port)
            plim.send(device_frame("Ping"))
            assert client.recv(WAIT_S) == "Ping"
            other.send(device_frame({"Scan": []}))
            plim.send(device_frame("Pong"))
            assert client.recv(WAIT_S) == "Pong"
            assert client.stats.foreign_datagrams == 1
        assert plim.messages() == [{"SetUid": {"uid": "early"}}, "Pong"]
        assert other.datagrams() == []
    finally:
        plim.close()
        other.close()


def test_fuzzed_bytes_only_count_errors(fake_plim):
    rng = random.Random(7)
    with PlimClient(fake_plim.url, auto_pong=False) as client:
        fake_plim.wait_for_host(client)
        for sent in range(1, 401):
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600)))
            if rng.random() < 0.3:  # frames that decode up to a point are the interesting ones
                frame = device_frame({"Scan": [{"quality": 1, "angle_rad": 0.5, "distance_mm": 2.0}] * 3})
                data = frame[:rng.randrange(len(frame))] + data
            fake_plim.send(data)
            deadline = time.monotonic() + WAIT_S
            while sent % 50 == 0 and client.stats.packets_received < sent:  # keep within the socket's buffer
                assert time.monotonic() < deadline
                time.sleep(0.01)
        fake_plim.send(b"\x00" + device_frame({"Scan": []}))
        received = []
        while (message := client.recv(WAIT_S)) != {"Scan": []}:
            assert message is not None
            received.append(message)
        stats = client.stats
        assert stats.packets_received == 401 and stats.errors > 0
        assert stats.messages_received == len(received) + 1


def test_against_the_simulated_plim(sim_url):
    with PlimClient(sim_url) as client:
        assert 0 < client.ping(WAIT_S) < WAIT_S
        client.set_uid("bench-7")
        client.set_network_connection_config("lab", "plim-lab-pw")
        client.request_network_scan()
        state = client.recv_match("State", WAIT_S)["State"]
        assert (state["uid"], state["current_network_connection"], state["ip"]) == ("bench-7", {"Ok": "lab"}, "10.0.0.42")
        client.set_drive_base_velocity(4.0, 4.0)
        deadline = time.monotonic() + WAIT_S
        while client.recv_match("DriveBaseState", WAIT_S)["DriveBaseState"]["left"]["velocity_rad_per_s"] < 3.0:
            assert time.monotonic() < deadline
        assert client.recv_match("Ping", WAIT_S) == "Ping"  # the simulator pings at 2 Hz
        stats = client.stats
    assert stats.sent_by_kind["Pong"] >= 1 and stats.errors == 0
    assert set(stats.received_by_kind) >= {"Scan", "ImuMeasurement", "DriveBaseState", "State", "Pong", "Ping"}
    assert stats.bytes_sent > 0 and stats.packets_received >= stats.messages_received


def test_ping_times_out_without_a_plim(fake_plim):
    with PlimClient(fake_plim.url) as client:
        with pytest.raises(TimeoutError, match="no Pong from the plim within 0.2 s"):
            client.ping(0.2)


def test_one_read_longer_than_the_link_buffer():
    # A serial read after a stall can hold many frames at once; none may be lost to the link's 5000-byte window.
    scan = {"Scan": [{"quality": 3, "angle_rad": 1.0, "distance_mm": 250.0}] * 300}
    session = Session()
    assert session.receive(b"".join(device_frame(m) for m in [scan, "Ping", scan, scan])) == (
        [scan, "Ping", scan, scan], [bytes([1, 1, 2, 2, 1, 1, 2, 1, 0])])  # and the Pong for the Ping


def test_sim_url_settings_reach_the_simulator():
    with PlimClient("sim://?uid=Z9&scan_points=12&scan_hz=20&seed=5") as client:
        client.request_network_scan()
        assert client.recv_match("State", WAIT_S)["State"]["uid"] == "Z9"
        assert len(client.recv_match("Scan", WAIT_S)["Scan"]) == 12
