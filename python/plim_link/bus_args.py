"""The command-line settings every command on the Zenoh bus takes, and the errors they share."""
from __future__ import annotations

import argparse
import sys

from .zenoh_config import BusSettings, MissingExtra

USAGE_ERROR = 2
FAILED = 1


def add_bus_arguments(parser: argparse.ArgumentParser) -> None:
    bus = parser.add_argument_group("the bus", "Endpoints given here replace Zenoh's defaults and turn multicast "
                                    "scouting off; with TLS every endpoint must be tls/HOST:PORT.")
    bus.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                     help="a Zenoh endpoint to connect to, e.g. tcp/10.0.0.5:7447 (repeatable)")
    bus.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                     help="a Zenoh endpoint to listen on, e.g. tcp/0.0.0.0:7447 (repeatable)")
    bus.add_argument("--zenoh-config", metavar="FILE", help="a Zenoh config file; the options here go over it")
    bus.add_argument("--tls-ca", metavar="FILE", help="the fleet's CA certificate (PEM)")
    bus.add_argument("--tls-cert", metavar="FILE", help="this side's certificate, signed by that CA (PEM)")
    bus.add_argument("--tls-key", metavar="FILE", help="the key of --tls-cert (PEM)")


def bus_settings(args: argparse.Namespace) -> BusSettings:
    return BusSettings(tuple(args.connect), tuple(args.listen), args.zenoh_config, args.tls_ca, args.tls_cert,
                       args.tls_key).check()


def fail(command: str, exc: BaseException) -> int:
    """One line on stderr; status 2 for what the user gave or lacks, 1 for work that failed."""
    print(f"plim {command}: error: {exc}", file=sys.stderr)
    return USAGE_ERROR if isinstance(exc, (ValueError, MissingExtra)) else FAILED
