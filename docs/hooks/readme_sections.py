"""The guide's pages are cut from the README (and the changelog), so the site and the README say
the same thing: a page holding `<!-- readme: HEADING -->` gets the README's section of that
`##` heading, its headings raised one level, and links to other sections pointed at their pages."""
from __future__ import annotations

import re
from pathlib import Path
from typing import Any

from markdown.extensions.toc import slugify

ROOT = Path(__file__).resolve().parents[2]
MARKER = re.compile(r"^<!-- readme: (.+) -->\n?", re.M)
HEADING = re.compile(r"^(#{1,6}) (.+)$")


def _sections(text: str) -> dict[str, str]:
    """The text under each top-level heading (`#` or `##`), up to the next one; code is skipped."""
    sections: dict[str, list[str]] = {}
    current: list[str] | None = None
    fenced = False
    for line in text.splitlines(keepends=True):
        if line.startswith("```"):
            fenced = not fenced
        match = None if fenced else HEADING.match(line.rstrip("\n"))
        if match and len(match[1]) <= 2:
            current = sections.setdefault(match[2], [])
        if current is not None:
            current.append(line)
    return {heading: "".join(lines) for heading, lines in sections.items()}


def _anchors(section: str) -> list[str]:
    fenced = False
    found = []
    for line in section.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and (match := HEADING.match(line)):
            found.append(slugify(match[2].replace("`", ""), "-"))
    return found


def _raise_headings(section: str) -> str:
    out = []
    fenced = False
    for line in section.splitlines(keepends=True):
        if line.startswith("```"):
            fenced = not fenced
        if not fenced and line.startswith("##"):
            line = line[1:]
        out.append(line)
    return "".join(out)


_pages: dict[str, str] = {}  # README section heading -> page path, found once per build


def on_files(files: Any, config: Any) -> Any:
    _pages.clear()
    for file in files.documentation_pages():
        text = Path(file.abs_src_path).read_text(encoding="utf-8")
        for heading in MARKER.findall(text):
            _pages[heading] = file.src_uri
    return files


def on_page_markdown(markdown: str, page: Any, config: Any, files: Any) -> str:
    if markdown.strip() == "<!-- changelog -->":
        return (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    sections = _sections((ROOT / "README.md").read_text(encoding="utf-8"))
    where = {anchor: path for heading, path in _pages.items() if heading in sections
             for anchor in _anchors(sections[heading])}

    def link(match: re.Match[str]) -> str:
        target = where.get(match[1])
        if target is None or target == page.file.src_uri:
            return match[0]
        depth = page.file.src_uri.count("/")
        return f"]({'../' * depth}{target}#{match[1]})"

    def fill(match: re.Match[str]) -> str:
        heading = match[1]
        if heading not in sections:
            raise ValueError(f"{page.file.src_uri}: the README has no section '{heading}'")
        return re.sub(r"\]\(#([\w-]+)\)", link, _raise_headings(sections[heading]))
    return MARKER.sub(fill, markdown)
