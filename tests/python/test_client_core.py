"""The client's I/O-free core on a fake clock: heartbeats, link states, fan-out, holding, recording."""
import logging

import pytest

from client_support import device_frame, host_messages
from plim_link.core import HELD_LIMIT, ClientCore
from plim_link.inbox import Timed
from plim_link.replay import ReplayClock

S = 1_000_000_000
WALL = 1_700_000_000 * S
SCAN = {"Scan": []}


def core(**settings):
    return ClientCore(mono_ns=0, **settings)


def sent(packets):
    return host_messages(packets)


def test_heartbeat_schedule_and_link_states(caplog):
    c = core(heartbeat_s=1.0, link_timeout_s=3.0)
    timeline = []
    with caplog.at_level(logging.INFO, logger="plim_link"):
        for t, arrives in [(0.0, None), (0.5, SCAN), (0.9, None), (1.0, "Pong"), (1.5, None), (3.4, None),
                           (3.5, None), (4.0, None), (9.0, None), (9.2, SCAN), (9.3, None)]:
            out = c.receive(device_frame(arrives), int(t * S), WALL) if arrives else []
            out += c.tick(int(t * S), WALL)
            timeline.append((t, c.state, sent(out), c.next_deadline_ns() / S))
    assert timeline == [
        (0.0, "connecting", ["Ping"], 1.0),  # the first beat goes out at once: the plim learns where to report
        (0.5, "up", [], 1.0),
        (0.9, "up", [], 1.0),
        (1.0, "up", ["Ping"], 2.0),  # its Pong answered the first beat
        (1.5, "up", [], 2.0),
        (3.4, "up", ["Ping"], 4.0),  # beats missed during a stall are not sent all at once
        (3.5, "up", [], 4.0),
        (4.0, "down", [], 4.4),  # 3 s after the last message
        (9.0, "down", ["Ping"], 10.0),
        (9.2, "up", [], 10.0),
        (9.3, "up", [], 10.0),
    ]
    assert c.stats.link_downs == 1 and c.stats.rtt_s == pytest.approx(1.0)
    assert [r.levelname for r in caplog.records] == ["WARNING", "INFO"]
    assert caplog.records[1].getMessage() == "plim_link: link up again after 8.2 s without messages"
    assert [t.message for t in c.inbox.items] == [SCAN, SCAN]  # the beat's Pong is not news for the program


@pytest.mark.parametrize("settings, beats", [({"heartbeat_s": None}, []), ({"live": False}, [])])
def test_no_heartbeat_when_off_or_replaying(settings, beats):
    c = core(**settings)
    assert sent(c.tick(0, WALL) + c.tick(10 * S, WALL)) == beats and c.next_deadline_ns() is None


def test_a_pong_answers_the_programs_ping_before_the_heartbeat():
    c = core()
    c.tick(0, WALL)  # heartbeat out
    c.send("Ping", 1, WALL)  # the program's own
    for t in (2, 3, 4):
        c.receive(device_frame("Pong"), t, WALL)
    assert c.user_pongs == 1 and [t.message for t in c.inbox.items] == ["Pong", "Pong"]


def test_every_subscription_and_the_inbox_get_every_message_of_their_kinds():
    c = core(queue_size=2)
    everything, scans = c.subscribe(None, 100), c.subscribe(frozenset({"Scan"}), 1)
    for i, message in enumerate([SCAN, "Ping", {"Scan": [{"quality": 1, "angle_rad": 0.0, "distance_mm": 1.0}]}]):
        c.receive(device_frame(message), i, WALL + i * S)
    assert [t for t in everything.items] == [Timed(1_700_000_000.0, SCAN), Timed(1_700_000_001.0, "Ping"),
                                             Timed(1_700_000_002.0, c.latest["Scan"][0].message)]
    assert (len(c.inbox.items), c.inbox.dropped, c.stats.dropped_messages) == (2, 1, 1)
    assert ([t.message for t in scans.items], scans.dropped) == ([c.latest["Scan"][0].message], 1)
    c.unsubscribe(scans)
    c.receive(device_frame(SCAN), 9, WALL)
    assert len(scans.items) == 1 and len(everything.items) == 4


@pytest.mark.parametrize("message", [
    {"SetDriveBaseVelocity": [1e39, 0]}, {"SetDriveBaseVelocity": [0, float("inf")]},
    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0.0, "right_velocity_rad_per_s": -3.5e38}},
    {"SetDriveBaseVelocity": (float("-inf"), 1.0)},
])
def test_velocities_the_plim_would_take_as_infinite_are_refused_and_nothing_is_left(message):
    c = core()
    with pytest.raises(ValueError, match=r"^SetDriveBaseVelocity\.(left|right)_velocity_rad_per_s"):
        c.send(message, 0, WALL)
    assert c.link.poll_transmit() is None and not c.moving and c.stats.messages_sent == 0


@pytest.mark.parametrize("commands, stop", [
    ([[2.0, 1.0]], True), ([[2.0, 1.0], [0.0, 0.0]], False), ([[0.0, -0.0]], False), ([], False),
])
def test_the_stop_on_close_follows_the_last_wheel_command(commands, stop):
    c = core()
    for command in commands:
        c.send({"SetDriveBaseVelocity": command}, 0, WALL)
    out = c.close(1, WALL)
    assert sent(out) == ([{"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 0.0,
                                                    "right_velocity_rad_per_s": 0.0}}] if stop else [])
    assert c.state == "ended" and c.close(2, WALL) == []


def test_a_plim_not_yet_known_gets_the_newest_wheel_command_and_a_bounded_backlog(caplog):
    c = core(peer_known=False)
    assert c.tick(0, WALL) == []  # no heartbeat into the void
    with caplog.at_level(logging.WARNING, logger="plim_link"):
        for i in range(HELD_LIMIT + 10):
            assert c.send({"SetDriveBaseVelocity": [float(i), 0.0]}, i, WALL) == []
            assert c.send({"SetUid": {"uid": str(i)}}, i, WALL) == []
    out = sent(c.peer_found(10 * S, WALL))
    assert [m for m in out if "SetDriveBaseVelocity" in m] == [{"SetDriveBaseVelocity": {
        "left_velocity_rad_per_s": float(HELD_LIMIT + 9), "right_velocity_rad_per_s": 0.0}}]
    assert [m["SetUid"]["uid"] for m in out if "SetUid" in m] == [str(i) for i in range(11, HELD_LIMIT + 10)]
    assert c.stats.held_dropped == 11 and len(caplog.records) == 1
    assert sent(c.tick(10 * S, WALL)) == ["Ping"]


def test_bad_frames_are_counted_exactly_and_warned_about_once_a_second(caplog):
    c = core(strict=True)
    with caplog.at_level(logging.WARNING, logger="plim_link"):
        for t in range(2500):
            c.receive(b"\x01\x00", t * 1_000_000, WALL)  # too short for the version header
    assert c.stats.errors == 2500 and len(c.inbox.items) == 2500
    assert len(caplog.records) == 3 and caplog.records[1].getMessage().endswith("(999 more since the last warning)")


class FailingSink:
    def __init__(self, fail_after):
        self.left, self.packets, self.closed = fail_after, [], 0

    def packet(self, direction, payload, mono_ns, wall_ns):
        if self.left == 0:
            raise OSError(28, "No space left on device")
        self.left -= 1
        self.packets.append(direction)

    def message(self, direction, message, wall_ns):
        pass

    def close(self):
        self.closed += 1
        raise OSError(28, "No space left on device")


def test_a_failing_recording_stops_alone(caplog):
    sink, other = FailingSink(fail_after=1), FailingSink(fail_after=-1)
    c = core(sinks=[sink, other])
    with caplog.at_level(logging.ERROR, logger="plim_link"):
        c.send({"SetDriveBaseVelocity": [3.0, 3.0]}, 0, WALL)
        c.receive(device_frame(SCAN), 1, WALL)
        c.receive(device_frame(SCAN), 2, WALL)
        stop = c.close(3, WALL)
        c.close_sinks()
    assert c.stats.recording_error == "[Errno 28] No space left on device"
    assert sent(stop)[0]["SetDriveBaseVelocity"]["left_velocity_rad_per_s"] == 0.0
    assert len(c.inbox.items) == 2 and sink.packets == [b">"] and sink.closed == 1
    assert other.packets == [b">", b"<", b"<", b">"]  # the other sink had everything
    assert [r.getMessage() for r in caplog.records] == ["plim_link: recording stopped: [Errno 28] No space left on device"] * 2


def test_an_error_that_ends_the_connection_reaches_every_reader_once():
    c = core()
    sub = c.subscribe(None, 10)
    c.receive(device_frame(SCAN), 0, WALL)
    c.end(RuntimeError("boom"))
    for inbox in (c.inbox, sub):
        with pytest.raises(RuntimeError, match="boom"):
            inbox.take()
        assert inbox.take().message == SCAN and inbox.take() is None and inbox.closed
    assert c.state == "ended" and c.tick(10 * S, WALL) == []


def test_a_replay_waits_for_the_readers_that_read():
    c = core(queue_size=1, live=False)
    assert c.room_for_replay()
    c.receive(device_frame(SCAN), 0, WALL)
    assert not c.room_for_replay()  # recv is the only reader
    sub = c.subscribe(None, 5)
    assert c.room_for_replay()  # the program reads its subscription; the unread inbox may drop
    c.inbox.take()
    c.receive(device_frame(SCAN), 1, WALL)
    assert not c.room_for_replay()  # now it reads both
    c.unsubscribe(sub)
    c.inbox.take()
    assert c.room_for_replay()


@pytest.mark.parametrize("speed, records, due", [
    (None, [(0, 5), (0, 900)], [0, 0]),
    (1.0, [(0, 100), (0, 600), (0, 1100)], [0, 500, 1000]),
    (2.0, [(0, 100), (0, 600)], [0, 250]),
    # A new session starts where the last one left off: no two-day wait, no burst when time runs back.
    (1.0, [(0, 100), (0, 300), (1, 172_800_000), (1, 172_800_100), (2, 50), (2, 150)], [0, 200, 200, 300, 300, 400]),
])
def test_replay_pace_per_session(speed, records, due):
    clock = ReplayClock(speed)
    assert [clock.due_ns(session, t, 0) for session, t in records] == due


def test_texts_are_the_links_own_whatever_the_cuts():
    import json
    import random
    from plim_ffi import Link
    from plim_link.jsontext import TextDecoder
    rng = random.Random(3)
    messages = [scan_msg for n in (0, 1, 200) for scan_msg in [{"Scan": [
        {"quality": rng.randrange(256), "angle_rad": rng.uniform(-7, 7), "distance_mm": rng.choice([None, 1e-7, 1e13])}
        for _ in range(n)]}]] + ["Ping"]
    stream = b"".join(device_frame(m) for m in messages) + b"\x02\x00"  # and one bad frame
    link = Link()
    decoder = TextDecoder()
    texts = []
    start = 0
    while start < len(stream):
        end = start + rng.randrange(1, 3000)
        texts += decoder.feed(stream[start:end])
        start = end
    expected = []
    for m in messages:
        link.handle_receive(json.dumps(list(device_frame(m))))
        expected.append(link.poll_receive())
    assert texts == expected and '"distance_mm":1e-7' in texts[1] + texts[2]
