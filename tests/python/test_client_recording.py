"""Recordings: the file format under cuts, flipped bytes, appends and two writers, and record -> replay
against plim sim."""
import asyncio
import io
import logging
import os
import subprocess
import sys
import time
import tracemalloc
import zlib

import pytest
from hypothesis import given, settings, strategies as st

from client_support import WAIT_S, device_frame, host_messages, run_child, sim_url  # noqa: F401
from plim_link import PlimClient, aio
from plim_link.recording import (MAGIC, MAGIC_V1, MARK, MAX_PAYLOAD, RECEIVED, SENT, SESSION, Recorder, encode_record,
                                 read_records, session_header)
from plim_link.recording_reader import HEAD_V1, RecordingReader

DAY_NS = 86_400 * 10**9
WALL0 = 1_700_000_000 * 10**9


def header(number, mono_ns, wall_ns, url="sim://"):
    return encode_record(SESSION, mono_ns, session_header(wall_ns, url), number)


def sample(count, seed=0):
    """A recording of two sessions; payloads hold the record mark, so a search for it trips on them."""
    chunks, expected = [MAGIC], []
    for number, (mono, wall) in ((7, (10**9, WALL0)), (9, (5 * 10**9, WALL0 + DAY_NS))):
        chunks.append(header(number, mono, wall))
        first = len(chunks) - 1
        for i in range(count):
            direction = (RECEIVED, SENT)[(i + seed) % 2]
            payload = bytes([i, seed]) + MARK * (i % 3) + bytes(i % 5)
            chunks.append(encode_record(direction, mono + i * 1000, payload, number))
            expected.append((direction, mono + i * 1000, payload, wall + i * 1000, len(chunks) - 1, first))
    return chunks, expected


def read(data):
    reader = read_records(io.BytesIO(data))
    return [(r.direction, r.time_ns, r.payload, r.wall_ns) for r in reader], reader


def test_sessions_carry_wall_clock_times_and_what_wrote_them(tmp_path):
    path = tmp_path / "run.plimlog"
    for url, payload in (("sim://?seed=3", b"first"), ("udp://10.0.0.42:7000", b"second")):
        before = time.time_ns()
        recorder = Recorder(path, url)
        recorder.write(RECEIVED, payload, time.monotonic_ns())
        recorder.close()
    reader = RecordingReader.open(path)
    records = list(reader)
    assert [(r.payload, r.session) for r in records] == [(b"first", 0), (b"second", 1)]
    assert before <= records[1].wall_ns <= time.time_ns()
    assert [(s.url, s.wire, s.plim_ffi is not None) for s in reader.sessions] == [
        ("sim://?seed=3", "0.2.0", True), ("udp://10.0.0.42:7000", "0.2.0", True)]
    assert reader.sessions[0].number != reader.sessions[1].number


def test_every_cut_costs_only_the_record_it_cuts(caplog):
    chunks, expected = sample(4)
    data = b"".join(chunks)
    ends = [sum(map(len, chunks[:i + 1])) for i in range(len(chunks))]
    for cut in range(len(data) + 1):
        if cut < len(MAGIC):
            with pytest.raises(ValueError, match="is empty, not a plim recording" if cut == 0 else
                               "is not a plim recording"):
                read(data[:cut])
            continue
        caplog.clear()
        got, reader = read(data[:cut])
        whole = sum(end <= cut for end in ends)
        assert got == [e[:4] for e in expected if e[4] < whole]
        lost = cut - ends[whole - 1]
        assert (reader.skipped_bytes, reader.damaged_stretches, len(caplog.records)) == (lost, int(lost > 0),
                                                                                          int(lost > 0))


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 255), where=st.integers(0, 10**6), flip=st.integers(1, 255))
def test_a_flipped_byte_costs_at_most_the_record_it_hits(seed, where, flip):
    chunks, expected = sample(12, seed)
    data = bytearray(b"".join(chunks))
    where %= len(data)
    data[where] ^= flip
    hit = next(i for i in range(len(chunks)) if sum(map(len, chunks[:i + 1])) > where)
    got, reader = read(bytes(data))
    # A session whose header is hit keeps its records, without wall-clock times.
    assert got == [e[:3] + (None if e[5] == hit else e[3],) for e in expected if e[4] != hit]
    assert (reader.skipped_bytes, reader.damaged_stretches) == (len(chunks[hit]), 1)


def test_a_length_never_costs_more_memory_than_the_file_has():
    chunks, expected = sample(2)
    tails = [b"\xa5\x5a<\x07\x00\x00\x00" + bytes(8) + length.to_bytes(4, "little") + b"x" * 9
             for length in (MAX_PAYLOAD, MAX_PAYLOAD + 1, 2**32 - 1)]
    data = b"".join(chunks) + b"".join(tails)
    tracemalloc.start()
    got, reader = read(data)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert got == [e[:4] for e in expected] and reader.skipped_bytes == sum(map(len, tails))
    assert peak < len(data) + 64 * 1024


def test_appending_to_a_damaged_file_keeps_every_byte_and_reads_both(tmp_path):
    chunks, expected = sample(3)
    damaged = b"".join(chunks)[:-5] + b"\x00garbage"
    path = tmp_path / "run.plimlog"
    path.write_bytes(damaged)
    recorder = Recorder(path, "sim://")
    recorder.write(SENT, b"after", 123)
    recorder.close()
    after = path.read_bytes()
    got, reader = read(after)
    assert after.startswith(damaged)
    assert got[:-1] == [e[:4] for e in expected[:-1]] and got[-1][:3] == (SENT, 123, b"after")
    assert (reader.skipped_bytes, len(reader.sessions)) == (len(chunks[-1]) - 5 + 8, 3)


def test_a_recording_in_a_folder_that_is_not_there_names_itself(tmp_path):
    with pytest.raises(FileNotFoundError, match=f"^\\[Errno 2\\] No such file or directory: '{tmp_path}/no/run.plimlog'$"):
        Recorder(tmp_path / "no" / "run.plimlog")


@pytest.mark.parametrize("content, error", [
    (b"", "is empty, not a plim recording"),
    (b"root:x:0:0:root:/root:/bin/bash\n", "is not a plim recording"),
    (MAGIC_V1, "is a version-1 plim recording; record to a new file"),
])
def test_recording_into_a_file_that_is_not_one_leaves_it_alone(tmp_path, content, error):
    path = tmp_path / "other"
    path.write_bytes(content)
    if not content:  # an empty file, made beforehand, is as good as a new one
        Recorder(path).close()
        assert path.read_bytes().startswith(MAGIC + MARK + SESSION)
        return
    with pytest.raises(ValueError, match=error):
        Recorder(path)
    assert path.read_bytes() == content and os.listdir(tmp_path) == ["other"]


WRITER = """
import sys, time
from plim_link.recording import Recorder, RECEIVED
name, start, paths = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
for i, path in enumerate(paths):
    while time.time() < start + i * 0.03:
        pass
    recorder = Recorder(path, name)
    for n in range(100):
        recorder.write(RECEIVED, b"%s %d " % (name.encode(), n) * 20)
    recorder.close()
"""


def test_two_processes_creating_one_recording_lose_nothing(tmp_path):
    paths = [str(tmp_path / f"run{i}.plimlog") for i in range(40)]
    start = str(time.time() + 1.0)
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, name, start, *paths], stderr=subprocess.PIPE, text=True)
             for name in ("one", "two")]
    assert [proc.communicate(timeout=60)[1] for proc in procs] == ["", ""]
    expected = sorted(b"%s %d " % (name, n) * 20 for name in (b"one", b"two") for n in range(100))
    for path in paths:
        reader = RecordingReader.open(path)
        assert sorted(record.payload for record in reader) == expected
        assert sorted(s.url for s in reader.sessions) == ["one", "two"] and reader.skipped_bytes == 0
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(path) for path in paths)  # no temporary left


def test_replay_gives_what_the_live_run_received(sim_url, tmp_path):
    path = tmp_path / "run.plimlog"
    with PlimClient(sim_url, record=path) as client:
        client.set_uid("rec")
        client.request_network_scan()
        client.recv_match("State", WAIT_S)
        client.set_drive_base_velocity(3.0, -3.0)
        live = [client.recv_timed(WAIT_S) for _ in range(40)]
    live += iter(lambda: client.recv_timed(0), None)  # arrived before the close
    sent = host_messages(r.payload for r in read_records(path.open("rb")) if r.direction == SENT)
    assert [m for m in sent if m not in ("Pong", "Ping")] == [{"SetUid": {"uid": "rec"}}, "RequestNetworkScan",
                    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 3.0, "right_velocity_rad_per_s": -3.0}},
                    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0.0, "right_velocity_rad_per_s": 0.0}}]
    url = f"file://{path}"
    with PlimClient(url) as replay:
        replayed = [timed for timed in iter(lambda: replay.recv_timed(WAIT_S), None)]
    # A replay also gives the Pongs that answered the live client's heartbeats; and the recorded times.
    news = [t for t in replayed if t.message != "Pong"]
    assert [t.message for t in news[-len(live):]] == [t.message for t in live]
    assert {"uid": "rec"}.items() <= news[-len(live) - 1].message["State"].items()
    # The wall clock read at receipt, and the header's plus the monotonic time since: a few microseconds apart.
    assert max(abs(a.time - b.time) for a, b in zip(news[-len(live):], live)) < 0.002

    async def replay_async():
        async with await aio.connect(url) as client:
            return [timed async for timed in _timed(client)]
    assert asyncio.run(replay_async()) == replayed


async def _timed(client):
    while (timed := await client.recv_timed(WAIT_S)) is not None:
        yield timed


def two_days_apart(path):
    """Two sessions, the second two days later and after a reboot (its monotonic clock is behind)."""
    frames = [device_frame(m) for m in ("Pong", {"Scan": []}, "Ping")]
    path.write_bytes(MAGIC + header(1, 5 * 10**9, WALL0) + b"".join(
        encode_record(RECEIVED, 5 * 10**9 + i * 10**8, frame, 1) for i, frame in enumerate(frames))
        + header(2, 10**9, WALL0 + 2 * DAY_NS) + encode_record(RECEIVED, 10**9 + 10**8, frames[1], 2))
    return [(WALL0 + i * 10**8) / 1e9 for i in range(3)] + [(WALL0 + 2 * DAY_NS + 10**8) / 1e9]


def test_replay_paces_each_session_and_gives_recorded_times(tmp_path):
    path = tmp_path / "two.plimlog"
    times = two_days_apart(path)
    with PlimClient(f"file://{path}?speed=1") as replay:
        scans = replay.subscribe("Scan")
        got = [replay.recv_timed(WAIT_S) for _ in range(4)]
        assert [t.time for t in got] == times and [t.message for t in got] == ["Pong", {"Scan": []}, "Ping",
                                                                                {"Scan": []}]
        assert [scans.recv_timed(WAIT_S).time for _ in range(2)] == [times[1], times[3]]
        assert replay.latest_timed("Scan").time == times[3] and replay.recv(WAIT_S) is None

    async def replay_async():
        async with await aio.connect(path) as client:
            return [t.time async for t in _timed(client)]
    assert asyncio.run(replay_async()) == times


def test_a_version_1_recording_still_replays(tmp_path):
    path = tmp_path / "old.plimlog"
    body = [HEAD_V1.pack(RECEIVED, i, len(f)) + f for i, f in enumerate(map(device_frame, ["Ping", {"Scan": []}]))]
    path.write_bytes(MAGIC_V1 + b"".join(b + zlib.crc32(b).to_bytes(4, "little") for b in body))
    before = time.time()
    with PlimClient(path) as replay:
        got = list(iter(lambda: replay.recv_timed(WAIT_S), None))
    assert [t.message for t in got] == ["Ping", {"Scan": []}] and all(t.time >= before for t in got)


@pytest.mark.parametrize("name, content, error", [
    ("empty", b"", r"empty is empty, not a plim recording$"),
    ("passwd", b"root:x:0:0:root:/root:/bin/bash\n", r"passwd is not a plim recording$"),
    ("missing", None, r"\[Errno 2\] No such file or directory: '.*missing'$"),
    ("folder", "dir", r"\[Errno 21\] Is a directory: '.*folder'$"),
])
def test_what_is_not_a_recording_fails_at_open_in_both_clients(tmp_path, name, content, error):
    path = tmp_path / name
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises((ValueError, OSError), match=error):
        PlimClient(f"file://{path}")

    async def connect():
        await aio.connect(f"file://{path}")
    with pytest.raises((ValueError, OSError), match=error):
        asyncio.run(connect())


@pytest.mark.skipif(os.geteuid() != 0, reason="drops to another user, which only root can")
def test_an_unreadable_file_fails_at_open(tmp_path):
    path = tmp_path / "secret.plimlog"
    path.write_bytes(MAGIC)
    run = run_child(f"""
import os
from plim_link import PlimClient
os.setuid(65534)
try:
    PlimClient("file://" + {str(path)!r})
except OSError as exc:
    print(exc)
""")
    assert run.stdout == f"[Errno 13] Permission denied: '{path}'\n"


@pytest.mark.parametrize("speed, at_least_s", [("", 0.0), ("?speed=2", 0.4)])
def test_replay_pace(tmp_path, speed, at_least_s):
    path = tmp_path / "paced.plimlog"
    frame = device_frame("Pong")
    path.write_bytes(MAGIC + b"".join(encode_record(RECEIVED, t * 10**8, frame) for t in range(9)))  # 0.8 s recorded
    start = time.monotonic()
    with PlimClient(f"file://{path}{speed}") as replay:
        assert list(replay) == ["Pong"] * 9
    assert time.monotonic() - start >= at_least_s  # never faster than asked; slower is the machine's business


def test_damage_is_warned_once_per_stretch(tmp_path, caplog):
    chunks, expected = sample(3)
    path = tmp_path / "hurt.plimlog"
    path.write_bytes(b"".join(chunks[:3]) + b"\x00" * 50 + b"".join(chunks[3:6]) + b"junk" + b"".join(chunks[6:]))
    with caplog.at_level(logging.WARNING, "plim_link"), PlimClient(path) as replay:
        list(replay)
    assert [r.getMessage().split(f"{path}: ")[1] for r in caplog.records if str(path) in r.getMessage()] == [
        f"skipped 50 damaged bytes at offset {sum(map(len, chunks[:3]))}",
        f"skipped 4 damaged bytes at offset {sum(map(len, chunks[:6])) + 50}"]
