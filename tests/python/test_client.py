"""PlimClient against a scripted plim socket and against `plim sim` in its own process."""
import logging
import math
import random
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from client_support import (PLIM, WAIT_S, FakePlim, device_frame, fake_plim, free_udp_port, run_child,  # noqa: F401
                            sim_url, spawn_sim, stop)
from plim_link import PlimClient, Timed
from plim_link.core import ClientCore

FLT_MAX = 3.4028234663852886e38
ROUNDS_TO_INF = 3.4028235677973366e38  # halfway between FLT_MAX and 2**128; ties go to infinity
KNOWN = "Ping, Pong, Scan, DriveBaseState, ImuMeasurement, State"


def drive(left, right):
    return {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": left, "right_velocity_rad_per_s": right}}


STOP = drive(0.0, 0.0)


def scan(points, quality=1):
    return {"Scan": [{"quality": quality, "angle_rad": 0.5, "distance_mm": 2.0}] * points}


@pytest.mark.parametrize("call, sent", [
    (lambda c: c.pong(), ["Pong"]),
    (lambda c: c.request_network_scan(), ["RequestNetworkScan"]),
    (lambda c: c.set_uid("é\n"), [{"SetUid": {"uid": "é\n"}}]),
    (lambda c: c.set_network_connection_config("lab", ""), [{"SetNetworkConnectionConfig": {"ssid": "lab", "password": ""}}]),
    (lambda c: c.set_drive_base_velocity(1.5, -FLT_MAX), [drive(1.5, -FLT_MAX)]),
    (lambda c: c.set_drive_base_velocity(0, 0), [drive(0.0, 0.0)]),
    (lambda c: c.set_drive_base_velocity(math.nextafter(ROUNDS_TO_INF, 0), 0), [drive(FLT_MAX, 0.0)]),
    (lambda c: c.send({"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 3, "right_velocity_rad_per_s": -0.0}}),
     [drive(3.0, -0.0)]),
])
def test_commands_reach_the_plim_exactly(fake_plim, call, sent):
    with PlimClient(fake_plim.url, stop_on_close=False, heartbeat_s=None) as client:
        call(client)
        assert fake_plim.messages() == sent


@pytest.mark.parametrize("call, error, text", [
    (lambda c: c.set_drive_base_velocity(math.nan, 0.0), ValueError, "left_rad_per_s must be finite, got nan"),
    (lambda c: c.set_drive_base_velocity(0.0, -math.inf), ValueError, "right_rad_per_s must be finite, got -inf"),
    (lambda c: c.set_drive_base_velocity(1e39, 0.0), ValueError, "left_rad_per_s is beyond the plim's 32-bit float"),
    (lambda c: c.set_drive_base_velocity(0.0, -ROUNDS_TO_INF), ValueError, "right_rad_per_s is beyond"),
    (lambda c: c.set_drive_base_velocity(10**40, 0), ValueError, "left_rad_per_s is beyond"),
    (lambda c: c.set_drive_base_velocity("1", 0.0), TypeError, "left_rad_per_s must be a number, not str"),
    (lambda c: c.set_drive_base_velocity(0.0, True), TypeError, "right_rad_per_s must be a number, not bool"),
    (lambda c: c.send({"SetDriveBaseVelocity": [1e39, 0]}), ValueError,
     "SetDriveBaseVelocity.left_velocity_rad_per_s: 1e+39 is beyond the plim's 32-bit float range"),
    (lambda c: c.send({"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0, "right_velocity_rad_per_s": -math.inf}}),
     ValueError, "SetDriveBaseVelocity.right_velocity_rad_per_s"),
    (lambda c: c.send({"SetDriveBaseVelocity": [math.nan, 0]}), ValueError, "SetDriveBaseVelocity.left_velocity"),
    (lambda c: c.send({"SetUid": {"uid": 5}}), ValueError, "SetUid.uid: expected a str, got int"),
])
def test_refused_commands_send_nothing(fake_plim, call, error, text):
    with PlimClient(fake_plim.url, heartbeat_s=None) as client:
        with pytest.raises(error, match=re.escape(text)):
            call(client)
        assert client.stats.messages_sent == 0
    assert fake_plim.datagrams() == []  # and no stop on close either: nothing was set moving


@pytest.mark.parametrize("call", [
    lambda c: c.recv_match("Scna", 0.5), lambda c: c.recv_match(("Scan", "scan")), lambda c: c.latest("scan"),
    lambda c: c.latest_time("Pongs"), lambda c: c.latest_timed(""), lambda c: c.subscribe(["Scan", "IMU"]),
])
def test_unknown_kinds_are_refused_at_once(call):
    with PlimClient("sim://") as client:
        start = time.monotonic()
        with pytest.raises(ValueError, match=rf"^unknown message kind '\w*'; the plim sends {KNOWN}$"):
            call(client)
        assert time.monotonic() - start < 0.4  # not after waiting out a timeout


@pytest.mark.parametrize("call, error", [
    (lambda c: c.recv(timeout="1"), "timeout must be a number of seconds or None, not str"),
    (lambda c: c.recv(-1), "timeout must be a non-negative number of seconds, got -1"),
    (lambda c: c.wait_for_link(math.nan), "timeout must be a non-negative number of seconds, got nan"),
    (lambda c: c.subscribe(maxlen=0), "maxlen must be a positive int, got 0"),
])
def test_bad_arguments_say_which_and_what_they_take(call, error):
    with PlimClient("sim://") as client:
        with pytest.raises((TypeError, ValueError), match=f"^{error}$"):
            call(client)


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
    run = run_child(f"from plim_link import PlimClient\nc = PlimClient({fake_plim.url!r})\n{CLOSINGS[how]}\n")
    expected = {"stopped already": [drive(2.0, 1.0), STOP], "stop_on_close=False": [drive(2.0, 1.0)]}
    assert fake_plim.commands() == expected.get(how, [drive(2.0, 1.0), STOP])
    assert ("KeyboardInterrupt" in run.stderr) == (how == "Ctrl-C")


@pytest.mark.parametrize("signum, own_handler, status", [
    (signal.SIGTERM, False, 143), (signal.SIGHUP, False, 129),
    (signal.SIGTERM, True, 7),  # a program's own handler is left in place
])
def test_a_signal_stops_the_wheels_and_ends_the_program(fake_plim, signum, own_handler, status):
    handler = "signal.signal(signal.SIGTERM, lambda *_: sys.exit(7))\n" if own_handler else ""
    script = (f"import signal, sys, time\nfrom plim_link import PlimClient\n{handler}"
              f"c = PlimClient({fake_plim.url!r})\nc.set_drive_base_velocity(2, 1)\nprint('driving', flush=True)\n"
              "time.sleep(60)\n")
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "driving\n"
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, err) == (status, "")
    assert fake_plim.commands() == [drive(2.0, 1.0), STOP]


def test_a_full_disk_stops_the_recording_not_the_link(fake_plim, tmp_path):
    path = tmp_path / "run.plimlog"
    script = f"""
import resource
from plim_link import PlimClient
resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
with PlimClient({fake_plim.url!r}, record={str(path)!r}) as c:
    c.set_drive_base_velocity(4.0, 4.0)
    print("driving", flush=True)
    for _ in range(100):
        assert c.recv(10) is not None
    print(c.stats.recording_error, flush=True)
    c.set_uid("after")
"""
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "driving\n"
        fake_plim.wait_for_host()
        for i in range(100):
            fake_plim.send(device_frame(scan(50, quality=i)))
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, out) == (0, "[Errno 27] File too large\n")
    assert err.count("recording stopped") == 1 and "Traceback" not in err
    assert fake_plim.commands() == [drive(4.0, 4.0), {"SetUid": {"uid": "after"}}, STOP]
    assert path.stat().st_size <= 20000


def forge_unreachable(sender, receiver, code=13):
    """An ICMP "destination unreachable" for a datagram `sender` sent to `receiver` (code 13: what a
    firewall's REJECT sends, "communication administratively prohibited")."""
    def checksum(data):
        total = sum(struct.unpack(f"!{len(data) // 2}H", data))
        total = (total >> 16) + (total & 0xFFFF)
        return ~(total + (total >> 16)) & 0xFFFF
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 32, 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(sender[0]), socket.inet_aton(receiver[0]))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    icmp = struct.pack("!BBHI", 3, code, 0, 0) + ip + struct.pack("!HHHH", sender[1], receiver[1], 12, 0) + b"ping"
    icmp = icmp[:2] + struct.pack("!H", checksum(icmp)) + icmp[4:]
    try:
        raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    except PermissionError:
        pytest.skip("forging ICMP needs a raw socket (root)")
    with raw:
        raw.sendto(icmp, (receiver[0], 0))


def test_an_icmp_error_does_not_end_the_connection(fake_plim):
    with PlimClient(fake_plim.url) as client:
        fake_plim.wait_for_host()
        forge_unreachable(fake_plim.host, fake_plim.sock.getsockname())
        deadline = time.monotonic() + WAIT_S
        while client.stats.transport_errors == 0:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        fake_plim.send(device_frame(scan(1)))
        assert client.recv(WAIT_S) == scan(1)
        assert (client.ended, client.link_state, client.stats.transport_errors) == (False, "up", 1)


def test_link_goes_down_when_the_plim_dies_and_comes_back_by_itself():
    port = free_udp_port()
    proc, url = spawn_sim("--port", str(port))
    try:
        with PlimClient(url, link_timeout_s=1.0) as client:
            assert client.wait_for_link(WAIT_S)
            proc.kill()
            proc.wait()
            killed = time.monotonic()
            while client.link_state == "up":
                assert time.monotonic() - killed < 1.0 + 1.0
                time.sleep(0.02)
            assert (client.link_state, client.stats.link_downs) == ("down", 1)
            proc, _ = spawn_sim("--port", str(port))
            restarted = time.monotonic()
            assert client.wait_for_link(3.0) and client.link_state == "up"
            client.drain()
            assert client.recv_match("DriveBaseState", 3.0 - (time.monotonic() - restarted)) is not None
            sent = client.stats.sent_by_kind
        assert set(sent) == {"Ping"}  # the heartbeat alone brought the reports back
    finally:
        stop(proc)


def test_every_subscriber_gets_every_message(fake_plim):
    messages = [scan(i % 4, quality=i) if i % 3 else "Ping" for i in range(150)]
    with PlimClient(fake_plim.url, auto_pong=False) as client:
        fake_plim.wait_for_host()
        with client.subscribe() as everything, client.subscribe("Scan", maxlen=200) as scans:
            for message in messages:
                fake_plim.send(device_frame(message))
            got = [[inbox.recv(WAIT_S) for _ in range(150)] for inbox in (client, everything)]
            got.append([scans.recv(WAIT_S) for _ in range(100)])
            assert got == [messages, messages, [m for m in messages if m != "Ping"]]
            assert (everything.dropped, scans.dropped, scans.recv(0)) == (0, 0, None)
            timed = everything.recv_timed(0)
        fake_plim.send(device_frame("Ping"))
        assert client.recv(WAIT_S) == "Ping" and scans.recv(0.1) is None and timed is None


def test_time_and_backlog(fake_plim):
    with PlimClient(fake_plim.url) as client:
        fake_plim.wait_for_host()
        before = time.time()
        for message in ("Ping", scan(1), "Ping"):
            fake_plim.send(device_frame(message))
        first = client.recv_timed(WAIT_S)
        assert isinstance(first, Timed) and first.message == "Ping" and before <= first.time <= time.time()
        assert client.recv_match("Scan", WAIT_S) == scan(1)
        deadline = time.monotonic() + WAIT_S
        while client.stats.messages_received < 3:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        assert client.drain() == 1 and client.recv(0) is None
        latest = client.latest_timed("Scan")
        assert latest.message == scan(1) and latest.time == pytest.approx(first.time, abs=1.0)
        assert client.latest_time("Scan") <= time.monotonic()


def test_receiving_pings_and_bad_frames(fake_plim, caplog):
    with PlimClient(fake_plim.url) as client, PlimClient(fake_plim.url, auto_pong=False, strict=True) as strict:
        hosts = []
        for _ in (client, strict):
            fake_plim.wait_for_host()
            hosts.append(fake_plim.host)
        for host in hosts:
            fake_plim.send(device_frame("Ping") + b"\x01\x00\x05\x00" + device_frame({"Scan": []}), host)
        with caplog.at_level(logging.WARNING, logger="plim_link"):
            by_host = {}
            for c in (client, strict):
                outcomes = []
                for _ in range(4 if c is strict else 2):
                    try:
                        outcomes.append(c.recv(WAIT_S))
                    except ValueError as exc:
                        outcomes.append(str(exc))
                by_host[c] = outcomes
        assert by_host[client] == ["Ping", {"Scan": []}]
        # A frame with broken COBS leaves no trace in the link, so its place in the order is not kept.
        assert by_host[strict][0] == "Ping" and sorted(map(str, by_host[strict][1:])) == [
            "frame dropped: broken COBS encoding, or cut short by a receive buffer overflow",
            "plim-api error: Message frame too short to contain a version header", "{'Scan': []}"]
        assert (client.stats.errors, strict.stats.errors) == (2, 2)
        assert "Message frame too short" in caplog.text
        assert client.latest("Scan") == {"Scan": []} and client.latest("Pong") is None
    assert fake_plim.senders() == [("Pong", hosts[0])]  # the auto-pong went out from the first client only


def test_udp_keeps_to_the_plim_address(fake_plim):
    with PlimClient(fake_plim.url) as client, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as intruder:
        fake_plim.wait_for_host()
        intruder.sendto(device_frame(scan(2)), fake_plim.host)
        fake_plim.send(device_frame(scan(1)))
        assert client.recv_match(("Pong", "Scan"), WAIT_S) == scan(1)
        assert client.recv(0.3) is None


@pytest.mark.parametrize("peer", [None, "127.0.0.1"])
def test_udp_listen_keeps_to_the_first_sender_and_sends_it_only_the_newest_wheel_command(peer):
    port = free_udp_port()
    url = f"udp-listen://127.0.0.1:{port}" + (f"?peer={peer}" if peer else "")
    plim, other = FakePlim(), FakePlim()
    try:
        with PlimClient(url) as client:
            client.set_uid("early")  # held until the plim is known
            for v in range(1, 500):
                client.set_drive_base_velocity(float(v), 0.0)
            plim.host = other.host = ("127.0.0.1", port)
            plim.send(device_frame("Ping"))
            assert client.recv(WAIT_S) == "Ping"
            other.send(device_frame(scan(2)))
            plim.send(device_frame(scan(1)))
            assert client.recv(WAIT_S) == scan(1)
            assert client.stats.foreign_datagrams == 1
        assert plim.commands() == [{"SetUid": {"uid": "early"}}, drive(499.0, 0.0), "Pong", STOP]
        assert other.datagrams() == []
    finally:
        plim.close()
        other.close()


def test_fuzzed_bytes_only_count_errors(fake_plim, caplog):
    rng = random.Random(7)
    with PlimClient(fake_plim.url, auto_pong=False) as client, caplog.at_level(logging.WARNING, logger="plim_link"):
        fake_plim.wait_for_host()
        for sent in range(1, 401):
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 600)))
            if rng.random() < 0.3:  # frames that decode up to a point are the interesting ones
                frame = device_frame(scan(3))
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
        assert stats.packets_received == 401 and stats.errors > 100
        assert stats.messages_received == len(received) + 1
    # A flood of bad frames is counted exactly but warned about about once a second.
    assert 1 <= caplog.text.count("skipped a bad frame") <= 1 + 2 * WAIT_S


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
    assert stats.sent_by_kind["Pong"] >= 1 and stats.errors == 0 and stats.rtt_s is not None
    assert set(stats.received_by_kind) >= {"Scan", "ImuMeasurement", "DriveBaseState", "State", "Pong", "Ping"}
    assert stats.bytes_sent > 0 and stats.packets_received >= stats.messages_received


def test_the_simulated_plim_holds_a_command_deadline():
    with PlimClient("sim://?command_timeout_s=0.3&drive_base_hz=50") as client:
        client.set_drive_base_velocity(5.0, 5.0)
        speeds = []
        deadline = time.monotonic() + WAIT_S
        while not (speeds and speeds[-1] < 0.1 < max(speeds)):
            assert time.monotonic() < deadline
            speeds.append(client.recv_match("DriveBaseState", WAIT_S)["DriveBaseState"]["left"]["velocity_rad_per_s"])
        assert max(speeds) < 5.0  # it stopped well before reaching the commanded speed


def test_ping_times_out_without_a_plim(fake_plim):
    with PlimClient(fake_plim.url) as client:
        with pytest.raises(TimeoutError, match="no Pong from the plim within 0.2 s"):
            client.ping(0.2)


def test_one_read_longer_than_the_link_buffer():
    # A serial read after a stall can hold many frames at once; none may be lost to the link's 5000-byte window.
    big = {"Scan": [{"quality": 3, "angle_rad": 1.0, "distance_mm": 250.0}] * 300}
    core = ClientCore(mono_ns=0)
    replies = core.receive(b"".join(device_frame(m) for m in [big, "Ping", big, big]), 0, 0)
    assert [t.message for t in core.inbox.items] == [big, "Ping", big, big]
    assert replies == [bytes([1, 1, 2, 2, 1, 1, 2, 1, 0])]  # and the Pong for the Ping


def test_sim_url_settings_reach_the_simulator():
    with PlimClient("sim://?uid=Z9&scan_points=12&scan_hz=20&seed=5") as client:
        client.request_network_scan()
        assert client.recv_match("State", WAIT_S)["State"]["uid"] == "Z9"
        assert len(client.recv_match("Scan", WAIT_S)["Scan"]) == 12
