"""The griffe extension behind the API reference (mkdocs.yml loads it).

Once a package is loaded, before mkdocstrings renders it:
- every docstring is rewritten by ``docstring_text.normalize`` (Sphinx roles
  become cross-references, doctests become highlighted code) and gets the
  parser of its style, numpy or Google;
- a function that a stub declares only through ``@overload`` (``learn_many``,
  ``predict_many``) becomes an entry of its module, documented by its first
  documented overload and shown with every overload's signature;
- private names in annotations (``_Real``, ``_Rows``) give way to what they
  stand for: a type alias to its value, a private class to the annotation the
  ``shown_as`` option gives it. A private name left over is a build warning, so
  ``mkdocs build --strict`` fails on it.
"""

from __future__ import annotations

import ast
import dataclasses
import functools
import inspect
import logging
import sys
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

import griffe

sys.path.insert(0, str(Path(__file__).parent))
from docstring_text import normalize  # noqa: E402

# A child of "mkdocs": a warning here fails `mkdocs build --strict`.
log = logging.getLogger("mkdocs.plugins.drel_reference")

def is_private(name: str) -> bool:
    return name.startswith("_") and not name.endswith("__")


def own_objects(obj: griffe.Object) -> Iterator[griffe.Object]:
    """The object and every member defined under it that the reference may show.

    Aliases are left out (their targets are visited where they are defined), and
    so are private objects, except private modules, whose public members the
    package re-exports, and private classes, whose members public classes
    inherit and show. Overloads are included.
    """
    yield obj
    if isinstance(obj, griffe.Function) and obj.overloads:
        yield from (o for o in obj.overloads if o is not obj)
    for name, member in obj.members.items():
        if not member.is_alias and (member.is_module or member.is_class or not is_private(name)):
            yield from own_objects(member)  # type: ignore[arg-type]


def _union_members(annotation: Any) -> Iterator[Any]:
    if isinstance(annotation, griffe.ExprBinOp) and annotation.operator == "|":
        yield from _union_members(annotation.left)
        yield from _union_members(annotation.right)
    elif annotation is not None:
        yield annotation


def _union(annotations: Iterable[Any]) -> Any:
    """``a | b | ...`` of the distinct members of the annotations (None when there are none).

    Flat, so that a union put in place of a name reads without parentheses.
    """
    distinct: dict[str, Any] = {}
    for annotation in annotations:
        for member in _union_members(annotation):
            distinct.setdefault(str(member), member)
    if not distinct:
        return None
    return functools.reduce(lambda a, b: griffe.ExprBinOp(a, "|", b), distinct.values())


def promote_overloads(obj: griffe.Object) -> None:
    """A name declared only by ``@overload`` stubs becomes a member, shown by its overloads.

    Its entry has the first documented overload's docstring and parameters,
    each annotated with the union of what the overloads accept, so that the
    parameter table holds every accepted type.
    """
    if not isinstance(obj, (griffe.Module, griffe.Class)):
        return
    for name, overloads in list(obj.overloads.items()):
        if name in obj.members or not overloads:
            continue
        documented = next((o for o in overloads if o.docstring), overloads[0])
        parameters = [
            griffe.Parameter(
                p.name,
                annotation=_union(q.annotation for o in overloads for q in o.parameters if q.name == p.name),
                kind=p.kind,
                default=p.default,
            )
            for p in documented.parameters
        ]
        entry = griffe.Function(
            name,
            lineno=documented.lineno,
            endlineno=documented.endlineno,
            parameters=griffe.Parameters(*parameters),
            returns=_union(o.returns for o in overloads),
            docstring=documented.docstring,
            parent=obj,
        )
        if entry.docstring is not None:
            entry.docstring.parent = entry  # the parameter table reads the entry's annotations
        entry.overloads = list(overloads)
        obj.set_member(name, entry)
        del obj.overloads[name]


class _Resolver:
    """Role targets to cross-reference identifiers, in the scope of one object.

    A target in one of ``packages`` is linked; one elsewhere (the standard
    library, numpy) is shown as code, as this site has no page for it.
    """

    def __init__(self, obj: griffe.Object, packages: set[str]) -> None:
        self.obj = obj
        self.packages = packages

    def __call__(self, target: str) -> str | None:
        head, dot, rest = target.partition(".")
        try:
            path = self.obj.resolve(head) + dot + rest
        except griffe.NameResolutionError:
            return target  # linked as written: the strict build reports what does not exist
        return path if path.split(".")[0] in self.packages else None


def _in_private_module(path: str) -> bool:
    return any(is_private(part) for part in path.split(".")[:-1])


def _exported(path: str, loader: griffe.GriffeLoader) -> bool:
    """Whether the module of ``path`` names it in its ``__all__`` (or has none)."""
    module_path, _, name = path.rpartition(".")
    if not module_path:  # a builtin
        return True
    try:
        exports = loader.modules_collection[module_path].exports
    except (KeyError, griffe.AliasResolutionError):
        return True
    return exports is None or name in {str(export) for export in exports}


def _alias_value(path: str, loader: griffe.GriffeLoader, *, literal_only: bool = False) -> Any:
    """What a type alias stands for, as a flat union when it is one; None for anything else.

    ``Union[a, b]`` and ``a | b`` give ``a | b``, ``Literal[...]`` itself, another
    alias's name that name (to be looked at in turn); a ``TypeVar`` or a class keeps
    its name, which the signature needs. With ``literal_only`` a union is left as
    it is (None).
    """
    try:
        value = getattr(loader.modules_collection[path], "value", None)
    except (KeyError, griffe.AliasResolutionError):
        return None
    if isinstance(value, griffe.ExprName):
        return value
    if isinstance(value, griffe.ExprSubscript) and isinstance(value.left, griffe.ExprName):
        if value.left.name == "Literal":
            return value
    if literal_only:
        return None
    if isinstance(value, griffe.ExprBinOp) and value.operator == "|":
        return value
    if isinstance(value, griffe.ExprSubscript) and isinstance(value.left, griffe.ExprName):
        if value.left.name == "Union":
            members = value.slice.elements if isinstance(value.slice, griffe.ExprTuple) else [value.slice]
            return _union(members)
    return None


def _walk_names(expr: Any, replace: Callable[[griffe.ExprName], Any]) -> Any:
    """``expr`` with every name replaced by ``replace``'s answer (the name itself to keep it)."""
    if isinstance(expr, griffe.ExprName):
        return replace(expr)
    if isinstance(expr, griffe.Expr):
        for field in dataclasses.fields(expr):
            value = getattr(expr, field.name)
            if isinstance(value, (griffe.Expr, list)):
                setattr(expr, field.name, _walk_names(value, replace))
    elif isinstance(expr, list):
        return [_walk_names(item, replace) for item in expr]
    return expr


class DrelReference(griffe.Extension):
    def __init__(self, shown_as: dict[str, str] | None = None, packages: list[str] | None = None) -> None:
        """``shown_as``: private names' display; ``packages``: the packages the site documents."""
        super().__init__()
        self.shown_as = shown_as or {}
        self.packages = set(packages or [])

    def on_package(self, *, pkg: griffe.Module, loader: griffe.GriffeLoader, **kwargs: Any) -> None:
        for obj in list(own_objects(pkg)):
            promote_overloads(obj)
        packages = self.packages | {pkg.name}
        for obj in own_objects(pkg):
            self._rewrite_docstring(obj, packages)
            self._public_annotations(obj, loader)

    @staticmethod
    def _rewrite_docstring(obj: griffe.Object, packages: set[str]) -> None:
        docstring = obj.docstring
        if docstring is None:
            return
        text, numpy = normalize(docstring.value, _Resolver(obj, packages))
        docstring.value = text
        docstring.parser = griffe.Parser.numpy if numpy else griffe.Parser.google
        # The options configured are the Google parser's: keep those this parser takes.
        takes = inspect.signature(griffe.parsers[docstring.parser]).parameters
        docstring.parser_options = {k: v for k, v in docstring.parser_options.items() if k in takes}
        docstring.__dict__.pop("parsed", None)  # parsed again, from the new text

    def _public_annotations(self, obj: griffe.Object, loader: griffe.GriffeLoader) -> None:
        def public(expr: Any) -> Any:
            return _union([_walk_names(expr, lambda name: self._public_name(name, obj, loader, set()))])

        if isinstance(obj, griffe.Function):
            for parameter in obj.parameters:
                parameter.annotation = public(parameter.annotation)
            obj.returns = public(obj.returns)
        elif isinstance(obj, griffe.Attribute):
            obj.annotation = public(obj.annotation)

    def _public_name(self, name: griffe.ExprName, obj: griffe.Object, loader: griffe.GriffeLoader,
                     seen: set[str]) -> Any:
        path = name.canonical_path
        if not is_private(name.name):
            # An alias with no page to link to shows what it stands for: any alias of a
            # private module (drel_ml_ext._classes.Model), and a Literal a module keeps
            # out of its __all__ (drel_ml_ext.sklearn.RegressionLoss).
            value = None
            if path not in seen:
                if _in_private_module(path):
                    value = _alias_value(path, loader)
                elif not _exported(path, loader):
                    value = _alias_value(path, loader, literal_only=True)
            if value is None:
                return name
            return _walk_names(value, lambda inner: self._public_name(inner, obj, loader, seen | {path}))
        if path in self.shown_as:
            return griffe.safe_get_expression(ast.parse(self.shown_as[path], mode="eval").body, parent=obj)
        try:
            target = loader.modules_collection[path]
        except (KeyError, griffe.AliasResolutionError):
            target = None
        value = getattr(target, "value", None)
        if path in seen or not isinstance(value, griffe.Expr):
            log.warning("%s: the private name %s shows in an annotation; give it a `shown_as` entry",
                        obj.path, path)
            return name
        return _walk_names(value, lambda inner: self._public_name(inner, obj, loader, seen | {path}))
