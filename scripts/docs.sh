#!/usr/bin/env bash
# Builds the documentation site into site/ with MkDocs (Material theme): the guide cut from the
# README's sections, the API reference from the docstrings and stubs of plim_link, plim_link.aio,
# plim_link.messages and plim_ffi. Strict: a broken link or a missing docstring fails the build.
# The site is read from the sources, so nothing is compiled; its tools come from the `docs` extra.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m venv build/venv-docs
# shellcheck disable=SC1091
. build/venv-docs/bin/activate
python - >build/docs-requirements.txt <<'PY'
import tomllib
print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]))
PY
python -m pip install -q --disable-pip-version-check -r build/docs-requirements.txt
NO_MKDOCS_2_WARNING=1 mkdocs build --strict --site-dir site "$@"
echo "== site/index.html"
