"""How many simulated plims one asyncio process can serve with plim_link.aio.

    python bench/bench_client_scale.py [--counts 10,25,50,75,100] [--seconds 10] [--groups 2]

For each N, the plims run at their default report rates in `--groups` separate
processes (grouped so that N processes do not fight for the cores), each on its
own loopback UDP port. This process connects one async client per plim, reads
every message as it comes, and notes when each was delivered. The plims note
when they sent each message; the clock is the machine's monotonic clock, shared
by the processes, and loopback UDP keeps order, so the i-th message of a kind
received from a plim is its i-th sent. A run is clean when every message sent
arrived; the latency is delivery time minus send time, over all messages. The clients keep their
default heartbeat (a Ping a second each), whose Pongs are not delivered and so not counted.
"""
from __future__ import annotations

import argparse
import asyncio
import heapq
import json
import os
import selectors
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from typing import Any

from plim_link import aio
from plim_sim.thread import open_sim_socket
from plim_sim import PlimSimulator, SimConfig, encode_device_message, encode_frame, split_packets


class BenchPlim:
    """A plim that sends the simulator's reports at the simulator's default rates, encoded once.

    The simulator's robot model and encoder in pure Python cost far more than the client
    does per message; caching the packets keeps the plims from starving the process under test.
    """

    def __init__(self, seed: int) -> None:
        self.sim = PlimSimulator(open_sim_socket(), SimConfig(seed=seed), follow_sender=True)
        self.sock = self.sim.sock
        config = self.sim.config
        self.rates = {"DriveBaseState": config.drive_base_hz, "ImuMeasurement": config.imu_hz, "Scan": config.scan_hz}
        self.packets = {kind: split_packets(encode_frame(encode_device_message(make())))
                        for kind, (_, make) in self.sim._reports().items() if kind in self.rates}
        self.sent_at: dict[str, list[float]] = defaultdict(list)
        answer = self.sim.send

        def timed_answer(message: Any) -> None:  # Pongs and States, still from the simulator
            answer(message)
            self.sent_at[message if isinstance(message, str) else next(iter(message))].append(time.monotonic())
        self.sim.send = timed_answer  # type: ignore[method-assign]

    def emit(self, kind: str) -> None:
        for packet in self.packets[kind]:
            try:
                self.sock.sendto(packet, self.sim.peer)
            except BlockingIOError:
                self.sim.dropped_packets += 1
        self.sent_at[kind].append(time.monotonic())


def serve_group(count: int) -> None:
    """Runs `count` plims in one loop until a line arrives on stdin, then reports what each sent and when.

    Reports are due on one heap and the loop wakes only for a due report or a readable socket,
    so that the plims' own cost stays small next to the client's.
    """
    plims = [BenchPlim(seed=i) for i in range(count)]
    for plim in plims:
        print("udp://%s:%d" % plim.sock.getsockname()[:2])
    print("ready", flush=True)
    selector = selectors.DefaultSelector()
    selector.register(sys.stdin, selectors.EVENT_READ, None)
    for plim in plims:
        selector.register(plim.sock, selectors.EVENT_READ, plim)
    due: list[tuple[float, int, str]] = []
    while True:
        now = time.monotonic()
        while due and due[0][0] <= now:
            when, index, kind = heapq.heappop(due)
            plims[index].emit(kind)
            heapq.heappush(due, (max(when + 1.0 / plims[index].rates[kind], now), index, kind))
        timeout = min(due[0][0] - time.monotonic(), 0.05) if due else 0.05
        for key, _ in selector.select(max(0.0, timeout)):
            plim = key.data
            if plim is None:
                json.dump([{"sent": p.sent_at, "dropped": p.sim.dropped_packets} for p in plims], sys.stdout)
                sys.stdout.flush()
                return
            known = plim.sim.peer is not None
            plim.sim.serve_pending()
            if not known and plim.sim.peer is not None:  # its host has spoken: start reporting
                index = plims.index(plim)
                for kind in plim.rates:
                    heapq.heappush(due, (time.monotonic(), index, kind))


async def run_clients(urls: list[str], seconds: float) -> tuple[list[dict[str, list[float]]], list[Any]]:
    received: list[dict[str, list[float]]] = [defaultdict(list) for _ in urls]
    clients = [await aio.connect(url) for url in urls]

    async def consume(client: aio.AsyncPlimClient, log: dict[str, list[float]]) -> None:
        async for message in client:
            log[message if isinstance(message, str) else next(iter(message))].append(time.monotonic())

    readers = [asyncio.create_task(consume(c, log)) for c, log in zip(clients, received)]
    await asyncio.gather(*(c.ping(5.0) for c in clients))  # tells each plim where its host is
    await asyncio.sleep(seconds)
    return received, [clients, readers]


async def finish(clients: list[aio.AsyncPlimClient], readers: list[asyncio.Task[None]]) -> None:
    await asyncio.sleep(1.0)  # what is still in flight
    for client in clients:
        await client.close()
    await asyncio.gather(*readers)


def measure(count: int, seconds: float, groups: int) -> dict[str, Any]:
    sizes = [count // groups + (i < count % groups) for i in range(groups) if count // groups + (i < count % groups)]
    procs = [subprocess.Popen([sys.executable, __file__, "--serve", str(size)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for size in sizes]
    urls: list[str] = []
    for proc in procs:
        assert proc.stdout is not None
        while (line := proc.stdout.readline().strip()) != "ready":
            urls.append(line)
    loop = asyncio.new_event_loop()
    cpu = time.process_time()
    received, (clients, readers) = loop.run_until_complete(run_clients(urls, seconds))
    reports: list[Any] = []
    for proc in procs:
        out, _ = proc.communicate("stop\n", timeout=60)
        reports += json.loads(out)
    loop.run_until_complete(finish(clients, readers))
    cpu = time.process_time() - cpu
    loop.close()
    sent_total = lost = dropped = errors = 0
    latencies: list[float] = []
    for report, got, client in zip(reports, received, clients):
        dropped += report["dropped"]
        errors += client.stats.errors
        for kind, sent_times in report["sent"].items():
            if kind == "Pong":
                continue  # the answers to heartbeats are the client's own upkeep, not delivered
            sent_total += len(sent_times)
            lost += max(0, len(sent_times) - len(got[kind]))
            latencies += [r - s for s, r in zip(sent_times, got[kind])]
    return {"messages": sent_total, "lost": lost + dropped, "errors": errors, "latencies": latencies,
            "client_cpu": cpu / (seconds + 1.0)}


def summary(count: int, runs: list[dict[str, Any]]) -> str:
    """One table row over all runs at this N: totals, and latency over every message of every run."""
    latencies = sorted(x for run in runs for x in run["latencies"])
    median = 1000 * statistics.median(latencies) if latencies else float("nan")
    p99 = 1000 * latencies[int(0.99 * (len(latencies) - 1))] if latencies else float("nan")
    total = {key: sum(run[key] for run in runs) for key in ("messages", "lost", "errors")}
    cpu = max(run["client_cpu"] for run in runs)
    return (f"| {count} | {total['messages']} | {total['lost']} | {total['errors']} | {median:.2f} | {p99:.2f} "
            f"| {100 * cpu:.0f}% |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--counts", default="1,10,25,50,75,100", help="numbers of plims to try, comma-separated")
    parser.add_argument("--seconds", type=float, default=10.0, help="length of each run")
    parser.add_argument("--groups", type=int, default=2, help="processes the plims are spread over")
    parser.add_argument("--repeat", type=int, default=1, help="runs per N, pooled in one row")
    parser.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve is not None:
        serve_group(args.serve)
        return
    print(f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, {args.repeat} x {args.seconds:g} s per N, "
          f"load average {os.getloadavg()[0]:.1f} at the start")
    print("| plims | messages | lost | bad frames | median latency (ms) | p99 latency (ms) | client CPU (max) |")
    print("|---|---|---|---|---|---|---|")
    for count in map(int, args.counts.split(",")):
        runs = [measure(count, args.seconds, min(args.groups, count)) for _ in range(args.repeat)]
        print(summary(count, runs), flush=True)
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
