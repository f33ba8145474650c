"""Connection URLs: what each form opens with, and what a bad one is told."""
import pytest

from plim_link import PlimClient
from plim_link.urls import Endpoint, parse_url


@pytest.mark.parametrize("url, endpoint", [
    ("udp://10.0.0.42:7000", Endpoint("udp", "10.0.0.42", 7000)),
    ("udp://plim.local:1", Endpoint("udp", "plim.local", 1)),
    ("udp-listen://0.0.0.0:7000?peer=10.0.0.42", Endpoint("udp-listen", "0.0.0.0", 7000, options={"peer": "10.0.0.42"})),
    ("serial:///dev/ttyUSB0?baud=115200", Endpoint("serial", path="/dev/ttyUSB0", options={"baud": 115200})),
    ("sim://", Endpoint("sim")),
    ("sim://?scan_hz=10&seed=3", Endpoint("sim", options={"scan_hz": 10.0, "seed": 3})),
    ("file:///tmp/run.plimlog?speed=0.5", Endpoint("file", path="/tmp/run.plimlog", options={"speed": 0.5})),
])
def test_forms(url, endpoint):
    assert parse_url(url) == endpoint


@pytest.mark.parametrize("url, problem", [
    ("", "no scheme:// in front"),
    ("10.0.0.42:7000", "no scheme:// in front"),
    ("tcp://10.0.0.42:7000", "unknown scheme 'tcp'"),
    ("udp:10.0.0.42:7000", "no scheme:// in front"),
    ("udp://10.0.0.42", "udp:// needs a host and a port"),
    ("udp://:7000", "udp:// needs a host and a port"),
    ("udp://10.0.0.42:0", "port 0 is not a plim's address"),
    ("udp://10.0.0.42:70000", "Port out of range 0-65535"),
    ("udp://10.0.0.42:x", "Port could not be cast to integer value as 'x'"),
    ("udp://10.0.0.42:7000?peer=a", "unknown option 'peer' for udp:// (known: none)"),
    ("serial://dev/ttyUSB0", "serial:// takes a path, not a host ('dev'); write three slashes"),
    ("serial:///dev/ttyUSB0?baud=fast", "option baud='fast' is not a valid int"),
    ("serial:///dev/ttyUSB0?baud=0", "baud must be positive"),
    ("sim://?scan_rate=3", "unknown option 'scan_rate' for sim:// (known: drive_base_hz, imu_hz, scan_hz, "
                           "scan_points, ping_hz, seed, uid)"),
    ("sim://host", "sim:// takes only options, no host or path"),
    ("file://", "file:// needs a path"),
    ("file:///run.plimlog?speed=0", "speed must be a positive number"),
    ("file:///run.plimlog?speed=inf", "speed must be a positive number"),
])
def test_bad_urls_say_what_is_wrong_and_what_exists(url, problem):
    with pytest.raises(ValueError) as raised:
        PlimClient(url)
    assert str(raised.value) == (
        f"bad plim URL {url!r}: {problem}; use one of udp://HOST:PORT, udp-listen://ADDR:PORT[?peer=HOST], "
        "serial:///dev/ttyUSB0[?baud=115200], sim://[?scan_hz=10&seed=3], file:///path/run.plimlog[?speed=1]")
