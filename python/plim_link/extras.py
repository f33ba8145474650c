"""Field libraries that come with an optional extra of plim_ffi, and what to install when one is missing."""
from __future__ import annotations

import importlib
from types import ModuleType

# module -> (the package that brings it, the extra of plim_ffi that brings the package)
EXTRAS = {"mcap": ("mcap", "mcap"), "foxglove": ("foxglove-sdk", "foxglove"), "matplotlib": ("matplotlib", "plot")}


class MissingExtra(ValueError):
    """A tool needs a library that this install of plim_ffi left out."""


def require(module: str, purpose: str) -> ModuleType:
    """Imports `module` (or a submodule of one of EXTRAS), or says which `pip install` brings it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        package, extra = EXTRAS[module.split(".")[0]]
        raise MissingExtra(f"{purpose} needs {package}: pip install 'plim_ffi[{extra}]'") from None
