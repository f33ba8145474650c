"""Helpers for the fleet tests: a bridge in its own process on a loopback TCP endpoint, and certificates."""
from __future__ import annotations

import json
import os
import select
import shutil
import socket
import subprocess

import pytest

from client_support import PLIM, WAIT_S, stop

STATE = {"State": {"uid": "F1", "ip": None, "mac": "02:00:5e:10:00:09",
                   "current_network_connection": {"Err": "Timeout"},
                   "available_network_connections": [{"ssid": "lab", "strength": 200}],
                   "built_in_test": {"power": [{"name": "battery", "result": "Pass"}], "wifi": [], "lidar": [],
                                     "imu": [], "encoders": []}}}
# Every kind the plim sends, and the text the consumer must get: Link's own digits and order.
EVERY_KIND = [
    ("Ping", '"Ping"'),
    ("Pong", '"Pong"'),
    ({"Scan": [{"quality": 1, "angle_rad": 0.5, "distance_mm": 2.0}, {"quality": 0, "angle_rad": 0.1,
                                                                       "distance_mm": None}]},
     '{"Scan":[{"quality":1,"angle_rad":0.5,"distance_mm":2.0},{"quality":0,"angle_rad":0.1,"distance_mm":null}]}'),
    ({"DriveBaseState": {"left": {"effort_percent": 1.5, "velocity_rad_per_s": -0.25, "position_rad": 3.0},
                         "right": {"effort_percent": 0.0, "velocity_rad_per_s": 0.1, "position_rad": -1e-3}}},
     '{"DriveBaseState":{"left":{"effort_percent":1.5,"velocity_rad_per_s":-0.25,"position_rad":3.0},'
     '"right":{"effort_percent":0.0,"velocity_rad_per_s":0.1,"position_rad":-0.001}}}'),
    ({"ImuMeasurement": {"accel": {"x": 0.1, "y": 0.2, "z": 9.81}, "gyro": {"x": 0.0, "y": -0.5, "z": 1e-7}}},
     '{"ImuMeasurement":{"accel":{"x":0.1,"y":0.2,"z":9.81},"gyro":{"x":0.0,"y":-0.5,"z":1e-7}}}'),
    (STATE, json.dumps(STATE, separators=(",", ":"))),
]


def free_tcp_endpoint(scheme="tcp"):
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return f"{scheme}/127.0.0.1:{port}"


def spawn_bridge(*args):
    """`plim bridge ARGS` in its own process, once it says it serves its plims."""
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([*PLIM, "bridge", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env)
    ready = select.select([proc.stderr], [], [], WAIT_S)[0]
    line = proc.stderr.readline() if ready else ""
    if not line.startswith("plim bridge: serving "):
        proc.kill()
        raise RuntimeError(f"plim bridge did not start: {line}{proc.communicate()[1]}")
    return proc


def make_certificates(where):
    """A CA, and a certificate and key signed by it for each of: the bridge, a controller, a dashboard."""
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("the openssl command is needed to make certificates")

    def run(*args):
        subprocess.run([openssl, *args], check=True, capture_output=True, cwd=where, timeout=60)
    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
        "-subj", "/CN=fleet-ca", "-keyout", "ca.key", "-out", "ca.pem")
    for name in ("bridge", "controller", "dashboard"):
        run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj", f"/CN={name}",
            "-keyout", f"{name}.key", "-out", f"{name}.csr")
        (where / f"{name}.ext").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem")
    return {path.name: str(path) for path in where.iterdir() if path.suffix in (".pem", ".key")}


def stop_bridge(proc, signum=None):
    if signum is not None and proc.poll() is None:
        proc.send_signal(signum)
    return stop(proc)
