"""Docstring text rewritten into what the reference's parsers and Markdown expect.

The docstrings are written for ``help()`` and for Sphinx-minded readers: Sphinx
roles, bare doctest lines, reST literal blocks (``::``) and, in the native bulk
functions (whose text is the runtime one), section titles without a colon. Left
as they are, Markdown turns ``>>>`` into nested blockquotes and prints the roles
literally. Every function here takes and returns docstring text; none needs
griffe, so they can be checked on their own.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from textwrap import dedent

# :func:`name`, :py:meth:`~drel_ml.Mean.update`, :class:`title <target>`.
ROLE = re.compile(
    r":(?:py:)?(?P<role>func|meth|class|mod|attr|exc|data|obj|const|type):`(?P<body>[^`]+)`"
)
_TITLED_TARGET = re.compile(r"^(?P<title>.+?)\s*<(?P<target>[^<>]+)>$")
_CALLABLE_ROLES = {"func", "meth"}

# A numpy-style section: a title line underlined with dashes.
_NUMPY_UNDERLINE = re.compile(r"^[ \t]*-{3,}[ \t]*$")
# Section titles the native docstrings write on a line of their own.
_BARE_TITLES = {"Parameters", "Returns", "Raises", "Example", "Examples", "Yields", "Warns", "Note", "Notes"}
# Bare titles whose body is items the Google parser reads ("name: text").
_ITEM_TITLES = {"Parameters": "Parameters:", "Example": "Examples:", "Examples": "Examples:"}
_GOOGLE_EXAMPLE = re.compile(r"^(?P<indent>[ \t]*)Example:[ \t]*$")
_GOOGLE_EXAMPLES = re.compile(r"^(?P<indent>[ \t]*)Examples?:[ \t]*$")
_NUMPY_EXAMPLES = re.compile(r"^[ \t]*Examples?[ \t]*$")
_FENCE = re.compile(r"^[ \t]*(```|~~~)")
# A dunder name outside a code span (the backticks of ``x`` or `x` excluded).
_DUNDER = re.compile(r"(?<![`\w])(__[a-z]\w*__)(?![`\w])")
# Written in place of a prose section's title: the look of the parsed sections' titles.
SECTION_TITLE = '<p><span class="doc-section-title">{title}:</span></p>'

Resolver = Callable[[str], "str | None"]


def indent_of(line: str) -> int:
    return len(line) - len(line.lstrip())


def is_blank(line: str) -> bool:
    return not line.strip()


def is_numpy_style(text: str) -> bool:
    """Whether the docstring has numpy-style sections (titles underlined with dashes)."""
    lines = text.split("\n")
    return any(
        _NUMPY_UNDERLINE.match(below) and above.strip() and not _NUMPY_UNDERLINE.match(above)
        for above, below in zip(lines, lines[1:])
    )


def roles_to_references(text: str, resolve: Resolver) -> str:
    """Sphinx roles as Markdown cross-references (``[`name`][path]``).

    ``resolve`` maps a role's target to the identifier to link, or to None for
    a target documented elsewhere (the standard library, numpy), which is shown
    as code. A target it cannot place is linked as written, so that the strict
    build reports it.
    """

    def replace(match: re.Match[str]) -> str:
        body = match["body"].strip().lstrip("!")
        titled = _TITLED_TARGET.match(body)
        if titled:
            title, target = titled["title"], titled["target"].lstrip("~")
        else:
            target = body.lstrip("~")
            title = target.rsplit(".", 1)[-1] if body.startswith("~") else target
            if match["role"] in _CALLABLE_ROLES:
                title += "()"
        identifier = resolve(target)
        return f"`{title}`" if identifier is None else f"[`{title}`][{identifier}]"

    return ROLE.sub(replace, text)


def _block_end(lines: list[str], start: int, indent: int) -> int:
    """The index after the block that starts at ``start`` and is indented beyond ``indent``."""
    end = start
    for i in range(start, len(lines)):
        if is_blank(lines[i]):
            continue
        if indent_of(lines[i]) <= indent:
            break
        end = i + 1
    return end


def _fenced(body: list[str], indent: str, language: str) -> list[str]:
    code = dedent("\n".join(body)).splitlines()
    return ["", f"{indent}```{language}", *(indent + line if line else "" for line in code), f"{indent}```", ""]


def _language(code: list[str]) -> str:
    first = next((line for line in code if not is_blank(line)), "")
    return "pycon" if first.lstrip().startswith(">>>") else "python"


def literal_blocks_to_fences(text: str) -> str:
    """reST literal blocks (a paragraph ending in ``::``) as fenced code."""
    lines = text.split("\n")
    out: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        opens = line.rstrip().endswith("::") and i + 1 < len(lines) and is_blank(lines[i + 1])
        end = _block_end(lines, i + 1, indent_of(line)) if opens else i + 1
        if not opens or end <= i + 2:
            out.append(line)
            i += 1
            continue
        head = line.rstrip()
        if head.strip() != "::":
            # "Example::" reads "Example:"; "text ::" reads "text".
            out.append(head[:-3].rstrip() if head.endswith(" ::") else head[:-1])
        body = lines[i + 2 : end]
        out += _fenced(body, line[: indent_of(line)], _language(body))
        i = end
    return "\n".join(out)


def bare_sections(text: str) -> str:
    """Section titles written alone on their line ("Parameters", then an indented body).

    Item sections get the Google-style colon. A prose section (Returns and
    Raises written as sentences) keeps its text as a paragraph under a title
    that looks like the parsed sections' ones: the Google parser would cut it
    into one entry per line.
    """
    lines = text.split("\n")
    out: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        title = line.strip()
        nxt = lines[i + 1] if i + 1 < len(lines) else ""
        if title not in _BARE_TITLES or is_blank(nxt) or indent_of(nxt) <= indent_of(line):
            out.append(line)
            i += 1
            continue
        indent = line[: indent_of(line)]
        if title in _ITEM_TITLES:
            out.append(indent + _ITEM_TITLES[title])
            i += 1
            continue
        end = _block_end(lines, i + 1, indent_of(line))
        body = dedent("\n".join(lines[i + 1 : end])).splitlines()
        out += ["", indent + SECTION_TITLE.format(title=title), "", *(indent + b if b else "" for b in body), ""]
        i = end
    return "\n".join(out)


def google_example_titles(text: str) -> str:
    """``Example:`` as ``Examples:``, the title the Google parser reads as examples.

    Under ``Example:`` the parser makes an admonition, whose ``>>>`` lines
    Markdown then reads as quotes.
    """
    lines = text.split("\n")
    return "\n".join(
        _GOOGLE_EXAMPLE.sub(r"\g<indent>Examples:", line) if indent_of(below) > indent_of(line) else line
        for line, below in zip(lines, [*lines[1:], ""])
    )


def _example_sections(lines: list[str], numpy: bool) -> Iterator[bool]:
    """For each line, whether it is in a section that the parser reads as examples."""
    inside = False
    title_indent = 0
    for i, line in enumerate(lines):
        below = lines[i + 1] if i + 1 < len(lines) else ""
        if numpy:
            if _NUMPY_UNDERLINE.match(below) and line.strip():
                inside = bool(_NUMPY_EXAMPLES.match(line))
        elif _GOOGLE_EXAMPLES.match(line):
            inside, title_indent = True, indent_of(line)
            yield False
            continue
        elif inside and not is_blank(line) and indent_of(line) <= title_indent:
            inside = False
        yield inside


def doctests_to_fences(text: str, numpy: bool) -> str:
    """Doctest runs outside an Examples section as fenced ``pycon`` code.

    A run is a ``>>>`` line and every line after it up to a blank line, as
    doctest reads it.
    """
    lines = text.split("\n")
    in_examples = list(_example_sections(lines, numpy))
    out: list[str] = []
    in_fence = False
    i = 0
    while i < len(lines):
        line = lines[i]
        if _FENCE.match(line):
            in_fence = not in_fence
        if in_fence or in_examples[i] or not line.lstrip().startswith(">>>"):
            out.append(line)
            i += 1
            continue
        end = i
        while end < len(lines) and not is_blank(lines[end]):
            end += 1
        out += _fenced(lines[i:end], line[: indent_of(line)], "pycon")
        i = end
    return "\n".join(out)


def _code_lines(lines: list[str]) -> Iterator[bool]:
    """For each line, whether it is code: in a fence or in a doctest run."""
    in_fence = in_doctest = False
    for line in lines:
        fence = bool(_FENCE.match(line))
        if fence:
            in_fence = not in_fence
        in_doctest = not in_fence and (line.lstrip().startswith(">>>") or (in_doctest and not is_blank(line)))
        yield fence or in_fence or in_doctest


def dunders_as_code(text: str) -> str:
    """``__cause__`` in prose as code: Markdown would read the underscores as bold."""
    lines = text.split("\n")
    return "\n".join(
        line if code else _DUNDER.sub(r"`\1`", line) for line, code in zip(lines, _code_lines(lines))
    )


def normalize(text: str, resolve: Resolver) -> tuple[str, bool]:
    """The docstring as the reference parses it, and whether it is numpy style."""
    numpy = is_numpy_style(text)
    text = literal_blocks_to_fences(text)
    if not numpy:
        text = google_example_titles(bare_sections(text))
    text = dunders_as_code(doctests_to_fences(text, numpy))
    return roles_to_references(text, resolve), numpy
