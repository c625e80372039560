"""One call at a time on an object whose call runs its caller's Python code (a label's
``__eq__`` or ``__hash__``, a value's ``__float__``) before it puts its results in place: a
call of the same object from that code would be overwritten, so it is refused, before it
changes anything, as the core refuses a second borrow of a model."""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any, TypeVar, cast

# The ids of the objects in such a call (kept off the objects, which may be pickled or
# copied from inside it), each with the token of its call.
_RUNNING: dict[int, object] = {}

_F = TypeVar("_F", bound=Callable[..., Any])


def enter(obj: object, call: str, doing: str) -> int:
    """Marks ``obj`` as in ``call``; refuses it when it is already in one. Pass the key it
    returns to :func:`leave` in a ``finally``."""
    key, token = id(obj), object()
    # One step under the interpreter lock: of two threads, one only finds its own token.
    if _RUNNING.setdefault(key, token) is not token:
        raise RuntimeError(
            f"{type(obj).__name__}.{call}() called while the same {doing} (from a label's "
            f"__eq__ or __hash__, a value's conversion, or another thread); make the calls "
            f"one after the other"
        )
    return key


def leave(key: int) -> None:
    _RUNNING.pop(key, None)


def one_at_a_time(doing: str) -> Callable[[_F], _F]:
    """A method decorated so: refused while the same object is in another such call."""

    def decorate(method: _F) -> _F:
        @functools.wraps(method)
        def alone(self: Any, *args: Any, **kwargs: Any) -> Any:
            key = enter(self, method.__name__, doing)
            try:
                return method(self, *args, **kwargs)
            finally:
                leave(key)

        return cast(_F, alone)

    return decorate
