"""The `@cell` decorator: marks cell functions, names and caches their components."""

from __future__ import annotations

import functools
import hashlib
import inspect
import re
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

from polyloom.component import Component

F = TypeVar("F", bound=Callable[..., Component])

# Longest component name built from arguments before it is shortened to a hash.
MAX_NAME_LENGTH = 100

_SAFE_TEXT = re.compile(r"[^A-Za-z0-9_]")


def is_cell(obj: Any) -> bool:
    """True for functions marked by `@cell`."""
    return callable(obj) and getattr(obj, "_is_cell", False) is True


def _short_hash(text: str) -> str:
    return hashlib.md5(text.encode(), usedforsecurity=False).hexdigest()[:8]


def _name_part(value: Any) -> str:
    """A GDS-safe text for one argument value (distinct values give distinct texts)."""
    if isinstance(value, Component):
        return value.name
    if value is None or isinstance(value, bool):
        return str(value)
    if isinstance(value, (int, np.integer)):
        return str(int(value)).replace("-", "m")
    if isinstance(value, (float, np.floating)):
        number = float(value)
        text = str(int(number)) if number.is_integer() else repr(number)
        return text.replace("-", "m").replace("+", "").replace(".", "p")
    if isinstance(value, str):
        safe = _SAFE_TEXT.sub("_", value)
        return safe if safe == value else f"{safe}_{_short_hash(value)}"
    if isinstance(value, (list, tuple)):
        return "_".join(_name_part(item) for item in value)
    name = getattr(value, "name", None) or getattr(value, "__name__", None)
    if isinstance(name, str):
        return _name_part(name)
    return _short_hash(repr(value))


def component_name(function_name: str, changed: dict[str, Any]) -> str:
    """The name of a cell's component: the function name plus each non-default argument."""
    if not changed:
        return function_name
    parts = [f"{key}{_name_part(value)}" for key, value in changed.items()]
    name = "_".join([function_name, *parts])
    if len(name) > MAX_NAME_LENGTH:
        name = f"{function_name}_{_short_hash(name)}"
    return name


def _freeze(value: Any) -> Any:
    """A hashable cache key for an argument value."""
    if isinstance(value, Component):
        return ("component", id(value))
    if isinstance(value, dict):
        return ("dict", tuple((k, _freeze(v)) for k, v in sorted(value.items(), key=str)))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, tuple(_freeze(v) for v in value))
    if isinstance(value, np.ndarray):
        return ("array", value.shape, tuple(value.ravel().tolist()))
    try:
        hash(value)
    except TypeError:
        return ("repr", repr(value))
    return value


# Argument types whose equality is that of the values `_freeze` keys the cache
# with: numbers, strings, None and components (by identity).
_CALL_KEY_TYPES = frozenset({str, int, float, bool, type(None), Component})


def _call_key(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    """A call's arguments as given (positions, then keywords in their order), as a
    key; None when an argument is of another type (a list, a mapping, a subclass)."""
    for value in args:
        if type(value) not in _CALL_KEY_TYPES:
            return None
    for value in kwargs.values():
        if type(value) not in _CALL_KEY_TYPES:
            return None
    return (args, tuple(kwargs.items()))


def plain_setting(value: Any) -> Any:
    """A setting value as plain data (lists, dicts, numbers, strings)."""
    if isinstance(value, Component):
        return value.name
    if isinstance(value, dict):
        return {str(k): plain_setting(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain_setting(v) for v in value]
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if callable(value):
        return getattr(value, "__name__", repr(value))
    to_dict = getattr(value, "to_dict", None)
    if callable(to_dict):
        return plain_setting(to_dict())
    return repr(value)


def _differs(value: Any, default: Any) -> bool:
    try:
        same = value == default
        if isinstance(same, np.ndarray):
            return not bool(same.all())
        return not bool(same)
    except Exception:
        return value is not default


def cell(func: F | None = None) -> Any:
    """Mark a function as a cell and cache its component per distinct arguments.

    Use as `@cell` or `@cell()`. The decorated function gets the flag
    `_is_cell = True`, keeps its name, module, docs and signature, and offers
    `cache_clear()`. The returned component is named after the function and
    its non-default arguments, carries the bound arguments in `settings`, the
    function name in `function_name`, and is locked (shared, read-only).
    """
    if func is None:
        return cell

    signature = inspect.signature(func)
    cache: dict[Any, Component] = {}
    # The components of calls made before, keyed by their exact arguments
    # (see `_call_key`): a repeated call is answered without binding the
    # signature. Equal plain arguments bind to equal values, so an entry always
    # holds what `cache` gives for them.
    calls: dict[Any, Component] = {}

    @functools.wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Component:
        call = _call_key(args, kwargs)
        if call is not None:
            known = calls.get(call)
            if known is not None:
                return known
        component = _build(args, kwargs)
        if call is not None:
            calls[call] = component
        return component

    def _build(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Component:
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError as err:
            raise TypeError(f"{func.__name__}(): {err}") from None
        bound.apply_defaults()
        changed: dict[str, Any] = {}
        settings: dict[str, Any] = {}
        for pname, param in signature.parameters.items():
            value = bound.arguments.get(pname)
            if param.kind is inspect.Parameter.VAR_KEYWORD:
                for key, extra in (value or {}).items():
                    changed[key] = extra
                    settings[key] = extra
                continue
            if param.kind is inspect.Parameter.VAR_POSITIONAL:
                if value:
                    changed[pname] = list(value)
                settings[pname] = list(value or ())
                continue
            settings[pname] = value
            if param.default is inspect.Parameter.empty or _differs(value, param.default):
                changed[pname] = value

        key = tuple((k, _freeze(v)) for k, v in changed.items())
        cached = cache.get(key)
        if cached is not None:
            return cached

        component = func(*bound.args, **bound.kwargs)
        if not isinstance(component, Component):
            raise TypeError(
                f"Cell {func.__name__!r} must return a Component, got {type(component).__name__}"
            )
        if component.locked:
            # The function handed back a component that another cell owns.
            component = component.dup()
        component.name = component_name(func.__name__, changed)
        component.settings = {k: plain_setting(v) for k, v in settings.items()}
        component.function_name = func.__name__
        component.lock()
        cache[key] = component
        return component

    def cache_clear() -> None:
        cache.clear()
        calls.clear()

    wrapper._is_cell = True  # type: ignore[attr-defined]
    wrapper.cache_clear = cache_clear  # type: ignore[attr-defined]
    wrapper.cache_size = lambda: len(cache)  # type: ignore[attr-defined]
    return wrapper
