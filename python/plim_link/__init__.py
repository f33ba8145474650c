"""A Python client for the plim: connect by URL, send commands, read telemetry, record and replay."""
from .link import PlimClient

__all__ = ["PlimClient"]
