"""The JSON Schema of pic files, checked with jsonschema against real and broken pics."""

from __future__ import annotations

import copy
import json
from pathlib import Path

import pytest
import yaml
from jsonschema import Draft202012Validator
from lumencad.core import shared
from lumencad.core.schema import get_netlist_schema

PICS = Path(__file__).resolve().parents[1] / "examples" / "pics"
PIC_FILES = sorted(PICS.glob("**/*.pic.yml"))

MZI = yaml.safe_load((PICS / "mzi_delay.pic.yml").read_text())


@pytest.fixture
def validator(restore_pdk) -> Draft202012Validator:
    shared.register_cells(PICS)
    schema = get_netlist_schema({"pdk": "generic"})
    Draft202012Validator.check_schema(schema)
    assert json.loads(json.dumps(schema)) == schema
    return Draft202012Validator(schema)


def errors(validator: Draft202012Validator, netlist) -> list[tuple[list, str]]:
    return [(list(e.absolute_path), e.validator) for e in validator.iter_errors(netlist)]


@pytest.mark.parametrize("path", PIC_FILES, ids=lambda p: p.name)
def test_example_pics_are_valid(validator, path: Path) -> None:
    assert errors(validator, yaml.safe_load(path.read_text())) == []


def test_annotated_netlist_form_is_valid(validator) -> None:
    netlist = {
        "pdk": "generic",
        "instances": {"a": "mmi1x2", "b": {"component": "straight", "settings": None}},
        "connections": {"a,o2": "b,o1"},
        "routes": {},
        "ports": {"in": "a,o1"},
        "placements": {"a": {"x": 1.5, "y": -2, "rotation": 90, "mirror": False}},
        "info": {"schematic": {"placements": {"a": {"x": 0, "y": 0}}, "hierarchical": []}},
        "extra_key": [1, 2],
    }
    assert errors(validator, netlist) == []


def broken(path: list, value) -> dict:
    netlist = copy.deepcopy(MZI)
    target = netlist
    for key in path[:-1]:
        target = target.setdefault(key, {})
    target[path[-1]] = value
    return netlist


@pytest.mark.parametrize(
    ("path", "value", "error_path", "keyword"),
    [
        (["instances", "b1", "component"], "no_such_cell", ["instances", "b1"], "anyOf"),
        (["instances", "b1", "settings", "colour"], "red", ["instances", "b1"], "anyOf"),
        (["instances", "a,b"], "straight", ["instances"], "pattern"),
        (["connections", "b1,o2"], "v1", ["connections", "b1,o2"], "pattern"),
        (["connections", "b1"], "v1,o1", ["connections"], "pattern"),
        (["ports", "o1"], "splitter,o1,x", ["ports", "o1"], "pattern"),
        (["placements", "b1", "x"], "left", ["placements", "b1", "x"], "type"),
        (["placements", "b1", "angle"], 90, ["placements", "b1"], "additionalProperties"),
        (["routes", "r", "settings"], {"radius": 5}, ["routes", "r"], "required"),
        # A pic used as an instance takes no settings.
        (
            ["instances", "m"],
            {"component": "mzi_delay", "settings": {"length": 3}},
            ["instances", "m"],
            "anyOf",
        ),
    ],
)
def test_broken_pics_are_invalid(validator, path, value, error_path, keyword) -> None:
    assert errors(validator, broken(path, value)) == [(error_path, keyword)]


def test_settings_carry_cell_defaults(validator) -> None:
    rules = validator.schema["$defs"]["instance"]["anyOf"][1]["allOf"]
    settings = {r["if"]["properties"]["component"]["const"]: r["then"] for r in rules}
    array = settings["waveguide_array"]["properties"]["settings"]
    assert array["additionalProperties"] is False
    defaults = [v.get("default") for v in array["properties"].values()]
    assert json.dumps(defaults) == '[3, 5.0, 20.0, "array", true, [66, 0], null]'
    assert validator.schema["title"] == "lumencad pic (generic)"
