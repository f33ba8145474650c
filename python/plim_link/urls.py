"""Connection URLs: the one table of schemes both clients open, and what each setting takes."""
from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass, field
from urllib.parse import parse_qsl, unquote, urlsplit

from plim_sim import SimConfig


def _speed(text: str) -> float:
    value = float(text)
    if not (math.isfinite(value) and value > 0):
        raise ValueError("a positive number (1 is the recorded pace)")
    return value


def _baud(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 2**31 - 1:
        raise ValueError("a positive whole number of bits per second")
    return value


@dataclass(frozen=True)
class Scheme:
    form: str
    options: dict[str, Callable[[str], object]]
    address: str  # "host" (HOST:PORT), "path" (three slashes), or "none"
    live: bool  # a plim at the far end: heartbeats and link timeouts apply


# Settings a simulated plim takes from a sim:// URL, with the type each is read as; SimConfig checks them.
SIM_OPTIONS: dict[str, Callable[[str], object]] = {
    "drive_base_hz": float, "imu_hz": float, "scan_hz": float, "scan_points": int, "ping_hz": float,
    "command_timeout_s": float, "seed": int, "uid": str,
}
SCHEMES: dict[str, Scheme] = {
    "udp": Scheme("udp://HOST:PORT", {}, "host", True),
    "udp-listen": Scheme("udp-listen://ADDR:PORT[?peer=HOST]", {"peer": str}, "host", True),
    "serial": Scheme("serial:///dev/ttyUSB0[?baud=115200]", {"baud": _baud}, "path", True),
    "sim": Scheme("sim://[?scan_hz=5&seed=3&...]", SIM_OPTIONS, "none", True),
    "file": Scheme("file:///path/run.plimlog[?speed=1]", {"speed": _speed}, "path", False),
}


@dataclass(frozen=True)
class Endpoint:
    scheme: str
    host: str = ""
    port: int = 0
    path: str = ""
    options: dict[str, object] = field(default_factory=dict)

    @property
    def live(self) -> bool:
        return SCHEMES[self.scheme].live


def _refuse(url: str, problem: str, scheme: str | None = None) -> ValueError:
    if scheme is None:
        where = "use one of " + ", ".join(s.form for s in SCHEMES.values())
    else:
        where = "the form is " + SCHEMES[scheme].form
    return ValueError(f"bad plim URL {url!r}: {problem}; {where}")


def parse_url(url: str | os.PathLike[str]) -> Endpoint:
    """Reads a connection URL, or the path of a recording to replay; a ValueError says what is wrong."""
    if isinstance(url, os.PathLike):
        return Endpoint("file", path=os.fspath(url))
    if not isinstance(url, str):
        raise TypeError(f"url must be a str or a path, not {type(url).__name__}")
    scheme = url.split("://", 1)[0] if "://" in url else ""
    if not scheme:
        raise _refuse(url, "no scheme:// in front")
    if scheme not in SCHEMES:
        raise _refuse(url, f"unknown scheme {scheme!r}")
    info = SCHEMES[scheme]
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError as exc:
        raise _refuse(url, str(exc), scheme) from None
    options: dict[str, object] = {}
    for key, value in parse_qsl(parts.query, keep_blank_values=True):
        read = info.options.get(key)
        if read is None:
            known = ", ".join(info.options) or "none"
            raise _refuse(url, f"unknown option {key!r} for {scheme}:// (known: {known})", scheme)
        try:
            options[key] = read(value)
        except ValueError as exc:
            detail = "" if "invalid literal" in str(exc) or "could not convert" in str(exc) else f" ({exc})"
            raise _refuse(url, f"option {key}={value!r} is not valid{detail}", scheme) from None
    if info.address == "host":
        if not parts.hostname or port is None:
            raise _refuse(url, f"{scheme}:// needs a host and a port", scheme)
        if scheme == "udp" and port == 0:
            raise _refuse(url, "port 0 is not a plim's address", scheme)
        return Endpoint(scheme, parts.hostname, port, options=options)
    if info.address == "none":
        if parts.netloc or parts.path not in ("", "/"):
            raise _refuse(url, f"{scheme}:// takes only options, no host or path", scheme)
        try:
            SimConfig(**options)  # type: ignore[arg-type]
        except ValueError as exc:
            raise _refuse(url, str(exc), scheme) from None
        return Endpoint(scheme, options=options)
    if parts.netloc:
        raise _refuse(url, f"{scheme}:// takes a path, not a host ({parts.netloc!r}); write three slashes", scheme)
    if not parts.path:
        raise _refuse(url, f"{scheme}:// needs a path", scheme)
    return Endpoint(scheme, path=unquote(parts.path), options=options)
