"""The plim command in its own process: output, exit status, and what reaches the plim."""
import json
import select
import signal
import subprocess
import time

import pytest

from client_support import PLIM, WAIT_S, device_frame, fake_plim, sim_url, spawn_sim, stop  # noqa: F401
from plim_link.recording import RECEIVED, encode_record, MAGIC


def plim(*args, timeout=60):
    return subprocess.run([*PLIM, *args], capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("args, error", [
    ((), "plim: error: the following arguments are required: command"),
    (("fly",), "plim: error: argument command: invalid choice: 'fly' (choose from 'sim', 'monitor', 'dump', "
               "'ping', 'drive', 'record', 'bridge', 'fleet')"),
    (("ping", "sim://", "-c", "0"), "plim ping: error: argument -c/--count: must be a positive number: '0'"),
    (("drive", "sim://", "--left", "1", "--right", "inf", "--seconds", "1"),
     "plim drive: error: argument --right: must be a finite number: 'inf'"),
    (("drive", "sim://", "--left", "1", "--right", "1"), "plim drive: error: the following arguments are required: --seconds"),
    (("ping", "udp://host"), "plim ping: error: bad plim URL 'udp://host': udp:// needs a host and a port; the form is "
     "udp://HOST:PORT"),
    (("dump", "x.plimlog", "--kind", "Scans"), "plim dump: error: argument --kind: invalid choice: 'Scans' (choose from "
     "'Ping', 'Pong', 'Scan', 'DriveBaseState', 'ImuMeasurement', 'State')"),
    (("dump", "/nonexistent/run.plimlog"), "plim dump: error: [Errno 2] No such file or directory: '/nonexistent/run.plimlog'"),
])
def test_bad_arguments_get_one_line_and_status_2(args, error):
    run = plim(*args)
    assert (run.returncode, run.stdout, run.stderr) == (2, "", error + "\n")


def test_ping_and_monitor_the_simulated_plim(sim_url):
    ping = plim("ping", sim_url, "-c", "3", "--interval", "0.05", "--timeout", str(WAIT_S))
    lines = ping.stdout.splitlines()
    assert ping.returncode == 0 and [line.split(":")[0] for line in lines[:3]] == ["reply 1", "reply 2", "reply 3"]
    assert lines[3] == "3 sent, 3 received, 0% loss" and lines[4].startswith("rtt min/avg/max = ")
    monitor = plim("monitor", sim_url, "--seconds", "1.2", "--interval", "0.5")
    assert monitor.returncode == 0
    screen = monitor.stdout.rsplit("messages per second:", 1)[1]
    for text in ("ImuMeasurement", "DriveBaseState:", "  uid                            SIM-0001", "last sweep (360 points):",
                 "(farthest point ", "bad frames: 0"):
        assert text in screen


def test_dump_a_recording_filtered(tmp_path):
    path = tmp_path / "run.plimlog"
    messages = ["Ping", {"Scan": []}, "Pong", {"Scan": [{"quality": 1, "angle_rad": 0.5, "distance_mm": None}]}]
    path.write_bytes(MAGIC + b"".join(encode_record(RECEIVED, i, device_frame(m)) for i, m in enumerate(messages)))
    run = plim("dump", str(path), "--kind", "Scan", "--kind", "Ping")
    assert run.stdout == '"Ping"\n{"Scan":[]}\n{"Scan":[{"quality":1,"angle_rad":0.5,"distance_mm":null}]}\n'
    assert [json.loads(line) for line in plim("dump", f"file://{path}").stdout.splitlines()] == messages


@pytest.mark.parametrize("interrupt", [False, True])
def test_drive_holds_then_stops(fake_plim, interrupt):
    proc = subprocess.Popen([*PLIM, "drive", fake_plim.url, "--left", "2.5", "--right", "-1", "--seconds",
                             "30" if interrupt else "0.5", "--hz", "20"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        if interrupt:
            assert select.select([fake_plim.sock], [], [], WAIT_S)[0]  # it is driving
            time.sleep(0.2)
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        stop(proc)
    sent = fake_plim.commands()
    moving = {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 2.5, "right_velocity_rad_per_s": -1.0}}
    halt = {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0.0, "right_velocity_rad_per_s": 0.0}}
    assert sent[-1] == halt and set(map(json.dumps, sent[:-1])) == {json.dumps(moving)}
    assert (proc.returncode, "Traceback" in err) == ((130, False) if interrupt else (0, False))
    if not interrupt:
        assert 1 <= len(sent) - 1 <= 11 and out.startswith(f"sent {len(sent) - 1} velocity commands over 0.5 s")


def test_record_then_dump(sim_url, tmp_path):
    path = tmp_path / "run.plimlog"
    run = plim("record", sim_url, str(path), "--seconds", "1")
    assert run.returncode == 0 and run.stderr.startswith("recorded ")
    kinds = {next(iter(json.loads(line))) for line in plim("dump", str(path)).stdout.splitlines() if "{" in line}
    assert kinds >= {"State", "Scan", "ImuMeasurement", "DriveBaseState"}


@pytest.mark.parametrize("url", ["sim://", "live"])
def test_dump_of_a_live_plim_gets_reports_without_a_command(sim_url, url):
    # The plim reports to the host that spoke last, so dump greets it.
    run = plim("dump", sim_url if url == "live" else url, "--seconds", "1.5", "--kind", "DriveBaseState")
    assert run.returncode == 0
    assert run.stdout and all(line.startswith('{"DriveBaseState":') for line in run.stdout.splitlines())


def test_sim_ends_cleanly_on_ctrl_c():
    proc, url = spawn_sim("--scan-points", "10")
    try:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, out, err) == (130, "", "")
