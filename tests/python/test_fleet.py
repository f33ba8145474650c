"""The fleet over real Zenoh sessions on loopback TCP: plims (scripted, and simulated in their own
process) -> `plim bridge` in its own process -> consumers and controllers here and in child processes."""
import asyncio
import json
import math
import select
import signal
import subprocess
import sys
import time

import pytest

zenoh = pytest.importorskip("zenoh")

from client_support import PLIM, ROOT, WAIT_S, FakePlim, device_frame, host_messages, spawn_sim, stop  # noqa: E402
from fleet_support import EVERY_KIND, STATE, free_tcp_endpoint, make_certificates, spawn_bridge, stop_bridge  # noqa: E402
from plim_link.fleet import Fleet  # noqa: E402
from plim_link.fleet_aio import open_fleet  # noqa: E402
from plim_link.inbox import Timed  # noqa: E402
from plim_link.recording import RECEIVED, SENT, open_records  # noqa: E402
from test_client import STOP, drive  # noqa: E402

KNOWN = "`Ping`, `Pong`, `RequestNetworkScan`, `SetNetworkConnectionConfig`, `SetUid`, `SetDriveBaseVelocity`"
REFUSED = [
    (b'{"SetDriveBaseVelocity":[NaN,0]}', "SetDriveBaseVelocity.left_velocity_rad_per_s: expected a number, got nan"),
    (b'{"SetDriveBaseVelocity":{"left_velocity_rad_per_s":0,"right_velocity_rad_per_s":-Infinity}}',
     "SetDriveBaseVelocity.right_velocity_rad_per_s: expected a number, got inf"),
    (b'{"SetDriveBaseVelocity":[1e39,0]}',
     "SetDriveBaseVelocity.left_velocity_rad_per_s: 1e+39 is beyond the plim's 32-bit float range"),
    (b'{"SetDriveBaseVelocity":[0,3.4028235677973366e38]}',
     "SetDriveBaseVelocity.right_velocity_rad_per_s: 3.4028235677973366e+38 is beyond the plim's 32-bit float range"),
    (b'"Fly"', f"message: unknown variant `Fly`, expected one of {KNOWN}"),
    (b'{"SetUid":', "bad JSON: Expecting value: line 1 column 11 (char 10)"),
    (b"\xff", "bad JSON: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
    (b"[" * 100000, "bad JSON: nested too deeply"),
]


class Bus:
    """A simulated plim `s` in its own process and scripted plims `f1`, `f2`, behind one bridge."""

    def __init__(self):
        self.endpoint = free_tcp_endpoint()
        self.sim, self.sim_url = spawn_sim("--scan-hz", "10", "--ping-hz", "5")
        self.plims = {"f1": FakePlim(), "f2": FakePlim()}
        self.bridge = spawn_bridge(f"s={self.sim_url}", *(f"{n}={p.url}" for n, p in self.plims.items()),
                                   "--listen", self.endpoint)
        for plim in self.plims.values():
            plim.wait_for_host()
        self.fleet = Fleet(connect=self.endpoint)

    def close(self):
        self.fleet.close()
        stop_bridge(self.bridge)
        stop(self.sim)
        for plim in self.plims.values():
            plim.close()


@pytest.fixture(scope="module")
def bus():
    bus = Bus()
    yield bus
    bus.close()


def until_flowing(sub, plim, frame):
    """Sends `frame` until the subscription gets it: the bridge has learnt of the subscriber."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        plim.send(frame)
        if sub.recv_text(0.1) is not None:
            while sub.recv_text(0.3) is not None:
                pass
            return
    raise AssertionError("nothing reached the subscription")


def test_every_kind_reaches_the_consumer_as_link_writes_it_with_its_time(bus):
    f1 = bus.plims["f1"]
    with bus.fleet.subscribe("f1") as sub:
        until_flowing(sub, f1, device_frame("Pong"))
        before = time.time_ns()
        for message, _ in EVERY_KIND:
            f1.send(device_frame(message))
        got = [sub.recv_text(WAIT_S) for _ in EVERY_KIND]
        after = time.time_ns()
    assert [(g.name, g.text) for g in got] == [("f1", text) for _, text in EVERY_KIND]
    times = [g.time_ns for g in got]
    assert before <= times[0] and times == sorted(times) and times[-1] <= after
    assert bus.fleet.latest_timed("f1", "State") == Timed(times[-1] / 1e9, STATE)
    assert bus.fleet.latest("f1", "Scan") == EVERY_KIND[2][0] and bus.fleet.latest("f2", "Scan") is None
    assert bus.fleet.names() == ["f1", "f2", "s"]
    info = bus.fleet.info("f1")
    assert (info["url"], info["link_state"], info["stats"]["received_by_kind"]["State"]) == (f1.url, "up", 1)
    assert bus.fleet.link_state("nobody") is None


def test_the_simulated_plim_takes_commands_and_reports_every_kind(bus):
    wanted = {"Ping", "Pong", "Scan", "DriveBaseState", "ImuMeasurement", "State"}
    with bus.fleet.subscribe("s") as sub:
        bus.fleet.send("s", {"SetUid": {"uid": "over-the-bus"}})
        bus.fleet.send("s", "RequestNetworkScan")
        seen, last_ns, deadline = {}, 0, time.monotonic() + WAIT_S
        while set(seen) != wanted and time.monotonic() < deadline:
            item = sub.recv_text(WAIT_S)
            message = json.loads(item.text)
            kind = message if isinstance(message, str) else next(iter(message))
            assert item.name == "s" and item.time_ns >= last_ns and abs(item.time_ns - time.time_ns()) < 1e9
            seen.setdefault(kind, message)
            last_ns = item.time_ns
    assert set(seen) == wanted and seen["State"]["State"]["uid"] == "over-the-bus"
    assert len(seen["Scan"]["Scan"]) == 360


def test_commands_reach_the_plim_and_refused_ones_only_the_error_key(bus):
    f1 = bus.plims["f1"]
    f1.commands()
    errors = []
    with zenoh.open(bus_config(bus.endpoint)) as session:
        listener = session.declare_subscriber("plim/f1/error", lambda s: errors.append(s.payload.to_string()))
        time.sleep(0.3)  # the subscriber reaches the bridge
        for payload, _ in REFUSED:
            session.put("plim/f1/cmd", payload)
        wait_for(lambda: len(errors) == len(REFUSED))
        assert errors == [text for _, text in REFUSED]
        assert f1.commands() == []
        # A controller's command that comes after its token has gone is void: the stop stands.
        token = session.liveliness().declare_token("plim/f1/controller/ghost")
        session.put("plim/f1/cmd", b'{"SetDriveBaseVelocity":[2,2]}', attachment=b"ghost")
        assert next_commands(f1, WAIT_S) == [drive(2.0, 2.0)]
        token.undeclare()
        assert next_commands(f1, WAIT_S) == [STOP]
        session.put("plim/f1/cmd", b'{"SetDriveBaseVelocity":[2,2]}', attachment=b"ghost")
        wait_for(lambda: len(errors) > len(REFUSED))
        listener.undeclare()
    assert errors[len(REFUSED):] == ["the controller that sent it has gone; not sent"] and f1.commands() == []
    bus.fleet.send("f1", {"SetDriveBaseVelocity": [1.5, -1]})
    bus.fleet.send("f1", "RequestNetworkScan")
    bus.fleet.set_drive_base_velocity("f1", 0, 0)
    assert f1.commands() == [drive(1.5, -1.0), "RequestNetworkScan", STOP]


def test_a_refused_fleet_command_puts_nothing_and_declares_no_controller(bus):
    f2 = bus.plims["f2"]
    f2.commands()
    with Fleet(connect=bus.endpoint) as fleet:
        for bad in ({"SetDriveBaseVelocity": [math.nan, 0]}, {"SetDriveBaseVelocity": [0, 1e39]}, "Fly",
                    {"SetUid": 5}):
            with pytest.raises(ValueError):
                fleet.send("f2", bad)
        with pytest.raises(ValueError, match="^plim name 'f\\*' must be a single key chunk"):
            fleet.send("f*", "Ping")
        tokens = [str(r.ok.key_expr) for r in bus.fleet._session.liveliness().get("plim/*/controller/**")]
        assert not any(fleet._id in token for token in tokens) and f2.commands() == []


def test_the_asyncio_fleet(bus):
    f1, imu = bus.plims["f1"], EVERY_KIND[4][0]

    async def run():
        async with await open_fleet(connect=bus.endpoint) as fleet:
            sub = fleet.subscribe("f1", "ImuMeasurement")
            while (got := await sub.recv(0.1)) is None:
                f1.send(device_frame(imu))
            await fleet.send("f1", {"SetUid": {"uid": "async"}})
            await fleet.set_drive_base_velocity("f1", 0.5, 0.5)
            await fleet.set_drive_base_velocity("f1", 0, 0)
            found = (await fleet.names(), await fleet.latest("f1", "ImuMeasurement"), await fleet.link_state("f1"))
            sub.close()
            return got, found, await asyncio.wait_for(sub.recv(), WAIT_S)
    f1.commands()
    got, (names, latest, state), after_close = asyncio.run(asyncio.wait_for(run(), 2 * WAIT_S))
    assert (got.name, got.message, names, latest, after_close) == ("f1", imu, ["f1", "f2", "s"], imu, None)
    assert state in ("up", "down") and f1.commands() == [{"SetUid": {"uid": "async"}}, drive(0.5, 0.5), STOP]


def wait_for(condition):
    deadline = time.monotonic() + WAIT_S
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)


def bus_config(endpoint):
    config = zenoh.Config()
    config.insert_json5("connect/endpoints", json.dumps([endpoint]))
    config.insert_json5("listen/endpoints", "[]")
    config.insert_json5("scouting/multicast/enabled", "false")
    return config


CONTROLLER = """
import sys, time
from plim_link.fleet import Fleet
fleet = Fleet(connect=sys.argv[1])
for left in sys.argv[2:]:
    fleet.send("f2", {{"SetDriveBaseVelocity": [float(left), 1.0 if float(left) else 0.0]}})
print("sent", flush=True)
time.sleep(60)
"""


def controller(endpoint, *lefts):
    proc = subprocess.Popen([sys.executable, "-c", CONTROLLER.format(), endpoint, *lefts], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    assert select.select([proc.stdout], [], [], WAIT_S)[0] and proc.stdout.readline() == "sent\n", proc.stderr.read()
    return proc


def next_commands(plim, within):
    """What reaches the plim (heartbeats aside) in `within` seconds, as soon as anything does."""
    deadline = time.monotonic() + within
    while (left := deadline - time.monotonic()) > 0:
        if select.select([plim.sock], [], [], left)[0]:
            got = [m for m in host_messages([plim.sock.recv(65536)]) if m != "Ping"]
            if got:
                return got
    return []


@pytest.mark.parametrize("lefts, end, stopped, within", [
    (("2",), signal.SIGKILL, True, 2.0),
    (("2", "0"), signal.SIGKILL, False, 0.8),  # its last command stopped the wheels: nothing to do
    (("2",), signal.SIGSTOP, True, 3.0),  # silent, as if its machine had left the network: after the 2 s lease
])
def test_when_the_last_controller_of_a_moving_plim_goes_the_plim_is_stopped(bus, lefts, end, stopped, within):
    f2 = bus.plims["f2"]
    f2.commands()
    other = controller(bus.endpoint, "0.5")  # a second controller: its death alone stops nothing
    main = controller(bus.endpoint, *lefts)
    assert f2.commands() == [drive(0.5, 1.0)] + [drive(float(x), 1.0 if float(x) else 0.0) for x in lefts]
    other.kill()
    assert next_commands(f2, 0.3) == []
    main.send_signal(end)
    ended = time.monotonic()
    got = next_commands(f2, within)
    waited = time.monotonic() - ended
    for proc in (main, other):
        proc.kill()
        proc.communicate()
    assert got == ([STOP] if stopped else []) and (waited < within or not stopped)


def test_a_bridge_stopped_by_sigterm_stops_the_plims_it_drove_and_keeps_their_recordings(tmp_path):
    endpoint = free_tcp_endpoint()
    moving, idle = FakePlim(), FakePlim()
    bridge = spawn_bridge(f"m={moving.url}", f"i={idle.url}", "--listen", endpoint, "--record", str(tmp_path))
    try:
        for plim in (moving, idle):
            plim.wait_for_host()
        with Fleet(connect=endpoint) as fleet:
            states = []
            fleet._session.declare_subscriber("plim/*/link", lambda s: states.append((str(s.key_expr),
                                                                                     s.payload.to_string())))
            fleet.send("m", {"SetDriveBaseVelocity": [1.0, 1.0]})
            fleet.send("i", "RequestNetworkScan")
            assert moving.commands() == [drive(1.0, 1.0)] and idle.commands() == ["RequestNetworkScan"]
            moving.send(device_frame("Pong"))
            time.sleep(0.2)
            out, err = stop_bridge(bridge, signal.SIGTERM)
            time.sleep(0.2)
        assert bridge.returncode == 143 and "Traceback" not in err
        assert moving.commands() == [STOP] and idle.commands() == []
        assert sorted(states) == [("plim/i/link", "ended"), ("plim/m/link", "ended"), ("plim/m/link", "up")]
        records = list(open_records(tmp_path / "m.plimlog"))
        assert [r.payload for r in records if r.direction == RECEIVED] == [device_frame("Pong")]
        assert [m for m in host_messages(r.payload for r in records if r.direction == SENT) if m != "Ping"] == [
            drive(1.0, 1.0), STOP]
    finally:
        stop_bridge(bridge)
        moving.close()
        idle.close()


def test_tls_lets_in_only_the_fleet_and_access_control_keeps_dashboards_from_commanding(tmp_path):
    files = make_certificates(tmp_path)
    endpoint = free_tcp_endpoint("tls")
    plim = FakePlim()
    bridge = spawn_bridge(f"t={plim.url}", "--listen", endpoint, "--tls-ca", files["ca.pem"], "--tls-cert",
                          files["bridge.pem"], "--tls-key", files["bridge.key"], "--zenoh-config",
                          str(ROOT / "examples" / "fleet_acl.json5"))

    def member(role):
        return Fleet(connect=endpoint, tls_ca=files["ca.pem"], tls_cert=files[f"{role}.pem"],
                     tls_key=files[f"{role}.key"])
    try:
        plim.wait_for_host()
        plim.commands()
        with Fleet(connect=endpoint, tls_ca=files["ca.pem"]) as stranger, member("dashboard") as dashboard, \
                member("controller") as controller:
            subs = [fleet.subscribe("t", "Scan") for fleet in (stranger, dashboard, controller)]
            for fleet in (dashboard, controller):
                until_flowing(fleet.subscribe("t", "Pong"), plim, device_frame("Pong"))
            for role, fleet in (("stranger", stranger), ("dashboard", dashboard), ("controller", controller)):
                fleet.send("t", {"SetUid": {"uid": role}})
            plim.send(device_frame(EVERY_KIND[2][0]))
            got = [sub.recv(WAIT_S if i else 0.5) for i, sub in enumerate(subs)]
            assert got[0] is None and [(g.name, g.message) for g in got[1:]] == [("t", EVERY_KIND[2][0])] * 2
            assert (stranger.names(0.5), dashboard.names(), dashboard.latest("t", "Scan")) == (
                [], ["t"], EVERY_KIND[2][0])
        assert plim.commands() == [{"SetUid": {"uid": "controller"}}]
    finally:
        stop_bridge(bridge)
        plim.close()


def plim_command(*args, timeout=60):
    return subprocess.run([*PLIM, *args], capture_output=True, text=True, timeout=timeout)


def test_fleet_commands_list_dump_and_drive(bus):
    f1, f2 = bus.plims["f1"], bus.plims["f2"]
    listing = plim_command("fleet", "list", "--connect", bus.endpoint)
    assert (listing.returncode, listing.stderr) == (0, "")
    # The scripted plims answer no heartbeat: their links are not up for long, if at all.
    rows = [line.split("\t") for line in listing.stdout.splitlines()]
    assert [(name, url) for name, _, url in rows] == [("f1", f1.url), ("f2", f2.url), ("s", bus.sim_url)]
    assert {rows[0][1], rows[1][1]} <= {"connecting", "up", "down"} and rows[2][1] == "up"

    dump = subprocess.Popen([*PLIM, "fleet", "dump", "f1", "--kind", "Scan", "--seconds", "1", "--connect",
                             bus.endpoint], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while dump.poll() is None:
        f1.send(device_frame("Ping") + device_frame(EVERY_KIND[2][0]))
        time.sleep(0.05)
    lines = dump.stdout.read().splitlines()
    assert dump.returncode == 0 and lines
    for line in lines:
        assert line.startswith('{"name":"f1","time":') and line.endswith(f',"message":{EVERY_KIND[2][1]}}}')
        assert abs(json.loads(line)["time"] - time.time()) < 10

    f2.commands()
    run = plim_command("fleet", "drive", "f2", "--left", "1", "--right", "-1", "--seconds", "0.5", "--hz", "10",
                       "--connect", bus.endpoint)
    sent = f2.commands()
    assert run.returncode == 0 and run.stdout.startswith(f"sent {len(sent) - 1} velocity commands to f2 over 0.5 s")
    assert sent[-1] == STOP and sent[:-1] == [drive(1.0, -1.0)] * (len(sent) - 1) and 3 <= len(sent) - 1 <= 6
