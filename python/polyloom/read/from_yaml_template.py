"""Cell factories for pic files."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

from polyloom.component import Component
from polyloom.port import check_name
from polyloom.read.netlist_reader import from_yaml, load_netlist


def cell_from_yaml_template(path: str | os.PathLike[str], name: str) -> Callable[[], Component]:
    """A cell factory that builds the pic file at `path` as a component named `name`.

    The factory takes no arguments. It reads the file on first use and again
    whenever its modification time changes; in between it returns the same
    (locked) component.
    """
    check_name(name, "Cell")
    source = Path(path)
    cache: dict[str, Any] = {}

    def factory() -> Component:
        try:
            stamp = source.stat().st_mtime_ns
        except FileNotFoundError:
            raise FileNotFoundError(f"Pic file {str(source)!r} does not exist") from None
        if cache.get("stamp") == stamp:
            return cache["component"]
        if cache.get("building"):
            raise ValueError(f"Pic {name!r} contains itself (through {str(source)!r})")
        cache["building"] = True
        try:
            component = _build(source, name)
        finally:
            cache["building"] = False
        cache["stamp"] = stamp
        cache["component"] = component
        return component

    factory.__name__ = name
    factory.__qualname__ = name
    factory.__doc__ = f"Pic cell {name!r} from {source}."
    return factory


def _build(source: Path, name: str) -> Component:
    data = load_netlist(source)
    if not isinstance(data, Mapping):
        raise ValueError(f"Pic file {str(source)!r} must hold a mapping, got {type(data).__name__}")
    component = from_yaml(data, name=name)
    component.function_name = name
    component.info["source"] = str(source)
    component.lock()
    return component
