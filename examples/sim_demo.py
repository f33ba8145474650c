"""Drives the simulated plim for three seconds with PlimClient and prints what it reported."""
import time

from plim_link import PlimClient
from plim_link.monitor import render

with PlimClient("sim://") as plim:  # or udp://10.0.0.42:7000, serial:///dev/ttyUSB0, run.plimlog
    print(f"ping: {plim.ping() * 1000:.2f} ms")
    plim.request_network_scan()
    for left, right in [(8.0, 8.0), (4.0, 9.0), (6.0, -6.0)]:  # straight, turn left, spin right (rad/s)
        plim.set_drive_base_velocity(left, right)
        time.sleep(1.0)
    stats = plim.stats
    print(render({kind: n / 3.0 for kind, n in stats.received_by_kind.items()},
                 {kind: plim.latest(kind) for kind in stats.received_by_kind}, stats.errors))
