"""A Python client for the plim: connect by URL, send commands, read telemetry, record and replay."""
from importlib.metadata import PackageNotFoundError, version as _version

from .core import Stats
from .inbox import Timed
from .link import PlimClient, Subscription

try:
    __version__ = _version("plim_ffi")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["PlimClient", "Stats", "Subscription", "Timed", "__version__"]
