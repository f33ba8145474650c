"""How a bridge or a fleet session joins the bus: endpoints, a Zenoh config file, TLS.

Rules, so that a session never ends up more open than asked:
- endpoints given here replace Zenoh's defaults, and with them multicast scouting is off (the
  peers are named, nobody else need be looked for);
- with TLS settings, every endpoint must be a `tls/` one, and the session listens on nothing but
  the `tls/` endpoints given: a plain TCP listener beside them would let anyone in;
- a session that falls silent (its machine left the network, its process hangs) is given up after
  LEASE_S instead of Zenoh's 10 s, so that its controller tokens go and its plims stop soon.
"""
from __future__ import annotations

import importlib
import json
import os
import re
from dataclasses import dataclass
from typing import Any

INSTALL_HINT = "pip install 'plim_ffi[zenoh]'"
_ENDPOINT = re.compile(r"^[a-z][a-z0-9+-]*/[^\s]+$")
_SECURE = ("tls/", "quic/")
LEASE_S = 2.0
ZENOH_DEFAULT_LEASE_MS = 10000


class MissingExtra(RuntimeError):
    """The bus needs eclipse-zenoh, which the core install leaves out."""


def require_zenoh() -> Any:
    try:
        # By name, so that the package type-checks where the extra is not installed.
        return importlib.import_module("zenoh")
    except ImportError:
        raise MissingExtra(f"the Zenoh bus needs the eclipse-zenoh package: {INSTALL_HINT}") from None


@dataclass(frozen=True)
class BusSettings:
    connect: tuple[str, ...] = ()
    listen: tuple[str, ...] = ()
    config: str | None = None  # a Zenoh config file (JSON5 or YAML); what is given here goes over it
    tls_ca: str | None = None  # the fleet's CA: peers must hold a certificate it signed
    tls_cert: str | None = None  # this session's own certificate and key, signed by that CA
    tls_key: str | None = None

    @property
    def tls(self) -> bool:
        return self.tls_ca is not None or self.tls_cert is not None or self.tls_key is not None

    def check(self) -> BusSettings:
        """Refuses settings that cannot work, with a one-line reason (ValueError)."""
        for kind, endpoints in (("connect", self.connect), ("listen", self.listen)):
            for endpoint in endpoints:
                if not isinstance(endpoint, str) or not _ENDPOINT.match(endpoint):
                    raise ValueError(f"bad {kind} endpoint {endpoint!r}: the form is PROTOCOL/ADDRESS, "
                                     "e.g. tcp/127.0.0.1:7447 or tls/bus.example:7447")
                if self.tls and not endpoint.startswith(_SECURE):
                    raise ValueError(f"{kind} endpoint {endpoint!r} is not encrypted: with TLS settings every "
                                     "endpoint must be tls/HOST:PORT")
        if (self.tls_cert is None) != (self.tls_key is None):
            raise ValueError("a TLS certificate needs its key, and a key its certificate (--tls-cert with --tls-key)")
        if self.tls and self.tls_ca is None:
            raise ValueError("TLS needs the fleet's CA (--tls-ca) to check the other side's certificate")
        for path in (self.config, self.tls_ca, self.tls_cert, self.tls_key):
            if path is not None and not os.access(path, os.R_OK):
                raise ValueError(f"cannot read {path}")
        return self


def make_config(settings: BusSettings) -> Any:
    """The Zenoh config for `settings`; raises MissingExtra without eclipse-zenoh, ValueError for bad settings."""
    settings.check()
    zenoh = require_zenoh()
    try:
        config = zenoh.Config.from_file(settings.config) if settings.config else zenoh.Config()
    except zenoh.ZError as exc:
        raise ValueError(f"bad Zenoh config {settings.config}: {exc}") from None
    # Each side tells the other how long to wait for it, so a controller's own setting is what counts.
    # A config file that sets another lease than Zenoh's default keeps it.
    if json.loads(config.get_json("transport/link/tx/lease")) == ZENOH_DEFAULT_LEASE_MS:
        config.insert_json5("transport/link/tx/lease", str(int(LEASE_S * 1000)))
    if settings.connect or settings.listen or settings.tls:
        config.insert_json5("connect/endpoints", json.dumps(list(settings.connect)))
        config.insert_json5("listen/endpoints", json.dumps(list(settings.listen)))
        config.insert_json5("scouting/multicast/enabled", "false")
    if settings.tls:
        tls = {"root_ca_certificate": settings.tls_ca, "enable_mtls": settings.tls_cert is not None}
        if settings.tls_cert is not None:
            for side in ("listen", "connect"):
                tls[f"{side}_certificate"] = settings.tls_cert
                tls[f"{side}_private_key"] = settings.tls_key
        for key, value in tls.items():
            config.insert_json5(f"transport/link/tls/{key}", json.dumps(value))
    return config


def open_session(settings: BusSettings) -> Any:
    zenoh = require_zenoh()
    config = make_config(settings)
    try:
        return zenoh.open(config)
    except zenoh.ZError as exc:
        raise OSError(f"could not join the Zenoh bus: {exc}") from None
