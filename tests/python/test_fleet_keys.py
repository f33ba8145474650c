"""What the fleet decides before any bus is open: names, key encodings, settings, fleet files, the
checks a command passes, and the commands' answers to bad input or a missing extra."""
import json
import math
import subprocess
import sys
from importlib import metadata

import pytest
from hypothesis import given, strategies as st

from client_support import PLIM, ROOT, device_frame
from fleet_support import EVERY_KIND
from plim_link import zenoh_keys as keys
from plim_link.cli.bridge import read_fleet
from plim_link.commands import kind_of
from plim_link.core import ClientCore
from plim_link.fleet import checked_command
from plim_link.jsontext import TextDecoder, packet_text
from plim_link.zenoh_config import BusSettings


@pytest.mark.parametrize("name, error", [
    ("a1", None), ("plim-7.lab_2", None), ("é", None), ("x y", None),
    ("", "a plim name must not be empty"),
    ("a/b", "plim name 'a/b' must be a single key chunk, without '/'"),
    ("*", "plim name '*' must be a single key chunk, without '*'"),
    ("**", "plim name '**' must be a single key chunk, without '*'"),
    ("a$*#?", "plim name 'a$*#?' must be a single key chunk, without '#' '$' '*' '?'"),
    ("@admin", "plim name '@admin' must not start with '@' (such chunks match only themselves)"),
])
def test_names_are_single_key_chunks(name, error):
    if error is None:
        assert keys.check_name(name) == name and keys.name_of(keys.msg(name, "Scan")) == name
    else:
        with pytest.raises(ValueError) as caught:
            keys.check_name(name)
        assert str(caught.value) == error


@pytest.mark.parametrize("message, text", EVERY_KIND)
def test_the_kind_of_a_text_as_link_writes_it(message, text):
    assert TextDecoder().feed(device_frame(message)) == [text]
    assert keys.kind_of_text(text) == kind_of(message)


@given(st.integers(0, 2**64 - 1))
def test_arrival_times_are_8_bytes_little_endian(wall_ns):
    attachment = keys.encode_time(wall_ns)
    assert attachment == wall_ns.to_bytes(8, "little") and keys.decode_time(attachment) == wall_ns


@pytest.mark.parametrize("attachment", [None, b"", b"\x01" * 7, b"\x01" * 9])
def test_an_attachment_of_another_size_is_no_time(attachment):
    assert keys.decode_time(attachment) is None


@pytest.mark.parametrize("settings, error", [
    (dict(connect=("127.0.0.1:7447",)), "bad connect endpoint '127.0.0.1:7447': the form is PROTOCOL/ADDRESS, "
                                        "e.g. tcp/127.0.0.1:7447 or tls/bus.example:7447"),
    (dict(listen=("tcp/ 1",)), "bad listen endpoint 'tcp/ 1': the form is PROTOCOL/ADDRESS, "
                               "e.g. tcp/127.0.0.1:7447 or tls/bus.example:7447"),
    (dict(listen=("tcp/0.0.0.0:7447",), tls_ca="/etc/hostname"),
     "listen endpoint 'tcp/0.0.0.0:7447' is not encrypted: with TLS settings every endpoint must be tls/HOST:PORT"),
    (dict(tls_ca="/etc/hostname", tls_key="/etc/hostname"),
     "a TLS certificate needs its key, and a key its certificate (--tls-cert with --tls-key)"),
    (dict(tls_cert="/etc/hostname", tls_key="/etc/hostname"),
     "TLS needs the fleet's CA (--tls-ca) to check the other side's certificate"),
    (dict(connect=("tls/h:1",), tls_ca="/nonexistent/ca.pem"), "cannot read /nonexistent/ca.pem"),
    (dict(config="/nonexistent/zenoh.json5"), "cannot read /nonexistent/zenoh.json5"),
])
def test_bus_settings_that_cannot_work_are_refused(settings, error):
    with pytest.raises(ValueError) as caught:
        BusSettings(**settings).check()
    assert str(caught.value) == error


def test_the_zenoh_config_is_no_more_open_than_asked(tmp_path):
    pytest.importorskip("zenoh")
    from plim_link.zenoh_config import make_config
    for path in ("ca", "cert", "key"):
        (tmp_path / path).write_text("")
    plain = make_config(BusSettings(connect=("tcp/127.0.0.1:7447",)))
    assert [json.loads(plain.get_json(k)) for k in ("connect/endpoints", "listen/endpoints",
                                                    "scouting/multicast/enabled", "transport/link/tx/lease")] == [
        ["tcp/127.0.0.1:7447"], [], False, 2000]
    (tmp_path / "zenoh.json5").write_text("{transport: {link: {tx: {lease: 5000}}}}")
    assert json.loads(make_config(BusSettings(config=str(tmp_path / "zenoh.json5"))).get_json(
        "transport/link/tx/lease")) == 5000
    tls = make_config(BusSettings(listen=("tls/127.0.0.1:7447",), tls_ca=str(tmp_path / "ca"),
                                  tls_cert=str(tmp_path / "cert"), tls_key=str(tmp_path / "key")))
    got = json.loads(tls.get_json("transport/link/tls"))
    assert got["root_ca_certificate"] == str(tmp_path / "ca") and got["enable_mtls"] is True
    assert got["listen_certificate"] == got["connect_certificate"] == str(tmp_path / "cert")
    assert got["listen_private_key"] == got["connect_private_key"] == str(tmp_path / "key")
    assert json.loads(tls.get_json("listen/endpoints")) == ["tls/127.0.0.1:7447"]
    anonymous = make_config(BusSettings(connect=("tls/127.0.0.1:7447",), tls_ca=str(tmp_path / "ca")))
    assert json.loads(anonymous.get_json("transport/link/tls"))["enable_mtls"] is False


@pytest.mark.parametrize("content, result", [
    ('[plims]\na = "sim://"\n"b.2" = "udp://10.0.0.2:7000"\n', {"a": "sim://", "b.2": "udp://10.0.0.2:7000"}),
    ('[plims]\n"a/b" = "sim://"\n', "plim name 'a/b' must be a single key chunk, without '/'"),
    ('[plims]\na = 7\n', 'fleet.toml: expected a [plims] table of NAME = "URL"'),
    ('plims = ["a"]\n', 'fleet.toml: expected a [plims] table of NAME = "URL"'),
    ('[plims]\na = "sim://"\na = "sim://"\n', "fleet.toml: "),
])
def test_fleet_files(tmp_path, monkeypatch, content, result):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "fleet.toml").write_text(content)
    if isinstance(result, dict):
        assert read_fleet("fleet.toml") == result
    else:
        with pytest.raises(ValueError) as caught:
            read_fleet("fleet.toml")
        assert str(caught.value).startswith(result) and "\n" not in str(caught.value)


VELOCITIES = st.one_of(st.floats(), st.integers(-2**200, 2**200), st.booleans(), st.none(), st.text(max_size=2),
                       st.sampled_from([3.4028235677973366e38, -3.4028235677973366e38, 3.4028234663852886e38]))


@given(VELOCITIES, VELOCITIES, st.booleans())
def test_a_fleet_command_is_refused_exactly_when_the_client_refuses_it(left, right, as_record):
    message = {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": left, "right_velocity_rad_per_s": right}
               if as_record else [left, right]}
    outcomes = []
    for attempt in (checked_command, lambda m: ClientCore(mono_ns=0).send(m, 0, 0)):
        try:
            attempt(message)
            outcomes.append(None)
        except (ValueError, TypeError) as exc:
            outcomes.append((type(exc), str(exc)))
    assert outcomes[0] == outcomes[1]
    if outcomes[0] is None:
        values = json.loads(checked_command(message))["SetDriveBaseVelocity"]
        assert all(math.isfinite(v) for v in (values.values() if as_record else values))


def plim(*args):
    return subprocess.run([*PLIM, *args], capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("args, error", [
    (("bridge", "a/b=sim://"), "plim bridge: error: plim name 'a/b' must be a single key chunk, without '/'"),
    (("bridge", "a*=sim://"), "plim bridge: error: plim name 'a*' must be a single key chunk, without '*'"),
    (("bridge", "a=sim://", "a=sim://?seed=2"), "plim bridge: error: plim name 'a' given twice"),
    (("bridge", "a"), "plim bridge: error: 'a' is not NAME=URL"),
    (("bridge", "=sim://"), "plim bridge: error: a plim name must not be empty"),
    (("bridge",), "plim bridge: error: no plim to serve: give NAME=URL or --fleet FILE"),
    (("bridge", "a=sim://", "--record", "/nonexistent"), "plim bridge: error: --record /nonexistent: not a directory"),
    (("bridge", "a=udp://h"), "plim bridge: error: bad plim URL 'udp://h': udp:// needs a host and a port; the form "
     "is udp://HOST:PORT"),
    (("bridge", "a=sim://", "--connect", "tcp/h:1", "--tls-ca", "/etc/hostname"),
     "plim bridge: error: connect endpoint 'tcp/h:1' is not encrypted: with TLS settings every endpoint must be "
     "tls/HOST:PORT"),
    (("fleet", "drive", "a/b", "--left", "1", "--right", "1", "--seconds", "1"),
     "plim fleet drive: error: argument name: plim name 'a/b' must be a single key chunk, without '/'"),
    (("fleet", "drive", "a", "--left", "nan", "--right", "1", "--seconds", "1"),
     "plim fleet drive: error: argument --left: must be a finite number: 'nan'"),
    (("fleet", "dump", "a", "--kind", "Scans"), "plim fleet dump: error: argument --kind: invalid choice: 'Scans' "
     "(choose from 'Ping', 'Pong', 'Scan', 'DriveBaseState', 'ImuMeasurement', 'State')"),
])
def test_bad_arguments_get_one_line_and_status_2(args, error):
    run = plim(*args)
    assert (run.returncode, run.stdout, run.stderr) == (2, "", error + "\n")


WITHOUT_ZENOH = "import sys; sys.modules['zenoh'] = None\nfrom plim_link.cli import main\nsys.exit(main(sys.argv[1:]))"


@pytest.mark.parametrize("args, command", [(("bridge", "a=sim://"), "bridge"), (("fleet", "list"), "fleet list")])
def test_without_the_extra_the_commands_say_which_install_fixes_it(args, command):
    run = subprocess.run([sys.executable, "-c", WITHOUT_ZENOH, *args], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (
        2, "", f"plim {command}: error: the Zenoh bus needs the eclipse-zenoh package: pip install 'plim_ffi[zenoh]'\n")


def test_the_core_install_does_not_pull_zenoh():
    for requirement in metadata.requires("plim_ffi") or []:
        if requirement.lower().startswith("eclipse-zenoh"):
            assert 'extra == "zenoh"' in requirement or 'extra == "test"' in requirement


@given(st.binary(max_size=1400))
def test_a_packet_as_the_json_array_link_reads(data):
    assert packet_text(data) == json.dumps(list(data), separators=(",", ":"))


class StubClient:
    """The bridge's view of a client: a real core for the checks and the motion flag, no transport."""

    closed = False

    def __init__(self):
        self._core = ClientCore(mono_ns=0)
        self.sent = []

    async def send(self, message):
        self._core.send(message, 0, 0)
        self.sent.append(message)


class StubSession:
    def __init__(self):
        self.puts = []

    def put(self, key, value):
        self.puts.append((key, value))


GO, HALT = b'{"SetDriveBaseVelocity":[1,1]}', b'{"SetDriveBaseVelocity":[0,0]}'
STOP_SENT = {"SetDriveBaseVelocity": [0.0, 0.0]}
GONE = ("plim/p/error", "the controller that sent it has gone; not sent")


@pytest.mark.parametrize("events, sent, errors", [
    # the last controller goes while the plim drives: stopped; its late command is void
    ([("cmd", GO, "a"), ("gone", "a"), ("cmd", GO, "a")], [GO, STOP_SENT], [GONE]),
    # the command came before its token: it counts as a controller all the same
    ([("cmd", GO, "a"), ("token", "a"), ("gone", "a")], [GO, STOP_SENT], []),
    # another controller is still there: nothing
    ([("token", "b"), ("cmd", GO, "a"), ("gone", "a")], [GO], []),
    # the last command stopped the wheels: nothing to do
    ([("cmd", GO, "a"), ("cmd", HALT, "b"), ("gone", "a"), ("gone", "b")], [GO, HALT], []),
    # back after a break in the network: its commands count again
    ([("cmd", GO, "a"), ("gone", "a"), ("token", "a"), ("cmd", GO, "a")], [GO, STOP_SENT, GO], []),
    # a command that names no controller is sent, and leaves no one to watch
    ([("cmd", GO, None), ("token", "a"), ("gone", "a")], [GO, STOP_SENT], []),
    ([("cmd", b"[1", None), ("cmd", b'"Fly"', "a")], [],
     [("plim/p/error", "bad JSON: Expecting ',' delimiter: line 1 column 3 (char 2)"),
      ("plim/p/error", "message: unknown variant `Fly`, expected one of `Ping`, `Pong`, `RequestNetworkScan`, "
                       "`SetNetworkConnectionConfig`, `SetUid`, `SetDriveBaseVelocity`")]),
])
def test_the_bridge_stops_a_plim_when_its_last_controller_goes(events, sent, errors):
    import asyncio

    from plim_link.bridge import ServedPlim

    async def run():
        plim = ServedPlim("p", StubClient(), None, StubSession(), asyncio.get_running_loop(), set(), [])
        for event, *args in events:
            if event == "cmd":
                await plim.command(*args)
            else:
                await plim.controller(args[0], event == "gone")
        return plim.client.sent, plim.session.puts
    got_sent, got_errors = asyncio.run(run())
    assert got_sent == [json.loads(m) if isinstance(m, bytes) else m for m in sent] and got_errors == errors


def test_the_example_fleet_file():
    assert read_fleet(str(ROOT / "examples" / "fleet.toml")) == {
        "a1": "udp://10.0.0.41:7000", "a2": "udp://10.0.0.42:7000", "dock": "serial:///dev/ttyUSB0?baud=115200"}


def test_the_publisher_sends_each_text_with_its_time():
    pytest.importorskip("zenoh")
    from plim_link.bridge import TextPublisher

    published = []

    class Publisher:
        def __init__(self, key):
            self.key = key

        def put(self, payload, attachment):
            published.append((self.key, payload, attachment))

    session = type("Session", (), {"declare_publisher": lambda self, key, encoding: Publisher(key)})()
    sink = TextPublisher(session, "p")
    for wall_ns in (1, 2):
        sink.packet(b"<", device_frame("Pong"), 0, wall_ns)
        sink.packet(b">", b"ignored: sent", 0, wall_ns)
    assert published == [("plim/p/msg/Pong", b'"Pong"', keys.encode_time(n)) for n in (1, 2)]
    assert sink.latest == {"Pong": ('"Pong"', 2)}
