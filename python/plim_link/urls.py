"""Connection URLs: which transport to open and with what settings."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from urllib.parse import parse_qsl, urlsplit

FORMS = ("udp://HOST:PORT", "udp-listen://ADDR:PORT[?peer=HOST]", "serial:///dev/ttyUSB0[?baud=115200]",
         "sim://[?scan_hz=10&seed=3]", "file:///path/run.plimlog[?speed=1]")

# Settings a simulated plim takes from a sim:// URL, with the type each is read as.
SIM_OPTIONS: dict[str, type] = {
    "drive_base_hz": float, "imu_hz": float, "scan_hz": float, "scan_points": int, "ping_hz": float,
    "seed": int, "uid": str,
}
_QUERY_KEYS: dict[str, dict[str, type]] = {
    "udp": {}, "udp-listen": {"peer": str}, "serial": {"baud": int}, "sim": SIM_OPTIONS, "file": {"speed": float},
}


@dataclass(frozen=True)
class Endpoint:
    scheme: str
    host: str = ""
    port: int = 0
    path: str = ""
    options: dict[str, object] = field(default_factory=dict)


def _refuse(url: str, problem: str) -> ValueError:
    return ValueError(f"bad plim URL {url!r}: {problem}; use one of " + ", ".join(FORMS))


def parse_url(url: str) -> Endpoint:
    """Reads a connection URL; a ValueError says what is wrong and lists the forms that exist."""
    if not isinstance(url, str):
        raise _refuse(repr(url), "a URL is a str")
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError as exc:
        raise _refuse(url, str(exc)) from None
    scheme = parts.scheme
    if "://" not in url:
        raise _refuse(url, "no scheme:// in front")
    if scheme not in _QUERY_KEYS:
        raise _refuse(url, f"unknown scheme {scheme!r}")
    options: dict[str, object] = {}
    for key, value in parse_qsl(parts.query, keep_blank_values=True):
        kind = _QUERY_KEYS[scheme].get(key)
        if kind is None:
            known = ", ".join(_QUERY_KEYS[scheme]) or "none"
            raise _refuse(url, f"unknown option {key!r} for {scheme}:// (known: {known})")
        try:
            options[key] = kind(value)
        except ValueError:
            raise _refuse(url, f"option {key}={value!r} is not a valid {kind.__name__}") from None
    if scheme in ("udp", "udp-listen"):
        if not parts.hostname or port is None:
            raise _refuse(url, f"{scheme}:// needs a host and a port")
        if scheme == "udp" and port == 0:
            raise _refuse(url, "port 0 is not a plim's address")
        return Endpoint(scheme, parts.hostname, port, options=options)
    if parts.netloc and scheme != "sim":
        raise _refuse(url, f"{scheme}:// takes a path, not a host ({parts.netloc!r}); write three slashes")
    if scheme == "sim":
        if parts.netloc or parts.path not in ("", "/"):
            raise _refuse(url, "sim:// takes only options, no host or path")
        return Endpoint(scheme, options=options)
    if not parts.path:
        raise _refuse(url, f"{scheme}:// needs a path")
    if scheme == "serial" and int(str(options.get("baud", 115200))) <= 0:
        raise _refuse(url, "baud must be positive")
    speed = options.get("speed")
    if isinstance(speed, float) and not (speed > 0 and math.isfinite(speed)):
        raise _refuse(url, "speed must be a positive number")
    return Endpoint(scheme, path=parts.path, options=options)
