"""Helpers for the client tests: a scripted plim on a raw socket and `plim sim` in its own process."""
from __future__ import annotations

import os
import select
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from plim_sim import encode_device_message, encode_frame
from plim_sim.messages import decode_host_message
from plim_sim.wire import FrameSplitter, decode_frame

ROOT = Path(__file__).parents[2]
PLIM = [sys.executable, "-m", "plim_link"]
WAIT_S = 10.0  # generous: the machine may be busy compiling


def device_frame(message):
    return encode_frame(encode_device_message(message))


def host_messages(data_chunks):
    """Decodes what the client sent, as the plim reads it."""
    splitter = FrameSplitter()
    return [decode_host_message(decode_frame(frame)[1]) for chunk in data_chunks for frame in splitter.feed(chunk)]


class FakePlim:
    """The plim's side of a UDP link, scripted by the test."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.url = "udp://127.0.0.1:%d" % self.sock.getsockname()[1]
        self.host = None
        self._early = []  # datagrams read to learn the client's address, not yet handed out

    def _receive(self, timeout):
        if self._early:
            return self._early.pop(0)
        if not select.select([self.sock], [], [], timeout)[0]:
            return None
        data, self.host = self.sock.recvfrom(65536)
        return data, self.host

    def datagrams(self, timeout=0.3):
        """Everything that arrives until `timeout` passes without a datagram."""
        out = []
        while (got := self._receive(timeout)) is not None:
            out.append(got[0])
        return out

    def messages(self, timeout=0.3):
        return host_messages(self.datagrams(timeout))

    def senders(self, timeout=0.3):
        """(message, sender) for each message apart from heartbeats, each datagram holding whole frames."""
        out = []
        while (got := self._receive(timeout)) is not None:
            out += [(message, got[1]) for message in host_messages([got[0]]) if message != "Ping"]
        return out

    def commands(self, timeout=0.3):
        """What the client sent apart from its heartbeat Pings."""
        return [m for m in self.messages(timeout) if m != "Ping"]

    def wait_for_host(self, client=None):
        """The client's address, from its first heartbeat (or from making it speak); what it sent is kept."""
        if client is not None:
            client.send("Pong")
        assert select.select([self.sock], [], [], WAIT_S)[0]
        data, self.host = self.sock.recvfrom(65536)
        self._early.append((data, self.host))

    def send(self, data, host=None):
        self.sock.sendto(data, host or self.host)

    def close(self):
        self.sock.close()


@pytest.fixture
def fake_plim():
    plim = FakePlim()
    yield plim
    plim.close()


def free_udp_port():
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def run_child(script, timeout=60, **kwargs):
    """A Python program in its own process, as a user would run it."""
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, **kwargs)


def spawn_sim(*args):
    """`plim sim` in its own process; returns (process, URL)."""
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([*PLIM, "sim", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    ready = select.select([proc.stdout], [], [], WAIT_S)[0]
    url = proc.stdout.readline().strip() if ready else ""
    if not url.startswith("udp://"):
        proc.kill()
        raise RuntimeError(f"plim sim did not start: {proc.communicate()[1]}")
    return proc, url


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
    try:
        return proc.communicate(timeout=WAIT_S)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.communicate()


@pytest.fixture
def sim_url():
    proc, url = spawn_sim("--scan-hz", "10", "--ping-hz", "2")
    yield url
    stop(proc)
