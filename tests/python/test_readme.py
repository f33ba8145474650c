"""The README's message and error tables say what the module really does."""
import ast
import json
import re
from pathlib import Path

import pytest

from plim_ffi import Link
from plim_link.messages import DEVICE_MESSAGE_KINDS
from plim_sim import encode_device_message, encode_frame

README = (Path(__file__).parents[2] / "README.md").read_text()


def section(start, end):
    return README[README.index(start):README.index(end)]


HOST_ROWS = [(text, packet)
             for examples, packet in re.findall(r"^\| `\w+` \| (.*) \| `(\[.*\])` \|$",
                                                section("### Host to plim", "### Plim to host"), re.M)
             for text in re.findall(r"`([^`]+)`", examples)]
DEVICE_TEXTS = re.findall(r"^\| `\w+` \| `(.*)` \|$", section("### Plim to host", "## Errors"), re.M)
ERROR_ROWS = re.findall(r"^\| `(send|handle_receive)\(([^`]*)\)` \| `+(\w+): (.*?)`+ \|$",
                        section("## Errors", "## Threading"), re.M)


def test_tables_were_found():
    assert HOST_ROWS and ERROR_ROWS
    assert {kind_of(json.loads(text)) for text in DEVICE_TEXTS} <= set(DEVICE_MESSAGE_KINDS)


def kind_of(message):
    return message if isinstance(message, str) else next(iter(message))


@pytest.mark.parametrize("text, packet", HOST_ROWS)
def test_host_examples(text, packet):
    link = Link()
    link.send(text)
    assert (link.poll_transmit(), link.poll_transmit()) == (packet, None)


@pytest.mark.parametrize("text", DEVICE_TEXTS)
def test_device_examples(text):
    link = Link()
    link.handle_receive(json.dumps(list(encode_frame(encode_device_message(json.loads(text))))))
    assert link.poll_receive() == text


@pytest.mark.parametrize("method, argument, kind, message", ERROR_ROWS)
def test_error_examples(method, argument, kind, message):
    call = ast.parse(f"f({argument})", mode="eval").body
    args = [ast.literal_eval(a) for a in call.args]
    kwargs = {k.arg: ast.literal_eval(k.value) for k in call.keywords}
    with pytest.raises(Exception) as raised:
        getattr(Link(), method)(*args, **kwargs)
    assert (type(raised.value).__name__, str(raised.value)) == (kind, message)
