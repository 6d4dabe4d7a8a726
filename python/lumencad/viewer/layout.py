"""A cell's layout, read from its GDS file, as a drawing for the page.

Polygons are flattened out of the cell's hierarchy and grouped by layer.
Layers get their names and colours from the PDK's layer table (colours by the
layer's place in the table) and are listed lowest priority first, so that the
page draws the most telling layers (the waveguide core) on top.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field
from typing import Any

import gdstk
import numpy as np

__all__ = ["LayerTable", "LayoutError", "read_layout", "read_port_directions"]

# Colours for the PDK's layers, in the order of its layer table; they read on
# dark and on light backgrounds alike.
PALETTE = (
    "#4f8ef7",
    "#3fbf6f",
    "#e8b730",
    "#f08a3c",
    "#e5484d",
    "#a66ef0",
    "#2fb8c9",
    "#94a3b8",
    "#e35fa8",
    "#8bc34a",
    "#c08457",
    "#5c6bc0",
)
UNLISTED_COLOUR = "#9ca3af"
MICROMETRE = 1e-6
# Coordinates are sent rounded to 0.1 nm, well below any GDS grid.
DECIMALS = 4


class LayoutError(ValueError):
    """A GDS file that cannot be drawn."""


@dataclass(frozen=True)
class LayerTable:
    """The PDK's layers: names and colours by (layer, datatype), and their priority."""

    names: dict[tuple[int, int], str] = field(default_factory=dict)
    colours: dict[tuple[int, int], str] = field(default_factory=dict)
    priority: tuple[tuple[int, int], ...] = ()

    @classmethod
    def from_pdk_info(cls, info: dict[str, Any]) -> LayerTable:
        names: dict[tuple[int, int], str] = {}
        colours: dict[tuple[int, int], str] = {}
        for index, (name, layer, datatype) in enumerate(info.get("layers", ())):
            key = (int(layer), int(datatype))
            names.setdefault(key, str(name))
            colours.setdefault(key, PALETTE[index % len(PALETTE)])
        priority = tuple((int(ld[0]), int(ld[1])) for ld in info.get("priority", ()))
        return cls(names=names, colours=colours, priority=priority)

    def rank(self, key: tuple[int, int]) -> int:
        """Position in the priority order; layers the PDK does not rank come last."""
        try:
            return self.priority.index(key)
        except ValueError:
            return len(self.priority)


def read_layout(path: str | os.PathLike[str], cell_name: str, table: LayerTable) -> dict[str, Any]:
    """The drawing of the cell ``cell_name`` of the GDS file at ``path``.

    The cell of that name is drawn when the file has it, else its first
    top-level cell. Coordinates are in micrometres, y up.
    """
    try:
        library = gdstk.read_gds(os.fspath(path))
    except (OSError, RuntimeError) as exc:
        raise LayoutError(f"Cannot read GDS file {os.fspath(path)}: {exc}") from exc
    tops = library.top_level()
    cell = next((c for c in library.cells if c.name == cell_name), tops[0] if tops else None)
    if cell is None:
        raise LayoutError(f"GDS file {os.fspath(path)} holds no cell.")
    scale = library.unit / MICROMETRE
    grouped: dict[tuple[int, int], list[list[float]]] = {}
    for polygon in cell.get_polygons():
        points = np.round(polygon.points * scale, DECIMALS)
        grouped.setdefault((polygon.layer, polygon.datatype), []).append(points.ravel().tolist())
    box = cell.bounding_box()
    order = sorted(grouped, key=lambda key: (-table.rank(key), key))
    return {
        "cell": cell.name,
        "bbox": None if box is None else [round(v * scale, DECIMALS) for v in (*box[0], *box[1])],
        "layers": [
            {
                "layer": key[0],
                "datatype": key[1],
                "name": table.names.get(key, f"{key[0]}/{key[1]}"),
                "colour": table.colours.get(key, UNLISTED_COLOUR),
                "polygons": grouped[key],
            }
            for key in order
        ],
    }


def read_port_directions(path: str | os.PathLike[str]) -> dict[str, str]:
    """The direction letters a build recorded for a cell's ports; empty when unreadable."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return {}
    if not isinstance(data, dict):
        return {}
    return {str(k): v for k, v in data.items() if isinstance(v, str)}
