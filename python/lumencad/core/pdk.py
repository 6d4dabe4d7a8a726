"""Questions about the active PDK's cells, layers and cross-sections.

The netlist tools call these once per instance or port, so each answers from
memory: no file is read and nothing is built.

A PDK's own cells are the cells it held when lumencad first saw it (when
``import_pdk`` returned it, when a project registered cells in it, or at the
first question here). Cells registered on top of those later, as a project's
pics and Python cells are, are not the PDK's own, nor is a name whose own cell
a project cell has replaced.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from numbers import Real
from typing import Any

import polyloom
from natsort import natsorted

__all__ = [
    "check_cross_section",
    "get_all_pics",
    "get_pdk_pics",
    "is_hierarchical_pic",
    "is_pdk_pic",
    "most_common_layers",
    "note_pdk",
    "remember_project_cells",
]


@dataclass
class _PdkRecord:
    pdk: Any
    # The PDK's own cells: name -> factory.
    own: dict[str, Callable[..., Any]]
    # Cells a project registered: name -> (factory, came from a pic file).
    project: dict[str, tuple[Callable[..., Any], bool]] = field(default_factory=dict)


_records: dict[int, _PdkRecord] = {}


def note_pdk(pdk: Any) -> _PdkRecord:
    """Remember ``pdk``'s current cells as its own, the first time it is seen."""
    record = _records.get(id(pdk))
    if record is None or record.pdk is not pdk:
        record = _PdkRecord(pdk=pdk, own=dict(pdk.cells))
        _records[id(pdk)] = record
    return record


def _active() -> tuple[Any, _PdkRecord]:
    pdk = polyloom.get_active_pdk()
    return pdk, note_pdk(pdk)


def remember_project_cells(
    pdk: Any,
    pics: Mapping[str, Callable[..., Any]],
    python_cells: Mapping[str, Callable[..., Any]],
) -> None:
    """Record which cells a project registered in ``pdk``, and which came from pics."""
    record = note_pdk(pdk)
    for name, factory in pics.items():
        record.project[name] = (factory, True)
    for name, factory in python_cells.items():
        record.project[name] = (factory, False)


def is_pdk_pic(name: str) -> bool:
    """True for a cell of the active PDK itself (not one a project added)."""
    pdk, record = _active()
    own = record.own.get(name)
    return own is not None and pdk.cells.get(name) is own


def get_pdk_pics() -> list[str]:
    """The active PDK's own cell names, in the PDK's order."""
    pdk, record = _active()
    own = record.own
    return [name for name, factory in pdk.cells.items() if own.get(name) is factory]


def get_all_pics() -> list[str]:
    """Every cell name of the active PDK: its own and those registered on top."""
    pdk, _ = _active()
    return list(pdk.all_cells())


def is_hierarchical_pic(name: str) -> bool:
    """True for a cell that a project registered from a pic file and that is still in use."""
    pdk, record = _active()
    entry = record.project.get(name)
    return entry is not None and entry[1] and pdk.get_cell(name) is entry[0]


def most_common_layers() -> list[tuple[int, int]]:
    """The active PDK's layers as (layer, datatype) pairs, highest priority first."""
    pdk, _ = _active()
    return [(int(layer), int(datatype)) for layer, datatype in pdk.layer_priority or ()]


# --- cross-sections -------------------------------------------------------------

_LAYER_KEYS = ("layer",)
_LAYER_LIST_KEYS = ("cladding_layers",)
_NUMBER_KEYS = ("width", "radius")
_NUMBER_LIST_KEYS = ("cladding_offsets",)
_TEXT_KEYS = ("name",)
_TEXT_LIST_KEYS = ("port_names",)
_CROSS_SECTION_KEYS = frozenset(
    _LAYER_KEYS + _LAYER_LIST_KEYS + _NUMBER_KEYS + _NUMBER_LIST_KEYS + _TEXT_KEYS + _TEXT_LIST_KEYS
)


def _layer(pdk: Any, value: Any, what: str) -> list[int]:
    if isinstance(value, str):
        layers = pdk.layers or {}
        if value not in layers:
            known = ", ".join(natsorted(layers)) or "none"
            raise ValueError(f"Unknown layer {value!r} in {what}. Known: {known}")
        value = layers[value]
    if (
        isinstance(value, (list, tuple))
        and len(value) == 2
        and all(isinstance(v, int) and not isinstance(v, bool) and v >= 0 for v in value)
    ):
        return [value[0], value[1]]
    raise ValueError(f"Invalid layer {value!r} in {what}: expected a name or [layer, datatype].")


def _number(value: Any, key: str, what: str) -> float:
    if isinstance(value, Real) and not isinstance(value, bool) and math.isfinite(value):
        return float(value)
    raise ValueError(f"Invalid {key} {value!r} in {what}: expected a number.")


def _sequence(value: Any, key: str, what: str) -> list[Any]:
    if isinstance(value, (list, tuple)):
        return list(value)
    raise ValueError(f"Invalid {key} {value!r} in {what}: expected a list.")


def _normalise_cross_section(pdk: Any, value: Mapping[str, Any]) -> dict[str, Any]:
    what = f"cross-section {dict(value)!r}"
    unknown = [k for k in value if k not in _CROSS_SECTION_KEYS]
    if unknown:
        known = ", ".join(sorted(_CROSS_SECTION_KEYS))
        raise ValueError(f"Unknown key {unknown[0]!r} in {what}. Known keys: {known}")
    if "width" not in value:
        raise ValueError(f"Missing 'width' in {what}.")
    result: dict[str, Any] = {}
    for key in sorted(value):
        item = value[key]
        if key in _LAYER_KEYS:
            result[key] = _layer(pdk, item, what)
        elif key in _LAYER_LIST_KEYS:
            result[key] = [_layer(pdk, v, what) for v in _sequence(item, key, what)]
        elif key in _NUMBER_KEYS:
            result[key] = _number(item, key, what)
        elif key in _NUMBER_LIST_KEYS:
            result[key] = [_number(v, key, what) for v in _sequence(item, key, what)]
        elif key in _TEXT_KEYS:
            if not isinstance(item, str):
                raise ValueError(f"Invalid {key} {item!r} in {what}: expected a string.")
            result[key] = item
        else:
            texts = _sequence(item, key, what)
            if len(texts) != 2 or not all(isinstance(t, str) for t in texts):
                raise ValueError(f"Invalid {key} {item!r} in {what}: expected two names.")
            result[key] = texts
    # The layout library's own checks: positive width, one offset per cladding.
    try:
        polyloom.CrossSection.from_dict(result)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"Invalid {what}: {exc}") from None
    return result


def check_cross_section(value: Any) -> Any:
    """The value to store for a netlist's ``cross_section`` entry.

    - a cross-section name of the active PDK: returned as is;
    - None (the PDK's default cross-section): returned as is;
    - a mapping describing a cross-section (``width`` required; ``layer`` and
      ``cladding_layers`` as layer names or [layer, datatype] pairs; ``radius``,
      ``cladding_offsets``, ``name``, ``port_names`` optional): a new plain dict
      with sorted keys, numbers as floats and layers as [layer, datatype] lists;
    - a ``polyloom.CrossSection``: its dict form, normalised the same way.

    Anything else raises ValueError naming the value.
    """
    pdk, _ = _active()
    if value is None:
        return None
    if isinstance(value, str):
        if value in (pdk.cross_sections or {}):
            return value
        known = ", ".join(natsorted(pdk.cross_sections or {})) or "none"
        raise ValueError(f"Unknown cross-section {value!r}. Known: {known}")
    if isinstance(value, polyloom.CrossSection):
        value = value.to_dict()
    if isinstance(value, Mapping):
        return _normalise_cross_section(pdk, value)
    known = ", ".join(natsorted(pdk.cross_sections or {})) or "none"
    raise ValueError(f"Unknown cross-section {value!r}. Known: {known}")
