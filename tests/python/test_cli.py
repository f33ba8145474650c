"""The plim command in its own process: output, exit status, and what reaches the plim."""
import json
import os
import select
import signal
import subprocess
import time

import pytest

from client_support import (PLIM, WAIT_S, FakePlim, device_frame, fake_plim, free_udp_port, sim_url,  # noqa: F401
                            spawn_sim, stop)
from plim_link import PlimClient, __version__
from plim_link.messages import DEVICE_MESSAGE_KINDS, HOST_MESSAGE_KINDS
from plim_link.recording import MAGIC, RECEIVED, encode_record
from test_client import STOP, drive, scan

COMMANDS = "'sim', 'monitor', 'dump', 'ping', 'drive', 'record', 'info', 'export', 'view', 'plot', 'bridge', 'fleet'"


def plim(*args, timeout=60):
    return subprocess.run([*PLIM, *args], capture_output=True, text=True, timeout=timeout)


def start(*args):
    return subprocess.Popen([*PLIM, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("args, error", [
    ((), "plim: error: the following arguments are required: command"),
    (("fly",), f"plim: error: argument command: invalid choice: 'fly' (choose from {COMMANDS})"),
    (("sim", "--scan-hz", "-5"), "plim sim: error: argument --scan-hz: must be a finite rate, 0 for off: '-5'"),
    (("sim", "--imu-hz", "inf"), "plim sim: error: argument --imu-hz: must be a finite rate, 0 for off: 'inf'"),
    (("sim", "--port", "99999"), "plim sim: error: argument --port: must be a port from 0 to 65535: '99999'"),
    (("sim", "--port", "-1"), "plim sim: error: argument --port: must be a port from 0 to 65535: '-1'"),
    (("sim", "--scan-points", "600"), "plim sim: error: --scan-points must be from 1 to 552, got 600: a longer sweep "
                                      "does not fit the host's 5000-byte receive window"),
    (("sim", "--scan-points", "0"), "plim sim: error: --scan-points must be from 1 to 552, got 0: a longer sweep "
                                    "does not fit the host's 5000-byte receive window"),
    (("sim", "--host", "é" * 300), f"plim sim: error: --host {'é' * 60!r} is not an address of this machine"),
    (("sim", "--report-to", "nowhere"), "plim sim: error: --report-to 'nowhere': give HOST:PORT"),
    (("monitor", "sim://", "--interval", "1e300"),
     "plim monitor: error: argument --interval: must be a positive number of seconds, at most 1e9: '1e300'"),
    (("dump", "x.plimlog", "--kind", "Scans"), "plim dump: error: argument --kind: invalid choice: 'Scans' (choose "
     "from " + ", ".join(map(repr, dict.fromkeys(DEVICE_MESSAGE_KINDS + HOST_MESSAGE_KINDS))) + ")"),
    (("dump", "/nonexistent/run.plimlog"), "plim dump: error: [Errno 2] No such file or directory: "
                                           "'/nonexistent/run.plimlog'"),
    (("dump", "/"), "plim dump: error: [Errno 21] Is a directory: '/'"),
    (("ping", "sim://", "-c", "0"), "plim ping: error: argument -c/--count: must be a positive whole number: '0'"),
    (("ping", "sim://", "--timeout", "1e300"),
     "plim ping: error: argument --timeout: must be a positive number of seconds, at most 1e9: '1e300'"),
    (("ping", "udp://host"), "plim ping: error: bad plim URL 'udp://host': udp:// needs a host and a port; the form is "
                             "udp://HOST:PORT"),
    (("ping", "serial:///dev/ttyS0?baud=99999999999"), "plim ping: error: bad plim URL "
     "'serial:///dev/ttyS0?baud=99999999999': option baud='99999999999' is not valid (a positive whole number of bits "
     "per second); the form is serial:///dev/ttyUSB0[?baud=115200]"),
    (("drive", "sim://", "--left", "1", "--right", "inf", "--seconds", "1"),
     "plim drive: error: argument --right: must be a finite number: 'inf'"),
    (("drive", "sim://", "--left", "1", "--right", "1"), "plim drive: error: the following arguments are required: "
                                                         "--seconds"),
    (("record", "sim://", "/etc/passwd"), "plim record: error: /etc/passwd exists; add --append to add a session to it"),
])
def test_bad_input_gets_one_line_and_status_2(args, error):
    run = plim(*args)
    assert (run.returncode, run.stdout, run.stderr) == (2, "", error + "\n")


@pytest.mark.parametrize("content", [b"", b"root:x:0:0:root:/root:/bin/bash\n"])
def test_a_file_that_is_not_a_recording_is_bad_input(tmp_path, content):
    path = tmp_path / "run.plimlog"
    path.write_bytes(content)
    commands = [["dump", str(path)], ["monitor", str(path)]] + [["record", "sim://", str(path), "--append"]] * bool(content)
    for command in commands:
        run = plim(*command)
        assert (run.returncode, run.stdout) == (2, "") and len(run.stderr.splitlines()) == 1, run.stderr
        assert run.stderr.startswith(f"plim {command[0]}: error: ") and "recording" in run.stderr


@pytest.mark.parametrize("args, error", [
    (("ping", "udp://nohost.invalid:7000"), "plim ping: error: [Errno -2] cannot resolve host 'nohost.invalid': "),
    (("drive", "serial:///dev/ttyNOPE", "--left", "1", "--right", "1", "--seconds", "1"),
     "plim drive: error: [Errno 2] could not open port /dev/ttyNOPE"),
])
def test_what_cannot_be_reached_is_status_1(args, error):
    run = plim(*args)
    assert (run.returncode, run.stdout) == (1, "") and run.stderr.startswith(error) and run.stderr.count("\n") == 1


def test_version():
    run = plim("--version")
    assert (run.returncode, run.stdout) == (0, f"plim {__version__}\n") and __version__[0].isdigit()


def test_ping_and_monitor_the_simulated_plim(sim_url):
    ping = plim("ping", sim_url, "-c", "3", "--interval", "0.05", "--timeout", str(WAIT_S))
    lines = ping.stdout.splitlines()
    assert ping.returncode == 0 and [line.split(":")[0] for line in lines[:3]] == ["reply 1", "reply 2", "reply 3"]
    assert lines[3:5] == [f"--- {sim_url} ping statistics ---", "3 sent, 3 received, 0% loss"]
    assert lines[5].startswith("rtt min/avg/max = ")
    monitor = plim("monitor", sim_url, "--seconds", "1.2", "--interval", "0.5")
    assert monitor.returncode == 0
    screen = monitor.stdout.rsplit("link: ", 1)[1]
    for text in ("up\n", "ImuMeasurement", "DriveBaseState:", "  uid                            SIM-0001",
                 "last sweep (360 points):", "(farthest point ", "bad frames: 0"):
        assert text in screen


def test_ping_without_an_answer_fails(fake_plim):
    run = plim("ping", fake_plim.url, "-c", "2", "--interval", "0.01", "--timeout", "0.1")
    assert run.returncode == 1 and run.stdout.splitlines()[-1] == "2 sent, 0 received, 100% loss"


def test_monitor_a_silent_plim_and_a_recording(fake_plim, tmp_path):
    silent = plim("monitor", fake_plim.url, "--seconds", "1.5", "--interval", "0.7")
    assert silent.returncode == 0 and "link: connecting, no message for 1 s" in silent.stdout
    path = tmp_path / "run.plimlog"
    path.write_bytes(MAGIC + b"".join(encode_record(RECEIVED, i * 10**8, device_frame(scan(3))) for i in range(8)))
    replay = plim("monitor", str(path), "--interval", "0.3", "--speed", "2")
    assert replay.returncode == 0 and "last sweep (3 points):" in replay.stdout


def test_dump_a_recording_filtered(tmp_path):
    path = tmp_path / "run.plimlog"
    messages = ["Ping", {"Scan": []}, "Pong", {"Scan": [{"quality": 1, "angle_rad": 0.5, "distance_mm": None}]}]
    path.write_bytes(MAGIC + b"".join(encode_record(RECEIVED, i, device_frame(m)) for i, m in enumerate(messages)))
    run = plim("dump", str(path), "--kind", "Scan", "--kind", "Ping")
    assert run.stdout == '"Ping"\n{"Scan":[]}\n{"Scan":[{"quality":1,"angle_rad":0.5,"distance_mm":null}]}\n'
    assert [json.loads(line) for line in plim("dump", f"file://{path}").stdout.splitlines()] == messages


def answer(plim_socket, count=3):
    """Makes a scripted plim look alive to the client that spoke to it."""
    plim_socket.wait_for_host()
    for i in range(count):
        plim_socket.send(device_frame(scan(1, quality=i)))


@pytest.mark.parametrize("ending, status", [("done", 0), ("Ctrl-C", 130), ("SIGTERM", 143), ("plim goes silent", 1)])
def test_drive_waits_for_the_plim_holds_then_stops(fake_plim, ending, status):
    proc = start("drive", fake_plim.url, "--left", "2.5", "--right", "-1", "--seconds", "0.5" if ending == "done" else "30",
                 "--hz", "20", "--link-timeout", "0.5")
    try:
        answer(fake_plim)
        deadline = time.monotonic() + (0.0 if ending == "plim goes silent" else 0.3)
        while time.monotonic() < deadline:  # telemetry keeps the link up
            fake_plim.send(device_frame(scan(1)))
            time.sleep(0.05)
        if ending == "Ctrl-C":
            proc.send_signal(signal.SIGINT)
        elif ending == "SIGTERM":
            proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    sent = fake_plim.commands()
    assert sent[-1] == STOP and {json.dumps(m) for m in sent[:-1]} == {json.dumps(drive(2.5, -1.0))}
    assert proc.returncode == status and "Traceback" not in err
    if ending == "done":
        assert 1 <= len(sent) - 1 <= 11 and out.startswith(f"sent {len(sent) - 1} velocity commands over 0.5 s")
    if ending == "plim goes silent":
        assert err.startswith("plim drive: error: the link went down after ") and err.endswith("; sent the stop\n")


def test_drive_sends_nothing_to_a_plim_that_does_not_answer(fake_plim):
    run = plim("drive", fake_plim.url, "--left", "1", "--right", "1", "--seconds", "1", "--timeout", "0.3")
    assert (run.returncode, run.stderr) == (1, "plim drive: error: no answer from the plim within 0.3 s; sent no "
                                               "velocity\n")
    assert fake_plim.commands() == []


@pytest.mark.parametrize("ending, status", [("--seconds", 0), ("Ctrl-C", 0), ("SIGTERM", 143)])
def test_record_then_dump(sim_url, tmp_path, ending, status):
    path = tmp_path / "run.plimlog"
    proc = start("record", sim_url, str(path), *(["--seconds", "1"] if ending == "--seconds" else []))
    try:
        if ending != "--seconds":
            time.sleep(1.5)
            proc.send_signal(signal.SIGINT if ending == "Ctrl-C" else signal.SIGTERM)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, err) == (status, "")
    if status == 0:
        assert out.strip().startswith("recorded ") and f" s to {path}: " in out and " DriveBaseState, " in out
    kinds = {next(iter(json.loads(line))) for line in plim("dump", str(path)).stdout.splitlines() if "{" in line}
    assert kinds >= {"State", "Scan", "ImuMeasurement", "DriveBaseState"}
    again = plim("record", sim_url, str(path), "--seconds", "0.5", "--append")
    assert again.returncode == 0


def test_record_of_nothing_fails(fake_plim, tmp_path):
    run = plim("record", fake_plim.url, str(tmp_path / "quiet.plimlog"), "--seconds", "0.5")
    assert run.returncode == 1 and run.stderr == "plim record: error: nothing came from the plim\n"
    assert "no messages" in run.stdout


@pytest.mark.parametrize("url", ["sim://", "live"])
def test_dump_of_a_live_plim_ends_on_ctrl_c(sim_url, url):
    proc = start("dump", sim_url if url == "live" else url, "--kind", "DriveBaseState")
    try:
        assert select.select([proc.stdout], [], [], WAIT_S)[0]
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, err) == (0, "")
    assert out and all(line.startswith('{"DriveBaseState":') for line in out.splitlines())


def test_sim_options_and_its_ending(tmp_path):
    port = free_udp_port()
    proc, url = spawn_sim("--uid", "LAB-7", "--scan-hz", "0", "--report-to", f"127.0.0.1:{port}", "--host", "0.0.0.0")
    try:
        assert url.startswith("udp://127.0.0.1:")
        with PlimClient(f"udp-listen://127.0.0.1:{port}") as client:  # reports come without a word from the host
            assert client.recv_match("DriveBaseState", WAIT_S) is not None
        with PlimClient(url) as client:
            client.request_network_scan()
            assert client.recv_match("State", WAIT_S)["State"]["uid"] == "LAB-7"
            assert client.stats.received_by_kind["Scan"] == 0
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, out) == (0, "") and err.startswith("other machines can use ")
