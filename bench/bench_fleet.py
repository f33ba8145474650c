"""What the Zenoh bus adds: N simulated plims -> one or two `plim bridge` processes -> one consumer.

    python bench/bench_fleet.py [--counts 10,50,100] [--bridges 1,2] [--seconds 10]

The plims are those of bench_client_scale.py (`--serve`: the simulator's reports at its default
rates, 20 DriveBaseState, 50 ImuMeasurement and 5 360-point Scan per second each, encoded once),
in `--groups` processes on loopback UDP ports. This process is the consumer: it opens a Zenoh
session listening on a loopback TCP endpoint and subscribes to plim/*/msg/* before any bridge
starts; each bridge (`plim bridge --fleet FILE --connect` that endpoint, multicast scouting off)
serves its share of the plims. Every sample is stamped on arrival with time.time_ns(); the bus's
added latency is that minus the sample's attachment, the wall-clock time at which the bridge's
client read the last packet of the message from its socket, so it covers the bridge's text
conversion, the publication, the TCP hop and the consumer's callback. The plims count what they
sent of each report kind; loss is sent minus received. Heartbeat Pongs, replies to the bridge's
own Pings, are published too but left out of the count, as they start before the window.
"""
from __future__ import annotations

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path
from typing import Any

import zenoh

HERE = Path(__file__).parent
REPORTS = ("DriveBaseState", "ImuMeasurement", "Scan")


def free_endpoint() -> str:
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return f"tcp/127.0.0.1:{port}"


class Consumer:
    """Notes each sample's key, attachment, size and arrival; nothing else, to stay out of the way."""

    def __init__(self, endpoint: str) -> None:
        config = zenoh.Config()
        config.insert_json5("listen/endpoints", json.dumps([endpoint]))
        config.insert_json5("scouting/multicast/enabled", "false")
        self.session = zenoh.open(config)
        self.samples: list[tuple[str, bytes, int, int]] = []
        self.subscriber = self.session.declare_subscriber("plim/*/msg/*", self.arrived)

    def arrived(self, sample: zenoh.Sample) -> None:
        now = time.time_ns()
        attachment = sample.attachment
        self.samples.append((str(sample.key_expr), b"" if attachment is None else attachment.to_bytes(), now,
                             len(sample.payload)))

    def close(self) -> None:
        self.subscriber.undeclare()
        self.session.close()


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_plims(count: int, groups: int) -> tuple[list[subprocess.Popen[str]], list[str]]:
    sizes = [count // groups + (i < count % groups) for i in range(groups)]
    procs = [subprocess.Popen([sys.executable, str(HERE / "bench_client_scale.py"), "--serve", str(size)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for size in sizes if size]
    urls: list[str] = []
    for proc in procs:
        assert proc.stdout is not None
        while (line := proc.stdout.readline().strip()) != "ready":
            urls.append(line)
    return procs, urls


def start_bridge(names: list[str], urls: list[str], endpoint: str, where: str) -> subprocess.Popen[str]:
    fleet = Path(where) / f"fleet-{names[0]}.toml"
    fleet.write_text("[plims]\n" + "".join(f'{n} = "{u}"\n' for n, u in zip(names, urls)))
    proc = subprocess.Popen([sys.executable, "-m", "plim_link", "bridge", "--fleet", str(fleet), "--connect", endpoint],
                            stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONUNBUFFERED="1"))
    assert proc.stderr is not None
    line = proc.stderr.readline()
    if not line.startswith("plim bridge: serving"):
        raise RuntimeError(f"the bridge did not start: {line}")
    return proc


def measure(count: int, bridges: int, seconds: float, groups: int) -> dict[str, Any]:
    endpoint = free_endpoint()
    consumer = Consumer(endpoint)
    plim_procs, urls = start_plims(count, groups)
    names = [f"p{i}" for i in range(count)]
    shares = [list(range(count))[i::bridges] for i in range(bridges)]
    with tempfile.TemporaryDirectory() as where:
        bridge_procs = [start_bridge([names[i] for i in share], [urls[i] for i in share], endpoint, where)
                        for share in shares]
        cpu = [cpu_seconds(p.pid) for p in bridge_procs]
        start = time.monotonic()
        time.sleep(seconds)
        reports: list[Any] = []
        for proc in plim_procs:
            out, _ = proc.communicate("stop\n", timeout=60)
            reports += json.loads(out)
        elapsed = time.monotonic() - start
        cpu = [cpu_seconds(p.pid) - before for p, before in zip(bridge_procs, cpu)]
        time.sleep(1.0)  # what is still in flight
        for proc in bridge_procs:
            proc.send_signal(2)
            proc.communicate(timeout=60)
    consumer.close()
    sent = sum(len(report["sent"].get(kind, ())) for report in reports for kind in REPORTS)
    dropped = sum(report["dropped"] for report in reports)
    received: Counter[str] = Counter()
    latencies: list[float] = []
    arrivals: list[int] = []
    size = 0
    for key, attachment, arrived_ns, length in consumer.samples:
        kind = key.rsplit("/", 1)[1]
        if kind in REPORTS:
            received[key.split("/")[1]] += 1
            latencies.append((arrived_ns - int.from_bytes(attachment, "little")) / 1e6)
            arrivals.append(arrived_ns)
            size += length
    total = sum(received.values())
    # The plims start reporting as their bridge connects, before the timed window: rates are taken
    # over the span of the arrivals themselves.
    span = (max(arrivals) - min(arrivals)) / 1e9 if len(arrivals) > 1 else elapsed
    return {"sent": sent, "received": total, "lost": sent - total + dropped, "seconds": span,
            "latencies": sorted(latencies), "bytes": size, "bridge_cpu": [c / elapsed for c in cpu]}


def row(count: int, bridges: int, run: dict[str, Any]) -> str:
    latencies = run["latencies"]
    median = statistics.median(latencies) if latencies else float("nan")
    p99 = latencies[int(0.99 * (len(latencies) - 1))] if latencies else float("nan")
    cpu = "/".join(f"{100 * c:.0f}%" for c in run["bridge_cpu"])
    return (f"| {count} | {bridges} | {run['sent']} | {run['received']} | {run['lost']} "
            f"| {run['received'] / run['seconds']:.0f} | {run['bytes'] / run['seconds'] / 1e6:.2f} "
            f"| {median:.2f} | {p99:.2f} | {cpu} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--counts", default="10,50,100", help="numbers of plims to try, comma-separated")
    parser.add_argument("--bridges", default="1,2", help="numbers of bridges to spread them over, comma-separated")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each run")
    parser.add_argument("--groups", type=int, default=2, help="processes the plims are spread over")
    args = parser.parse_args()
    print(f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, eclipse-zenoh {metadata_version()}, "
          f"{args.seconds:g} s per run, load average {os.getloadavg()[0]:.1f} at the start")
    print("| plims | bridges | reports sent | received | lost | messages/s | MB/s | median added latency (ms) "
          "| p99 added latency (ms) | bridge CPU |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for bridges in map(int, args.bridges.split(",")):
        for count in map(int, args.counts.split(",")):
            print(row(count, bridges, measure(count, bridges, args.seconds, min(args.groups, count))), flush=True)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


def metadata_version() -> str:
    from importlib.metadata import version
    return version("eclipse-zenoh")


if __name__ == "__main__":
    main()
