"""The read-only view of a layout hierarchy that its writers and extractors use.

`polyloom.component.Component` and `Instance` offer these members; GDS writing
and netlist extraction are typed against them, so they need nothing else of
the component classes.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Protocol

import gdstk

from polyloom.port import Ports


class Placement(Protocol):
    """A named reference to a layout, mirrored across x, rotated, then moved."""

    name: str
    x: float
    y: float
    rotation: float
    mirrored: bool

    @property
    def component(self) -> Layout: ...

    @property
    def ports(self) -> Ports: ...


class Layout(Protocol):
    """A named cell of polygons, ports and placements of other layouts."""

    name: str
    settings: dict[str, Any]

    @property
    def polygons(self) -> list[gdstk.Polygon]: ...

    @property
    def insts(self) -> Sequence[Placement]: ...

    @property
    def ports(self) -> Ports: ...


def hierarchy(top: Layout) -> list[Layout]:
    """`top` and every layout below it, each once, parents first."""
    seen: dict[int, Layout] = {}
    stack = [top]
    while stack:
        layout = stack.pop()
        if id(layout) in seen:
            continue
        seen[id(layout)] = layout
        stack.extend(reversed([inst.component for inst in layout.insts]))
    return list(seen.values())
