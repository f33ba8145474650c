#!/usr/bin/env python3
"""Writes or checks the files generated from the message declarations.

    python3 tools/generate_messages.py --write --describe build/generate/describe_messages
    python3 tools/generate_messages.py --check --description tests/python/data/message_description.json

`--describe` runs the describe_messages program built from the C++ sources;
`--description` reads what it printed earlier. Paths are relative to the
repository, which is found from this file.
"""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from message_gen import description, kind_stubs, python_types, schemas

ROOT = Path(__file__).resolve().parents[1]
REGENERATE = "bash scripts/generate.sh"
SAVED_DESCRIPTION = "tests/python/data/message_description.json"


def generated(text: str) -> dict[str, str]:
    desc = description.parse(text)
    return {
        "schemas/host_to_plim.schema.json": schemas.render_host(desc),
        "schemas/plim_to_host.schema.json": schemas.render_device(desc),
        "python/plim_link/messages.py": python_types.render(desc),
        "python/plim_link/kinds.pyi": kind_stubs.render(desc),
        # The same types for the module's stubs, which must not import the client package.
        "python/plim_ffi-stubs/_messages.pyi": python_types.render(desc),
        # The simulator cannot import plim_link (whose client imports the simulator), so it gets its own copy.
        "python/plim_sim/wire_constants.py": python_types.render_constants(desc),
        # Kept so that the Python tests can run the generator without a C++ build.
        SAVED_DESCRIPTION: json.dumps(json.loads(text), indent=2) + "\n",
    }


def stale(root: Path, files: dict[str, str]) -> list[str]:
    def current(path: Path) -> str | None:
        return path.read_text(encoding="utf-8") if path.exists() else None

    return [name for name, text in files.items() if current(root / name) != text]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--write", action="store_true", help="write the files that differ")
    action.add_argument("--check", action="store_true", help="exit 1 if any file differs")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--describe", metavar="PROGRAM", help="the describe_messages program to run")
    source.add_argument("--description", metavar="FILE", help="a saved output of describe_messages")
    parser.add_argument("--root", type=Path, default=ROOT, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.describe:
        text = description.run_describe(args.describe)
    else:
        text = Path(args.description).read_text(encoding="utf-8")
    files = generated(text)
    names = stale(args.root, files)
    if args.check:
        for name in names:
            print(f"{name} is not what the message declarations generate")
        if names:
            print(f"regenerate with: {REGENERATE}")
        return 1 if names else 0
    for name in names:
        # Bytes as generated: the check compares exact text, line ends included.
        (args.root / name).parent.mkdir(parents=True, exist_ok=True)
        (args.root / name).write_bytes(files[name].encode("utf-8"))
        print(f"wrote {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
