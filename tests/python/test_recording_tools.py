"""plim info, dump (timestamps, sent, CSV), export, plot and view, each in its own process."""
import json
import os
import select
import signal
import struct
import subprocess
import time

import pytest

from client_support import PLIM, WAIT_S, device_frame, run_child, sim_url, stop  # noqa: F401
from plim_ffi import Link
from plim_link.recording import MAGIC, RECEIVED, SENT, SESSION, WALL, encode_record

WALL0 = 1_700_000_000 * 10**9  # 2023-11-14T22:13:20Z
DRIVE = {"DriveBaseState": {"left": {"effort_percent": 50.0, "velocity_rad_per_s": 0.1, "position_rad": None},
                            "right": {"effort_percent": -0.0, "velocity_rad_per_s": 1e-7, "position_rad": 3.0}}}
SCAN = {"Scan": [{"quality": 9, "angle_rad": 0.0, "distance_mm": 1000.0},
                 {"quality": 7, "angle_rad": 1.5707963705062866, "distance_mm": None}]}


def host_frame(text):
    link = Link()
    link.send(text)
    return bytes(json.loads(link.poll_transmit()))


def crafted(path):
    """Session 1 with its header (four packets, a bad frame and 4 damaged bytes among them), then
    session 2 whose header was lost; returns the file's bytes."""
    about = b'{"plim_ffi":"9.9.9","wire":"0.2.0","url":"sim://?seed=3"}'
    records = [MAGIC, encode_record(SESSION, 10**9, WALL.pack(WALL0) + about, 1),
               encode_record(RECEIVED, 10**9 + 10**8, device_frame(DRIVE), 1),
               encode_record(SENT, 10**9 + 2 * 10**8, host_frame('{"SetDriveBaseVelocity":[0.5,-1e39]}'), 1),
               b"junk",
               encode_record(RECEIVED, 10**9 + 3 * 10**8, device_frame(SCAN) + b"\x02\x00", 1),
               encode_record(RECEIVED, 10**9 + 5 * 10**8, device_frame("Pong"), 1),
               encode_record(RECEIVED, 7 * 10**9, device_frame("Ping"), 2)]
    data = b"".join(records)
    path.write_bytes(data)
    return data


def plim(*args, timeout=60):
    return subprocess.run([*PLIM, *args], capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, TZ="UTC"))


def test_info_sums_up_sessions_traffic_and_damage(tmp_path):
    path = tmp_path / "run.plimlog"
    data = crafted(path)
    run = plim("info", str(path))
    received = len(device_frame(DRIVE)) + len(device_frame(SCAN)) + 2 + len(device_frame("Pong"))
    damage = f"plim_link: {path}: skipped 4 damaged bytes at offset {data.index(b'junk')}\n"
    assert (run.returncode, run.stderr) == (0, damage)
    assert run.stdout == f"""{path}: plim recording, format 2, {len(data)} bytes, 2 sessions
session 1: sim://?seed=3 (plim_ffi 9.9.9, wire 0.2.0)
  from 2023-11-14T22:13:20.000+00:00 to 2023-11-14T22:13:20.500+00:00, 0.500 s
  received: 3 packets, {received} bytes, 3 messages, 1 bad frames
    DriveBaseState                      1       2.00/s
    Pong                                1       2.00/s
    Scan                                1       2.00/s
  sent: 1 packets, 17 bytes, 1 messages, 0 bad frames
    SetDriveBaseVelocity                1       2.00/s
session 2: no header (damaged)
  from unknown to unknown, 0.000 s
  received: 1 packets, {len(device_frame('Ping'))} bytes, 1 messages, 0 bad frames
    Ping                                1
  sent: 0 packets, 0 bytes, 0 messages, 0 bad frames
damage: 4 bytes skipped in 1 stretch
"""
    summary = json.loads(plim("info", str(path), "--json").stdout)
    assert (summary["format"], summary["skipped_bytes"], summary["damaged_stretches"]) == (2, 4, 1)
    first = summary["sessions"][0]
    assert (first["start_ns"], first["end_ns"], first["url"], first["received"]["messages"]["Scan"]) == (
        WALL0, WALL0 + 5 * 10**8, "sim://?seed=3", {"count": 1, "per_s": 2.0})


def test_dump_with_times_and_what_the_host_sent(tmp_path):
    path = tmp_path / "run.plimlog"
    crafted(path)
    run = plim("dump", str(path), "--timestamps", "--sent")
    assert run.returncode == 0 and run.stdout.splitlines() == [
        '{"time":1700000000.100000000,"direction":"received","message":{"DriveBaseState":{"left":{"effort_percent":50.0,'
        '"velocity_rad_per_s":0.1,"position_rad":null},"right":{"effort_percent":-0.0,"velocity_rad_per_s":1e-7,'
        '"position_rad":3.0}}}}',
        '{"time":1700000000.200000000,"direction":"sent","message":{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":'
        '0.5,"right_velocity_rad_per_s":null}}}',
        '{"time":1700000000.300000000,"direction":"received","message":{"Scan":[{"quality":9,"angle_rad":0.0,'
        '"distance_mm":1000.0},{"quality":7,"angle_rad":1.5707964,"distance_mm":null}]}}',
        '{"time":1700000000.500000000,"direction":"received","message":"Pong"}',
        '{"time":null,"direction":"received","message":"Ping"}']
    assert plim("dump", str(path), "--kind", "Ping").stdout == '"Ping"\n'


@pytest.mark.parametrize("args, table", [
    (("--kind", "DriveBaseState"), "time,left.effort_percent,left.velocity_rad_per_s,left.position_rad,"
     "right.effort_percent,right.velocity_rad_per_s,right.position_rad\n1700000000.100000000,50.0,0.1,,-0.0,1e-7,3.0\n"),
    (("--kind", "Scan"), "time,index,quality,angle_rad,distance_mm\n1700000000.300000000,0,9,0.0,1000.0\n"
                         "1700000000.300000000,1,7,1.5707964,\n"),
    (("--kind", "SetDriveBaseVelocity", "--sent"), "time,direction,left_velocity_rad_per_s,right_velocity_rad_per_s\n"
                                                  "1700000000.200000000,sent,0.5,\n"),
    (("--kind", "Ping"), 'time\n""\n'),
])
def test_dump_a_kind_as_a_table(tmp_path, args, table):
    path = tmp_path / "run.plimlog"
    crafted(path)
    run = plim("dump", str(path), "--format", "csv", *args)
    assert (run.returncode, run.stdout) == (0, table)


def test_a_state_as_a_table_keeps_its_lists_whole(tmp_path):
    from plim_sim import PlimSimulator
    state = PlimSimulator(None).state()  # what the simulated plim reports
    path = tmp_path / "state.plimlog"
    path.write_bytes(MAGIC + encode_record(RECEIVED, 5, device_frame(state)))
    header, row = plim("dump", str(path), "--format", "csv", "--kind", "State").stdout.splitlines()
    assert header == ("time,uid,ip,mac,current_network_connection,available_network_connections,built_in_test.power,"
                      "built_in_test.wifi,built_in_test.lidar,built_in_test.imu,built_in_test.encoders")
    assert row.startswith(',SIM-0001,,02:00:5e:10:00:01,,"[{""ssid"":""lab"",""strength"":200},')
    assert row.endswith(',"[{""name"":""left"",""result"":""Pass""},{""name"":""right"",""result"":""Pass""}]"')


def test_dump_of_a_live_plim_shows_what_the_host_sent_too(sim_url):
    run = plim("dump", sim_url, "--timestamps", "--sent", "--seconds", "1.5")
    lines = [json.loads(line) for line in run.stdout.splitlines()]
    assert run.returncode == 0 and {"direction": "sent", "message": "Ping"}.items() <= lines[0].items()
    assert {line["direction"] for line in lines} == {"sent", "received"}
    received = [line["time"] for line in lines if line["direction"] == "received"]
    assert received == sorted(received) and abs(received[-1] - time.time()) < 60


@pytest.mark.parametrize("args, error", [
    (("dump", "run.plimlog", "--format", "csv"), "plim dump: error: --format csv takes exactly one --kind"),
    (("dump", "run.plimlog", "--kind", "SetUid"), "plim dump: error: SetUid: the host sends it; add --sent"),
    (("info", "passwd"), "plim info: error: {tmp}/passwd is not a plim recording"),
    (("export", "empty", "out.mcap"), "plim export: error: {tmp}/empty is empty, not a plim recording"),
    (("export", "run.plimlog", "run.plimlog"), "plim export: error: run.plimlog is the recording itself; export to "
                                                 "another file"),
    (("plot", "run.plimlog", "-o", "run.pdf"), "plim plot: error: run.pdf: the figure is written as .png or .svg"),
    (("view", ".", "--port", "0"), "plim view: error: [Errno 21] Is a directory: '{tmp}'"),
    (("plot", "missing", "-o", "x.png"), "plim plot: error: [Errno 2] No such file or directory: '{tmp}/missing'"),
])
def test_bad_input_is_one_line_and_status_2(tmp_path, args, error):
    crafted(tmp_path / "run.plimlog")
    (tmp_path / "passwd").write_text("root:x:0:0:root:/root:/bin/bash\n")
    (tmp_path / "empty").write_bytes(b"")
    run = subprocess.run([*PLIM, *args], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (2, "", error.format(tmp=tmp_path) + "\n")
    assert sorted(os.listdir(tmp_path)) == ["empty", "passwd", "run.plimlog"]


@pytest.mark.parametrize("command, module, hint", [
    ("export", "mcap", "exporting to MCAP needs mcap: pip install 'plim_ffi[mcap]'"),
    ("view", "foxglove", "the live view needs foxglove-sdk: pip install 'plim_ffi[foxglove]'"),
    ("plot", "matplotlib", "plotting needs matplotlib: pip install 'plim_ffi[plot]'"),
])
def test_a_missing_extra_says_what_to_install(tmp_path, command, module, hint):
    crafted(tmp_path / "run.plimlog")
    args = {"export": ["run.plimlog", "out.mcap"], "view": ["run.plimlog"], "plot": ["run.plimlog", "-o", "x.png"]}
    run = run_child(f"import sys; sys.modules[{module!r}] = None; from plim_link.cli import main; "
                    f"sys.exit(main({[command, *args[command]]!r}))", cwd=tmp_path)
    assert (run.returncode, run.stdout, run.stderr) == (2, "", f"plim {command}: error: {hint}\n")


def test_export_on_the_command_line(tmp_path):
    mcap_reader = pytest.importorskip("mcap.reader")
    path = tmp_path / "run.plimlog"
    crafted(path)
    run = plim("export", str(path), str(tmp_path / "run.mcap"))
    assert (run.returncode, run.stderr.splitlines()[-1]) == (0, f"wrote 5 messages to {tmp_path / 'run.mcap'}")
    with open(tmp_path / "run.mcap", "rb") as stream:
        topics = [c.topic for _, c, _ in mcap_reader.make_reader(stream).iter_messages(log_time_order=False)]
    assert topics == ["/plim/DriveBaseState", "/plim/host/SetDriveBaseVelocity", "/plim/Scan", "/plim/Scan/points",
                      "/plim/Pong", "/plim/Ping"]


def test_the_figure_has_its_panels_axes_and_the_chosen_sweep(sim_url, tmp_path):
    pytest.importorskip("matplotlib")
    from plim_link import PlimClient
    from plim_link.plot import plot
    path = tmp_path / "run.plimlog"
    with PlimClient(sim_url, record=path) as client:
        client.set_drive_base_velocity(4.0, 2.0)
        for _ in range(4):
            client.recv_match("Scan", WAIT_S)
    figure = plot(path, tmp_path / "run.png", at_s=0.0)
    panels = [(a.get_title(), a.get_xlabel(), a.get_ylabel(), [line.get_label() for line in a.get_lines()])
              for a in figure.axes]
    assert panels[:5] == [
        ("Wheel velocity", "time (s)", "velocity (rad/s)", ["left", "right"]),
        ("Acceleration", "time (s)", "Acceleration (m/s²)", ["x", "y", "z"]),
        ("Wheel position", "time (s)", "position (rad)", ["left", "right"]),
        ("Rotation rate", "time (s)", "Rotation rate (rad/s)", ["x", "y", "z"]),
        ("Wheel effort", "time (s)", "effort (%)", ["left", "right"])]
    sweep = figure.axes[5]
    assert sweep.get_title().startswith("Lidar from above (sweep at 0.") and sweep.get_title().endswith(", 360 points)")
    assert (sweep.get_xlabel(), sweep.get_ylabel(), len(sweep.collections[0].get_offsets())) == (
        "left of the robot, y (m)", "ahead, x (m)", 360)
    velocity = figure.axes[0].get_lines()[0].get_ydata()
    assert 0 <= velocity[0] < 1 and 2 < max(velocity) <= 4.0  # the left wheel spinning up towards 4 rad/s
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    run = plim("plot", str(path), "-o", str(tmp_path / "run.svg"))
    assert (run.returncode, (tmp_path / "run.svg").read_text()[:200].count("<svg")) == (0, 1)


def test_view_serves_a_recording_to_a_websocket_client(tmp_path):
    sync_client = pytest.importorskip("websockets.sync.client")
    pytest.importorskip("foxglove")
    path = tmp_path / "run.plimlog"
    crafted(path)
    proc = subprocess.Popen([*PLIM, "view", str(path), "--port", "0", "--speed", "100"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert select.select([proc.stdout], [], [], WAIT_S)[0]
        address = proc.stdout.readline().split(" at ")[1].split()[0]
        with sync_client.connect(address, subprotocols=["foxglove.sdk.v1"]) as ws:
            adverts = [json.loads(ws.recv(timeout=WAIT_S)) for _ in range(2)]
            channels = {c["topic"]: c for c in adverts[1]["channels"]}
            assert [a["op"] for a in adverts] == ["serverInfo", "advertise"] and len(channels) == 13
            assert (channels["/plim/Scan/points"]["schemaName"], channels["/plim/DriveBaseState"]["encoding"]) == (
                "foxglove.PointCloud", "json")
            wanted = {1: "/plim/DriveBaseState", 2: "/plim/Scan", 3: "/plim/Scan/points"}
            ws.send(json.dumps({"op": "subscribe", "subscriptions": [{"id": i, "channelId": channels[t]["id"]}
                                                                      for i, t in wanted.items()]}))
            got = {}
            while len(got) < 3:
                data = ws.recv(timeout=WAIT_S)
                if isinstance(data, bytes) and data[0] == 1:
                    subscription, log_time = struct.unpack_from("<IQ", data, 1)
                    got[wanted[subscription]] = (log_time, data[13:])
        assert got["/plim/DriveBaseState"] == (WALL0 + 10**8, link_text(DRIVE))
        assert got["/plim/Scan"] == (WALL0 + 3 * 10**8, link_text(SCAN))
        assert json.loads(got["/plim/Scan/points"][1])["frame_id"] == "plim"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=WAIT_S)
    finally:
        stop(proc)
    assert (proc.returncode, "Traceback" in err) == (0, False)


def link_text(message):
    link = Link()
    link.handle_receive(json.dumps(list(device_frame(message))))
    return link.poll_receive().encode()
