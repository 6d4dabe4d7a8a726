"""JSON Schema of pic files (``*.pic.yml``) for YAML-aware editors.

The schema names the active PDK's cells (and the cells a project registered in
it) as the allowed components, so that an editor's YAML language server can
complete component names and setting names and flag unknown ones.
"""

from __future__ import annotations

import inspect
import json
import math
from collections.abc import Callable, Mapping
from typing import Any

__all__ = [
    "INSTANCE_NAME_PATTERN",
    "INSTANCE_PORT_PATTERN",
    "JSON_SCHEMA_DIALECT",
    "get_netlist_schema",
]

JSON_SCHEMA_DIALECT = "https://json-schema.org/draft/2020-12/schema"
# An instance-port reference: instance name, one comma, port name.
INSTANCE_PORT_PATTERN = "^[^,]+,[^,]+$"
INSTANCE_NAME_PATTERN = "^[^,]+$"

_NUMBER = {"type": "number"}
_REFERENCE = {
    "type": "string",
    "pattern": INSTANCE_PORT_PATTERN,
    "description": "Instance-port reference: '<instance>,<port>'.",
}


def _json_default(value: Any) -> tuple[bool, Any]:
    """(True, JSON form) of a default value, or (False, None) when it has none."""
    if isinstance(value, tuple):
        value = list(value)
    if isinstance(value, float) and not math.isfinite(value):
        return False, None
    try:
        json.dumps(value, allow_nan=False)
    except (TypeError, ValueError):
        return False, None
    return True, value


def _settings_schema(factory: Callable[..., Any]) -> dict[str, Any]:
    """Setting names of a cell with their defaults; closed unless it takes ``**kwargs``."""
    try:
        signature = inspect.signature(factory)
    except (TypeError, ValueError):
        return {"type": ["object", "null"]}
    properties: dict[str, Any] = {}
    open_ended = False
    for parameter in signature.parameters.values():
        if parameter.kind is inspect.Parameter.VAR_KEYWORD:
            open_ended = True
            continue
        if parameter.kind in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.POSITIONAL_ONLY):
            continue
        entry: dict[str, Any] = {}
        if parameter.default is not inspect.Parameter.empty:
            ok, default = _json_default(parameter.default)
            if ok:
                entry["default"] = default
        properties[parameter.name] = entry
    schema: dict[str, Any] = {"type": ["object", "null"], "properties": properties}
    if not open_ended:
        schema["additionalProperties"] = False
    return schema


def _active_cells() -> Mapping[str, Callable[..., Any]]:
    import polyloom

    return polyloom.get_active_pdk().all_cells()


def _instance_schema(cells: Mapping[str, Callable[..., Any]]) -> dict[str, Any]:
    names = list(cells)
    record: dict[str, Any] = {
        "type": "object",
        "properties": {
            "component": {"$ref": "#/$defs/component"},
            "settings": {"type": ["object", "null"]},
            "info": {"type": "object"},
        },
        "required": ["component"],
        "additionalProperties": True,
        "allOf": [
            {
                "if": {"properties": {"component": {"const": name}}},
                "then": {"properties": {"settings": _settings_schema(cells[name])}},
            }
            for name in names
        ],
    }
    return {"anyOf": [{"$ref": "#/$defs/component"}, record]}


def get_netlist_schema(netlist: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """A JSON Schema (draft 2020-12) for pic files of the active PDK.

    ``netlist`` (an annotated netlist) names the PDK in the schema's title.
    Top-level keys other than the known ones are allowed, since netlists carry
    extra keys through; instance, placement and route records list their keys.
    """
    cells = _active_cells()
    pdk_name = ""
    if isinstance(netlist, Mapping) and isinstance(netlist.get("pdk"), str):
        pdk_name = netlist["pdk"]
    title = f"lumencad pic ({pdk_name})" if pdk_name else "lumencad pic"
    placement = {
        "type": ["object", "null"],
        "properties": {
            "x": _NUMBER,
            "y": _NUMBER,
            "dx": _NUMBER,
            "dy": _NUMBER,
            "rotation": {"type": "number", "description": "Degrees, counter-clockwise."},
            "mirror": {
                "type": "boolean",
                "description": "Mirror across the x axis (y to -y) before rotating.",
            },
        },
        "additionalProperties": False,
    }
    route = {
        "type": "object",
        "properties": {
            "links": {"$ref": "#/$defs/links"},
            "settings": {
                "type": ["object", "null"],
                "properties": {"cross_section": {}, "radius": _NUMBER},
                "additionalProperties": False,
            },
        },
        "required": ["links"],
        "additionalProperties": False,
    }
    return {
        "$schema": JSON_SCHEMA_DIALECT,
        "title": title,
        "description": "A photonic circuit: instances of cells, their connections and ports.",
        "type": "object",
        "properties": {
            "name": {"type": "string"},
            "pdk": {"type": "string"},
            "instances": {
                "type": ["object", "null"],
                "propertyNames": {"pattern": INSTANCE_NAME_PATTERN},
                "additionalProperties": {"$ref": "#/$defs/instance"},
            },
            "connections": {"$ref": "#/$defs/links"},
            "routes": {"type": ["object", "null"], "additionalProperties": route},
            "ports": {"type": ["object", "null"], "additionalProperties": _REFERENCE},
            "placements": {"type": ["object", "null"], "additionalProperties": placement},
            "info": {"type": "object"},
        },
        "$defs": {
            "component": {"type": "string", "enum": list(cells)},
            "instance": _instance_schema(cells),
            "links": {
                "type": ["object", "null"],
                "propertyNames": {"pattern": INSTANCE_PORT_PATTERN},
                "additionalProperties": _REFERENCE,
            },
        },
    }
