"""A cell's report file (".lyrdb", an XML report database of design-rule findings) for the page.

The database lists categories (nested, named "outer.inner" here), cells, and
items: one finding each, filed under one category and one cell, with values
that are shapes in micrometres ("polygon: (x,y;...)", "box: ...", "edge: ...",
"edge-pair: ...|...", "path: ...", "text: ('t',r0 x,y)") or plain values
("float: 1.5", "string: 'x'"). Shapes become point lists the page can
highlight; other values are shown as text.
"""

from __future__ import annotations

import os
import re
import xml.etree.ElementTree as ET
from typing import Any

__all__ = ["ReportError", "read_report"]

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"
_POINT = re.compile(rf"({_NUMBER})\s*,\s*({_NUMBER})")
_VALUE = re.compile(r"\s*([\w-]+)\s*:\s*(.*)", re.DOTALL)
_RING = re.compile(r"\(([^()]*)\)")


class ReportError(ValueError):
    """A report file that cannot be read."""


def _text(element: ET.Element | None, tag: str) -> str:
    child = element.find(tag) if element is not None else None
    return (child.text or "").strip() if child is not None else ""


def _unquote(path: str) -> str:
    """A category or cell reference without the quotes around its parts."""
    return ".".join(
        part.strip().strip("'\"") for part in re.split(r"\.(?=(?:[^']*'[^']*')*[^']*$)", path)
    )


def _categories(parent: ET.Element | None, prefix: str = "") -> list[str]:
    names: list[str] = []
    if parent is None:
        return names
    for category in parent.findall("category"):
        name = prefix + _unquote(_text(category, "name"))
        names.append(name)
        names += _categories(category.find("categories"), name + ".")
    return names


def _points(text: str) -> list[float]:
    return [float(v) for pair in _POINT.findall(text) for v in pair]


def _shape(kind: str, body: str) -> dict[str, Any] | None:
    """The shape a value describes, or None for a value that is not a shape."""
    if kind == "polygon":
        rings = [ring for inner in _RING.findall(body) for ring in inner.split("/")]
        return {"kind": "polygon", "rings": [_points(r) for r in rings if _points(r)]}
    if kind == "box":
        points = _points(body)
        if len(points) == 4:
            x1, y1, x2, y2 = points
            return {"kind": "polygon", "rings": [[x1, y1, x2, y1, x2, y2, x1, y2]]}
        return None
    if kind in ("edge", "edge-pair", "path"):
        lines = [_points(part) for part in _RING.findall(body)]
        return {"kind": "lines", "lines": [line for line in lines if len(line) >= 4]}
    if kind == "text":
        points = _points(body.rpartition(" ")[2])
        if len(points) == 2:
            label = re.match(r"\(\s*'((?:[^'\\]|\\.)*)'", body)
            return {"kind": "point", "at": points, "label": label.group(1) if label else ""}
    return None


def _value(text: str) -> tuple[dict[str, Any] | None, str]:
    match = _VALUE.match(text)
    if match is None:
        return None, text.strip()
    kind, body = match.group(1), match.group(2).strip()
    return _shape(kind, body), f"{kind}: {body}"


def read_report(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The categories, cells and items of the report file at ``path``."""
    try:
        root = ET.parse(os.fspath(path)).getroot()
    except (OSError, ET.ParseError) as exc:
        raise ReportError(f"Cannot read report {os.fspath(path)}: {exc}") from exc
    if root.tag != "report-database":
        raise ReportError(f"Not a report database: {os.fspath(path)} (root element <{root.tag}>)")
    categories = _categories(root.find("categories"))
    cells: list[str] = []
    for cell in root.findall("cells/cell"):
        name, variant = _text(cell, "name"), _text(cell, "variant")
        cells.append(f"{name}:{variant}" if variant else name)
    items = []
    for element in root.findall("items/item"):
        shapes, texts = [], []
        for value in element.findall("values/value"):
            shape, text = _value(value.text or "")
            if shape is not None:
                shapes.append(shape)
            texts.append(text)
        category, cell = _unquote(_text(element, "category")), _unquote(_text(element, "cell"))
        for name, known in ((category, categories), (cell, cells)):
            if name not in known:
                known.append(name)
        items.append({"category": category, "cell": cell, "shapes": shapes, "texts": texts})
    return {"categories": categories, "cells": cells, "items": items}
