"""The files generated from the message declarations: current, typed, and in step with the simulator."""
import json
import random
import shutil
import subprocess
import sys
import types
import typing
from pathlib import Path

import pytest

from plim_ffi import Link
from plim_link import messages
from plim_sim import messages as sim
from plim_sim.wire import decode_frame, encode_frame
from test_schemas import DEVICE
from test_stubs import CASES, ERROR_LINE, expected_errors, run_mypy

ROOT = Path(__file__).parents[2]
DESCRIPTION = ROOT / "tests/python/data/message_description.json"
SCHEMA = "schemas/plim_to_host.schema.json"
MODULE = "python/plim_link/messages.py"
GENERATED = ["schemas/host_to_plim.schema.json", SCHEMA, MODULE, "python/plim_link/kinds.pyi",
             "python/plim_ffi-stubs/_messages.pyi", "python/plim_sim/wire_constants.py",
             "tests/python/data/message_description.json"]


def generate(*args):
    result = subprocess.run([sys.executable, str(ROOT / "tools/generate_messages.py"), *map(str, args)],
                            capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout + result.stderr


def test_check_names_each_stale_file_and_write_restores_it(tmp_path):
    assert generate("--check", "--description", DESCRIPTION) == (0, "")
    for name in GENERATED:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(ROOT / name, tmp_path / name)
    (tmp_path / SCHEMA).write_text((ROOT / SCHEMA).read_text() + " ")
    (tmp_path / MODULE).unlink()
    source = ("--description", DESCRIPTION, "--root", tmp_path)
    assert generate("--check", *source) == (1, (
        f"{SCHEMA} is not what the message declarations generate\n"
        f"{MODULE} is not what the message declarations generate\n"
        "regenerate with: bash scripts/generate.sh\n"))
    assert generate("--write", *source) == (0, f"wrote {SCHEMA}\nwrote {MODULE}\n")
    assert all((tmp_path / name).read_bytes() == (ROOT / name).read_bytes() for name in GENERATED)
    assert generate("--check", *source) == (0, "")


def test_typed_message_usage_passes(tmp_path):
    assert run_mypy(tmp_path, CASES / "messages_good.py") == (0, "")


def test_misspelt_keys_and_wrong_values_fail_exactly_where_marked(tmp_path):
    status, output = run_mypy(tmp_path, CASES / "messages_bad.py")
    found = {(int(m["line"]), m["code"]) for m in map(ERROR_LINE.match, output.splitlines()) if m}
    assert (status, found) == (1, expected_errors(CASES / "messages_bad.py")), output


def fields(record):
    return tuple(record.__annotations__)


UNITS = typing.get_args(messages.HostMessageUnit)


# The simulator keeps its own codec; its name lists must still be the declared ones, in order.
@pytest.mark.parametrize("simulator, declared", [
    (sim.DEVICE_VARIANTS, messages.DEVICE_MESSAGE_KINDS),
    (sim.HOST_VARIANTS, messages.HOST_MESSAGE_KINDS),
    (sim.WHEEL_FIELDS, fields(messages.WheelState)),
    (sim.AXES, fields(messages.Vector3)),
    (sim.TEST_GROUPS, fields(messages.BuiltInTest)),
    (sim.TEST_STATUSES, typing.get_args(messages.TestStatus)),
    (sim.CONNECTION_ERRORS, messages.CONNECTION_ERROR_KINDS),
    (sim.HOST_RECORD_FIELDS,
     {name: fields(getattr(messages, name)) for name in messages.HOST_MESSAGE_KINDS if name not in UNITS}),
], ids=["device variants", "host variants", "wheel", "axes", "test groups", "test statuses",
        "connection errors", "host records"])
def test_simulator_name_lists_are_the_declared_ones(simulator, declared):
    assert simulator == declared


TEXTS = ["", "lab", "plim-lab-pw", "é✓ \"quoted\" \\", "\x00\x1f"]


def sample(kind, rng):
    """A random value of a generated type; a host record comes in either of its forms."""
    if typing.is_typeddict(kind):
        return {key: sample(value, rng) for key, value in typing.get_type_hints(kind).items()}
    origin, args = typing.get_origin(kind), typing.get_args(kind)
    if origin is typing.Literal:
        return rng.choice(args)
    if origin in (typing.Union, types.UnionType):
        record = next((arg for arg in args if typing.is_typeddict(arg)), None)
        if record is not None and any(typing.get_origin(arg) is tuple for arg in args):
            value = sample(record, rng)
            return value if rng.random() < 0.5 else list(value.values())
        return sample(rng.choice(args), rng)
    if origin is list:
        return [sample(args[0], rng) for _ in range(rng.randrange(4))]
    # Quarters below 1024 are exact in 32 bits and their shortest text is the same at either width.
    return {int: lambda: rng.randrange(256), float: lambda: rng.randrange(-4096, 4096) / 4,
            str: lambda: rng.choice(TEXTS), type(None): lambda: None}[kind]()


def as_object(message):
    """A host message as the simulator reads it back: a name, or its record as an object in declared order."""
    if isinstance(message, str):
        return message
    (name, payload), = message.items()
    if payload is None:
        return name
    return {name: dict(zip(fields(getattr(messages, name)), payload)) if isinstance(payload, list) else payload}


@pytest.mark.parametrize("seed", range(40))
def test_simulator_codec_round_trips_declared_messages_through_link(seed):
    rng = random.Random(seed)
    link = Link()
    device = sample(messages.DeviceMessage, rng)
    link.handle_receive(json.dumps(list(encode_frame(sim.encode_device_message(device)))))
    decoded = json.loads(link.poll_receive())
    # Equal text after the same dump: equal values and the same member order at every depth.
    assert json.dumps(decoded) == json.dumps(device)
    DEVICE.validate(decoded)

    host = sample(messages.HostMessage, rng)
    link.send(json.dumps(host))
    wire = b"".join(bytes(json.loads(packet)) for packet in iter(link.poll_transmit, None))
    version, body = decode_frame(wire)
    assert json.dumps(sim.decode_host_message(body)) == json.dumps(as_object(host))
