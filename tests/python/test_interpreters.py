"""The module in isolated subinterpreters, each with its own GIL: every
interpreter gets its own classes and its links work there as in the main one."""
import json
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters arrived in 3.12")

# Run in every interpreter; writes what it saw to the file at OUT.
EXERCISE = """
    import json
    import plim_ffi

    link = plim_ffi.Link()
    link.send('{"SetUid":{"uid":"A1"}}')
    sent = link.poll_transmit()
    link.handle_receive("[3,17,0,1,1,2,2,1,1,2,1,0]")
    text = [link.poll_receive(), link.poll_receive(), link.poll_receive()]
    objects = plim_ffi.ObjectLink()
    objects.send({"SetDriveBaseVelocity": [1.5, -1.5]})
    packet = list(objects.poll_transmit())
    objects.handle_receive(bytes([3, 17, 0, 1, 1, 2, 2, 1, 1, 2, 1, 0]))
    received = [objects.poll_receive(), objects.poll_receive(), objects.skipped_frames]
    try:
        objects.send({"SetUid": {"uid": 5}})
    except ValueError as error:
        refused = str(error)
    with open(OUT, "w") as out:
        json.dump({"classes": [id(plim_ffi.Link), id(plim_ffi.ObjectLink)], "sent": sent, "text": text,
                   "packet": packet, "received": received, "refused": refused}, out)
"""

EXPECTED = {
    "sent": "[1,1,2,2,1,1,5,4,2,65,49,0]",
    "text": [None, '"Pong"', None],
    "packet": [1, 1, 2, 2, 1, 1, 2, 5, 1, 3, 192, 63, 1, 3, 192, 191, 0],
    "received": ["Pong", None, 1],
    "refused": "SetUid.uid: expected a str, got int",
}

DRIVER = """
    import sys
    try:
        import _interpreters as interpreters      # 3.13
        create = lambda: interpreters.create("isolated")
    except ImportError:
        import _xxsubinterpreters as interpreters  # 3.12: isolated, with its own GIL, by default
        create = interpreters.create
    exercise, outs = sys.argv[1], sys.argv[2:]
    exec(exercise.replace("OUT", repr(outs[0])))
    # All alive at once, so that no two sets of classes can share an address.
    interps = [create() for _ in outs[1:]]
    for interp, out in zip(interps, outs[1:]):
        failure = interpreters.run_string(interp, exercise.replace("OUT", repr(out)))
        assert failure is None, failure
    for interp in interps:
        interpreters.destroy(interp)
    print("done")
"""


def test_links_work_in_the_main_and_two_isolated_interpreters(tmp_path):
    outs = [str(tmp_path / f"out{i}.json") for i in range(3)]
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(DRIVER), textwrap.dedent(EXERCISE), *outs],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr
    seen = [json.loads(open(out).read()) for out in outs]
    for each in seen:
        assert {key: value for key, value in each.items() if key != "classes"} == EXPECTED
    # Each interpreter made classes of its own.
    classes = [tuple(each["classes"]) for each in seen]
    assert len(set(classes)) == 3
