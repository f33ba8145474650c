"""Connection URLs: what each form opens with, and what a bad one is told."""
import asyncio
import socket
from pathlib import Path

import pytest

from client_support import WAIT_S, device_frame, free_udp_port
from plim_link import PlimClient, aio
from plim_link.urls import SCHEMES, Endpoint, parse_url

ALL_FORMS = ("udp://HOST:PORT, udp-listen://ADDR:PORT[?peer=HOST], serial:///dev/ttyUSB0[?baud=115200], "
             "sim://[?scan_hz=5&seed=3&...], file:///path/run.plimlog[?speed=1]")


@pytest.mark.parametrize("url, endpoint", [
    ("udp://10.0.0.42:7000", Endpoint("udp", "10.0.0.42", 7000)),
    ("udp://plim.local:1", Endpoint("udp", "plim.local", 1)),
    ("udp://[::1]:7000", Endpoint("udp", "::1", 7000)),
    ("udp-listen://0.0.0.0:7000?peer=10.0.0.42", Endpoint("udp-listen", "0.0.0.0", 7000, options={"peer": "10.0.0.42"})),
    ("udp-listen://[::]:7000", Endpoint("udp-listen", "::", 7000)),
    ("serial:///dev/ttyUSB0?baud=115200", Endpoint("serial", path="/dev/ttyUSB0", options={"baud": 115200})),
    ("sim://", Endpoint("sim")),
    ("sim://?scan_hz=10&seed=3&scan_hz=0", Endpoint("sim", options={"scan_hz": 0.0, "seed": 3})),
    ("sim://?command_timeout_s=0.5&scan_points=552", Endpoint("sim", options={"command_timeout_s": 0.5,
                                                                             "scan_points": 552})),
    ("file:///tmp/run%20one.plimlog?speed=0.5", Endpoint("file", path="/tmp/run one.plimlog", options={"speed": 0.5})),
    (Path("/tmp/run.plimlog"), Endpoint("file", path="/tmp/run.plimlog")),
])
def test_forms(url, endpoint):
    assert parse_url(url) == endpoint


@pytest.mark.parametrize("url, problem, scheme", [
    ("", "no scheme:// in front", None),
    ("10.0.0.42:7000", "no scheme:// in front", None),
    ("tcp://10.0.0.42:7000", "unknown scheme 'tcp'", None),
    ("udp:10.0.0.42:7000", "no scheme:// in front", None),
    ("udp://10.0.0.42", "udp:// needs a host and a port", "udp"),
    ("udp://:7000", "udp:// needs a host and a port", "udp"),
    ("udp://10.0.0.42:0", "port 0 is not a plim's address", "udp"),
    ("udp://10.0.0.42:70000", "Port out of range 0-65535", "udp"),
    ("udp://[::1:7000", "Invalid IPv6 URL", "udp"),
    ("udp://10.0.0.42:7000?peer=a", "unknown option 'peer' for udp:// (known: none)", "udp"),
    ("serial://dev/ttyUSB0", "serial:// takes a path, not a host ('dev'); write three slashes", "serial"),
    ("serial:///dev/ttyUSB0?baud=fast", "option baud='fast' is not valid", "serial"),
    ("serial:///dev/ttyS0?baud=99999999999", "option baud='99999999999' is not valid (a positive whole number of "
                                             "bits per second)", "serial"),
    ("sim://?scan_rate=3", "unknown option 'scan_rate' for sim:// (known: drive_base_hz, imu_hz, scan_hz, "
                           "scan_points, ping_hz, command_timeout_s, seed, uid)", "sim"),
    ("sim://?scan_hz=-5", "scan_hz must be a finite number, 0 for off, not negative; got -5.0", "sim"),
    ("sim://?scan_hz=inf", "scan_hz must be a finite number, 0 for off, not negative; got inf", "sim"),
    ("sim://?scan_points=0", "scan_points must be from 1 to 552, got 0: a longer sweep does not fit the host's "
                             "5000-byte receive window", "sim"),
    ("sim://?scan_points=600", "scan_points must be from 1 to 552, got 600: a longer sweep does not fit the host's "
                               "5000-byte receive window", "sim"),
    ("sim://host", "sim:// takes only options, no host or path", "sim"),
    ("file://", "file:// needs a path", "file"),
    ("file:///run.plimlog?speed=0", "option speed='0' is not valid (a positive number (1 is the recorded pace))",
     "file"),
    ("file:///run.plimlog?speed=inf", "option speed='inf' is not valid (a positive number (1 is the recorded pace))",
     "file"),
])
def test_bad_urls_say_what_is_wrong_and_the_form_of_their_scheme(url, problem, scheme):
    with pytest.raises(ValueError) as raised:
        PlimClient(url)
    where = f"the form is {SCHEMES[scheme].form}" if scheme else f"use one of {ALL_FORMS}"
    assert str(raised.value) == f"bad plim URL {url!r}: {problem}; {where}"


def test_a_host_that_does_not_resolve_is_named():
    with pytest.raises(socket.gaierror, match=r"^\[Errno -[0-9]+\] cannot resolve host 'nohost\.invalid': "):
        PlimClient("udp://nohost.invalid:7000")


@pytest.mark.parametrize("url", [123, b"udp://x:1"])
def test_a_url_is_a_str_or_a_path(url):
    with pytest.raises(TypeError, match=f"^url must be a str or a path, not {type(url).__name__}$"):
        PlimClient(url)


def test_ipv6_both_ways():
    plim = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    plim.bind(("::1", 0))
    plim.settimeout(WAIT_S)
    port = free_udp_port()
    try:
        with PlimClient(f"udp://[::1]:{plim.getsockname()[1]}") as client:
            _, host = plim.recvfrom(100)  # the heartbeat
            plim.sendto(device_frame({"Scan": []}), host)
            assert client.recv(WAIT_S) == {"Scan": []}

        async def listen():
            async with await aio.connect(f"udp-listen://[::1]:{port}") as client:
                plim.sendto(device_frame({"Scan": []}), ("::1", port))
                return await client.recv(WAIT_S)
        assert asyncio.run(listen()) == {"Scan": []}
    finally:
        plim.close()
