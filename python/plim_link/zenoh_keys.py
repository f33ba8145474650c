"""Where each plim's traffic lives on the bus, and the small encodings both sides share.

    plim/NAME/msg/KIND           every message the plim sends, as Link's compact JSON
    plim/NAME/link               its link state each time it changes: up, down, ended
    plim/NAME/cmd                a host message as JSON, to send to the plim
    plim/NAME/error              why a command put on cmd was not sent
    plim/NAME/latest/KIND        queryable: the newest message of that kind
    plim/NAME/info               queryable: URL, link state and stats as JSON
    plim/NAME/bridge             liveliness token: a bridge serves this plim
    plim/NAME/controller/ID      liveliness token: a controller commands this plim

No import of zenoh here: the names are checked before the bus is opened, and without the extra.
"""
from __future__ import annotations

import struct

ROOT = "plim"
ANY = "*"
# A chunk with these would be a pattern, not a name: it would match other plims' keys.
_WILD = frozenset("*$?#/")
_TIME = struct.Struct("<Q")


def check_name(name: str) -> str:
    """A plim's name on the bus: exactly one key chunk, matched by `plim/*` and by nothing else."""
    if not isinstance(name, str):
        raise TypeError(f"a plim name must be a str, not {type(name).__name__}")
    if not name:
        raise ValueError("a plim name must not be empty")
    bad = sorted(_WILD.intersection(name))
    if bad:
        raise ValueError(f"plim name {name!r} must be a single key chunk, without " + " ".join(repr(c) for c in bad))
    if name.startswith("@"):
        raise ValueError(f"plim name {name!r} must not start with '@' (such chunks match only themselves)")
    return name


def check_pattern(name: str) -> str:
    """A name to listen to: one plim's name, or `*` for every plim."""
    return name if name == ANY else check_name(name)


def msg(name: str, kind: str = ANY) -> str:
    return f"{ROOT}/{name}/msg/{kind}"


def link(name: str) -> str:
    return f"{ROOT}/{name}/link"


def cmd(name: str) -> str:
    return f"{ROOT}/{name}/cmd"


def error(name: str) -> str:
    return f"{ROOT}/{name}/error"


def latest(name: str, kind: str = ANY) -> str:
    return f"{ROOT}/{name}/latest/{kind}"


def info(name: str) -> str:
    return f"{ROOT}/{name}/info"


def bridge(name: str) -> str:
    return f"{ROOT}/{name}/bridge"


def controllers(name: str) -> str:
    return f"{ROOT}/{name}/controller/**"


def controller(name: str, session_id: str) -> str:
    return f"{ROOT}/{name}/controller/{session_id}"


def controller_id(key: str) -> str:
    """What follows plim/NAME/controller/ in a controller's token."""
    return key.split("/", 3)[3] if key.count("/") >= 3 else ""


def name_of(key: str) -> str:
    """The plim's name in any key of the layout."""
    return key.split("/", 2)[1]


def kind_of_text(text: str) -> str:
    """The variant name of a message in Link's compact JSON: `"Ping"` or `{"Scan":[...]}`."""
    if text.startswith('"'):
        return text[1:-1]
    return text[2:text.index('"', 2)]


def encode_time(wall_ns: int) -> bytes:
    """The attachment of a message: when it arrived, in nanoseconds since the epoch, 8 bytes LE."""
    return _TIME.pack(wall_ns)


def decode_time(attachment: bytes | None) -> int | None:
    if attachment is None or len(attachment) != _TIME.size:
        return None
    value: int = _TIME.unpack(attachment)[0]
    return value
