"""Recordings: the file format under cuts and appends, and record -> replay against plim sim."""
import asyncio
import io
import time

import pytest
from hypothesis import given, settings, strategies as st

from client_support import WAIT_S, device_frame, host_messages, sim_url  # noqa: F401
from plim_link import PlimClient, aio
from plim_link.recording import MAGIC, RECEIVED, SENT, Recorder, encode_record, read_records

records = st.lists(st.tuples(st.sampled_from([RECEIVED, SENT]), st.integers(0, 2**64 - 1), st.binary(max_size=40)),
                   max_size=6)


@settings(max_examples=150, deadline=None)
@given(records=records, cut=st.integers(0, 10**6), extra=st.binary(max_size=5))
def test_a_cut_costs_only_the_record_it_cuts(tmp_path_factory, records, cut, extra):
    path = tmp_path_factory.mktemp("rec") / "run.plimlog"
    recorder = Recorder(path)
    for direction, time_ns, payload in records:
        recorder.write(direction, payload, time_ns)
    recorder.close()
    data = path.read_bytes()
    assert data == MAGIC + b"".join(encode_record(*r) for r in records)
    cut = len(MAGIC) + cut % (len(data) - len(MAGIC) + 1)
    path.write_bytes(data[:cut])
    ends = [len(MAGIC)]
    for r in records:
        ends.append(ends[-1] + len(encode_record(*r)))
    intact = [(r.direction, r.time_ns, r.payload) for r in read_records(io.BytesIO(data[:cut]))]
    assert intact == records[:sum(end <= cut for end in ends) - 1]
    # Appending after a crash trims the cut-off record first, so the new one reads back too.
    recorder = Recorder(path)
    recorder.write(SENT, extra, 5)
    recorder.close()
    assert [(r.direction, r.time_ns, r.payload) for r in read_records(path.open("rb"))] == intact + [(SENT, 5, extra)]


def test_a_damaged_record_ends_the_reading():
    good, bad = encode_record(RECEIVED, 1, b"ab"), bytearray(encode_record(RECEIVED, 2, b"cd"))
    bad[-5] ^= 1
    assert [r.payload for r in read_records(io.BytesIO(MAGIC + good + bytes(bad) + good))] == [b"ab"]
    with pytest.raises(ValueError, match="not a plim recording"):
        list(read_records(io.BytesIO(b"PLIMLOG0")))


def test_replay_gives_what_the_live_run_received(sim_url, tmp_path):
    path = tmp_path / "run.plimlog"
    with PlimClient(sim_url, record=path) as client:
        client.set_uid("rec")
        client.request_network_scan()
        client.recv_match("State", WAIT_S)
        client.set_drive_base_velocity(3.0, -3.0)
        live = [client.recv(WAIT_S) for _ in range(40)]
    live += list(client)  # what arrived before the close, unread
    sent = host_messages(r.payload for r in read_records(path.open("rb")) if r.direction == SENT)
    assert [m for m in sent if m not in ("Pong", "Ping")] == [{"SetUid": {"uid": "rec"}}, "RequestNetworkScan",
                    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 3.0, "right_velocity_rad_per_s": -3.0}},
                    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0.0, "right_velocity_rad_per_s": 0.0}}]
    url = f"file://{path}"
    with PlimClient(url) as replay:
        replayed = list(replay)
    # A replay also gives the Pongs that answered the live client's heartbeats.
    news = [m for m in replayed if m != "Pong"]
    assert news[-len(live):] == live and {"uid": "rec"}.items() <= news[-len(live) - 1]["State"].items()

    async def replay_async():
        async with await aio.connect(url) as client:
            return [message async for message in client]
    assert asyncio.run(replay_async()) == replayed


@pytest.mark.parametrize("speed, at_least_s", [("", 0.0), ("?speed=2", 0.4)])
def test_replay_pace(tmp_path, speed, at_least_s):
    path = tmp_path / "paced.plimlog"
    frame = device_frame("Pong")
    path.write_bytes(MAGIC + b"".join(encode_record(RECEIVED, t * 10**8, frame) for t in range(9)))  # 0.8 s recorded
    start = time.monotonic()
    with PlimClient(f"file://{path}{speed}") as replay:
        assert list(replay) == ["Pong"] * 9
    assert time.monotonic() - start >= at_least_s  # never faster than asked; slower is the machine's business
