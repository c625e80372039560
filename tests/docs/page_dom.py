"""A rendered page's DOM, read into a small tree: enough to ask where a text stands.

Chromium's ``--dump-dom`` writes the DOM as the browser holds it after the
page's scripts ran: every element closed except the void ones.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from html.parser import HTMLParser

VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}


@dataclass
class Element:
    tag: str
    attrs: dict[str, str]
    parent: Element | None = None
    children: list[Element | str] = field(default_factory=list)

    @property
    def classes(self) -> set[str]:
        return set(self.attrs.get("class", "").split())

    def ancestors(self) -> Iterator[Element]:
        node = self.parent
        while node is not None:
            yield node
            node = node.parent

    def within(self, tag: str | None = None, cls: str | None = None) -> bool:
        """Whether this element or an ancestor is a ``tag`` (of class ``cls``)."""
        return any(
            (tag is None or node.tag == tag) and (cls is None or cls in node.classes)
            for node in (self, *self.ancestors())
        )

    def elements(self) -> Iterator[Element]:
        for child in self.children:
            if isinstance(child, Element):
                yield child
                yield from child.elements()

    def find_all(self, tag: str | None = None, cls: str | None = None) -> list[Element]:
        return [e for e in self.elements() if (tag is None or e.tag == tag) and (cls is None or cls in e.classes)]

    def texts(self) -> Iterator[tuple[str, Element]]:
        """Every text node under this element, with the element that holds it."""
        for child in self.children:
            if isinstance(child, str):
                yield child, self
            else:
                yield from child.texts()

    def text(self) -> str:
        return "".join(t for t, _ in self.texts())


class _Builder(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.root = Element("#document", {})
        self.current = self.root

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        element = Element(tag, {k: v or "" for k, v in attrs}, parent=self.current)
        self.current.children.append(element)
        if tag not in VOID:
            self.current = element

    def handle_endtag(self, tag: str) -> None:
        node: Element | None = self.current
        while node is not None and node.tag != tag:
            node = node.parent
        if node is not None and node.parent is not None:
            self.current = node.parent

    def handle_data(self, data: str) -> None:
        self.current.children.append(data)


def parse(html: str) -> Element:
    builder = _Builder()
    builder.feed(html)
    builder.close()
    return builder.root
