"""The settings every command on the Zenoh bus takes: endpoints, a Zenoh config file, TLS."""
from __future__ import annotations

import argparse

from ..zenoh_config import BusSettings
from .common import BadInput


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
    try:
        return BusSettings(tuple(args.connect), tuple(args.listen), args.zenoh_config, args.tls_ca, args.tls_cert,
                           args.tls_key).check()
    except ValueError as exc:
        raise BadInput(str(exc)) from None
