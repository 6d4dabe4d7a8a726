"""Writing components to GDS files, keeping the hierarchy."""

from __future__ import annotations

import math
import os
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

import gdstk

if TYPE_CHECKING:
    from polyloom.component import Component

UNIT = 1e-6  # one micrometre
PRECISION = 1e-9  # one nanometre


def _unique_cell_names(components: list[Component]) -> dict[int, str]:
    """A distinct GDS cell name per component; later namesakes get a "$n" suffix."""
    names: dict[int, str] = {}
    taken: set[str] = set()
    next_suffix: dict[str, int] = {}  # per name, so many namesakes stay linear
    for component in components:
        name = component.name
        if name in taken:
            n = next_suffix.get(name, 1)
            while f"{name}${n}" in taken:
                n += 1
            next_suffix[name] = n + 1
            name = f"{name}${n}"
        taken.add(name)
        names[id(component)] = name
    return names


def to_library(top: Component) -> gdstk.Library:
    """A gdstk library holding one cell per distinct component of the hierarchy."""
    components = top._hierarchy()
    names = _unique_cell_names(components)
    library = gdstk.Library(unit=UNIT, precision=PRECISION)
    cells = {id(component): gdstk.Cell(names[id(component)]) for component in components}
    for component in components:
        cell = cells[id(component)]
        for polygon in component._polygons:
            cell.add(polygon.copy())
        for inst in component._insts:
            cell.add(
                gdstk.Reference(
                    cells[id(inst.component)],
                    origin=(inst.x, inst.y),
                    rotation=math.radians(inst.rotation),
                    x_reflection=inst.mirrored,
                )
            )
        library.add(cell)
    return library


def write_gds(top: Component, path: Any) -> Path:
    """Write `top` and everything below it to `path`, atomically.

    An existing file is replaced whole: the layout goes to a temporary file in
    the same folder that is then moved into place. A new file is written in
    place, as there is nothing to protect. Either way a failure never leaves
    a half-written file behind.
    """
    target = Path(path)
    if target.parent and not target.parent.exists():
        raise FileNotFoundError(f"Folder {str(target.parent)!r} does not exist")
    library = to_library(top)
    if os.path.lexists(target):
        # A fresh name (not mkstemp) so the file gets the usual permissions.
        written = str(target.parent / f".{target.name}.{uuid.uuid4().hex}.tmp")
    else:
        written = str(target)
    try:
        library.write_gds(written)
        if written != str(target):
            os.replace(written, target)
    except BaseException:
        try:
            os.unlink(written)
        except FileNotFoundError:
            pass
        raise
    return target
