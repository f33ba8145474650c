"""Writes the small seed corpora in fuzz/corpus/<harness>/ from the test
tables and a few hand-picked texts. Re-run after changing the tables:
    python3 fuzz/make_seeds.py
"""
import hashlib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT.parent / "tests" / "python"))
import cases  # noqa: E402

_DESCRIPTION = json.loads((ROOT.parent / "tests" / "python" / "data" / "message_description.json").read_text())
DEVICE_KINDS = len(_DESCRIPTION["families"][_DESCRIPTION["device"]["family"]]["variants"])

HOST_TEXTS = [text for text, _ in cases.HOST_MESSAGES if len(text) < 600] + [
    "", "   ", "[1]", '"SetUid"', '{"Foo":null}', '"Foo"', '{"Ping":{}}', '{"Ping":null} x', '{"Ping" null}',
    '\n{"Foo": null}', '{"SetUid":{"uid":5}}', '{"SetUid":"A1"}', '{"SetUid":{"uid":"A1","uid":"B2"}}',
    '{"SetUid":{"uid":"A1",}}', '{"SetUid":["A1","B2"]}', '{"SetUid":{}}', '{"SetUid":[]}',
    '{"Ping":null,"Pong":null}', '{"SetDriveBaseVelocity":[1e400,0]}', '{"SetDriveBaseVelocity":[0e99999999999,1e-99999999999]}',
    '{"SetDriveBaseVelocity":[18446744073709551616,-9223372036854775809]}',
    '{"SetUid":{"uid":"\\ud800"}}', '{"SetUid":{"uid":"\\udc00"}}', '{"SetUid":{"uid":"\\ud800\\u0041"}}',
    '{"SetUid":{"uid":"x","extra":"\\ud800"}}', '{"SetUid":{"uid":"x","extra":[1,]}}', '{"SetUid":{"uid":"x","extra":{"a":1,}}}',
    '{"SetUid":{"uid":"x","extra":' + "[" * 200 + "]" * 200 + "}}", '{"SetUid":{"uid":"x","extra":-}}',
    '{"SetUid":{"uid":"x","extra":1.}}', '{"SetUid":{"uid":"x","extra":tru}}', '{"SetUid":{"uid":"a\tb"}}',
    '{"SetNetworkConnectionConfig":{"ssid":"a"}}', '{"SetNetworkConnectionConfig":["a"]}',
]

PACKET_TEXTS = [p for p, _ in cases.DEVICE_FRAMES if len(p) < 600] + [
    "[]", " [ ] ", "[0,255]", "[1,256]", "[-1]", "[1.5]", "{}", "[1,2,]", "[01]", "[1e2]", "[-0]",
    "[18446744073709551616]", "[1 2]", "[", "[1,", '["a"]', "[null,true]", "[[1]]", "\n[\r\n1\t]",
]


def device_bodies():
    # Raw mode of fuzz_device: a first byte divisible by 4, then the body.
    bodies = [b"\x00", b"\x01", b"\x02\x00", b"\x06", b"\x80\x00", b"\x00\xff", b"\x03" + b"\x00" * 23,
              b"\xff\xff\xff\xff\x0f", b"\xff\xff\xff\xff\x10", b"\x05\x02\xc3\x28", b"\x05\x00\x02",
              b"\x02\xc0\x84\x3d", cases.SCAN_BODY, cases.DRIVE_BASE_BODY, cases.STATE_BODY, cases.FULL_STATE_BODY]
    seeds = [b"\x00" + body for body in bodies]
    # Structured mode: any other first byte; a few fixed scripts.
    seeds += [bytes([1, k]) + bytes(range(40)) for k in range(DEVICE_KINDS)]
    return seeds


def stream_scripts():
    # Ops: 0/1 feed raw, 2/3 poll, 4/5 framed body, 6 long run, 7 empty feed.
    def feed(data):
        out = b""
        for i in range(0, len(data), 255):
            chunk = data[i:i + 255]
            out += bytes([0, len(chunk)]) + chunk
        return out
    poll = b"\x02"
    frames = [cases.wire(b"\x00"), cases.wire(cases.STATE_BODY), cases.wire(cases.SCAN_BODY),
              cases.wire(b"\x01", header=bytes([0, 0, 3, 0, 1, 0])), b"\x00\x00", b"\x03\x11\x00"]
    scripts = [feed(f) + poll + poll for f in frames]
    scripts.append(feed(b"".join(frames)) + poll * 8)
    scripts.append(b"\x06\x70\x17\x11" + feed(cases.wire(b"\x00")) + poll * 2)   # 6000-byte run, then a frame
    scripts.append(b"\x04\x00\x00\x01\x03" + poll)                                  # framed structured body
    return scripts


def write(harness, seeds):
    folder = ROOT / "corpus" / harness
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        data = seed.encode() if isinstance(seed, str) else seed
        (folder / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)


write("fuzz_host_message", HOST_TEXTS)
write("fuzz_packet", PACKET_TEXTS)
write("fuzz_device", device_bodies())
write("fuzz_stream", stream_scripts())
