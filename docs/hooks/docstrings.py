"""A strict build fails while a public part of the documented API has no docstring."""
from __future__ import annotations

import logging
from pathlib import Path
from typing import Any

import griffe

log = logging.getLogger("mkdocs.hooks.docstrings")
SOURCES = str(Path(__file__).resolve().parents[2] / "python")
DOCUMENTED = {
    "plim_link": ["PlimClient", "Subscription", "Timed", "Stats"],
    "plim_link.aio": ["connect", "AsyncPlimClient", "AsyncSubscription"],
    "plim_link.messages": [],
    "plim_link.fleet": ["Fleet", "FleetSubscription", "FleetMessage"],
    "plim_link.fleet_aio": ["open_fleet", "AsyncFleet", "AsyncFleetSubscription"],
    "plim_ffi": ["Link", "ObjectLink"],
}


def _public(name: str) -> bool:
    return not name.startswith("_")


def _needs_docstring(member: Any) -> bool:
    return member.is_function or member.is_class or (member.is_attribute and "property" in member.labels)


def missing() -> list[str]:
    loader = griffe.GriffeLoader(search_paths=[SOURCES])
    found = []
    for module_name, names in DOCUMENTED.items():
        module = loader.load(module_name, find_stubs_package=True)
        if not module.docstring:
            found.append(module_name)
        for name in names:
            obj = module[name].final_target if module[name].is_alias else module[name]
            if not obj.docstring:
                found.append(f"{module_name}.{name}")
            if obj.is_class:
                for member_name, member in obj.all_members.items():
                    target = member.final_target if member.is_alias else member
                    if _public(member_name) and _needs_docstring(target) and not target.docstring:
                        found.append(f"{module_name}.{name}.{member_name}")
    return found


def on_pre_build(config: Any) -> None:
    for path in missing():
        log.warning("%s has no docstring", path)
