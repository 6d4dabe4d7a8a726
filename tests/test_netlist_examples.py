"""The whole annotation pipeline on every pic of the example project.

Each annotated netlist is compared, as YAML text, with a reviewed file under
tests/expected/netlists/ named after the pic's cell. After a deliberate
change to the pipeline or the examples, rewrite those files with

    LUMENCAD_REGENERATE_EXPECTED=1 python -m pytest tests/test_netlist_examples.py

and review the diff before committing it: port letters must match the sides
the cells' ports face, implicit connections must be exactly the port pairs
that meet in the layout without a connection or route saying so, every
instance must get its own point, and "hierarchical" must list the pics that
the pic uses.
"""

from __future__ import annotations

import copy
import os
from pathlib import Path
from typing import Any

import pytest
import yaml
from lumencad.core import netlist as nl
from lumencad.core import shared
from natsort import natsorted

PICS = Path(__file__).resolve().parents[1] / "examples" / "pics"
PIC_FILES = sorted(PICS.glob("**/*.pic.yml"))
EXPECTED = Path(__file__).resolve().parent / "expected" / "netlists"
REGENERATE = os.environ.get("LUMENCAD_REGENERATE_EXPECTED") == "1"
CANONICAL_KEYS = ["pdk", "instances", "connections", "routes", "ports", "placements", "info"]


@pytest.fixture
def pic_names(restore_pdk: None, generic_pdk_active: None) -> set[str]:
    shared.register_cells(PICS)
    return {shared.get_yaml_cell_name(path) for path in PIC_FILES}


def component_of(record: Any) -> Any:
    return record if isinstance(record, str) else record.get("component")


@pytest.mark.parametrize("path", PIC_FILES, ids=lambda path: path.name)
def test_example_pic(pic_names: set[str], path: Path) -> None:
    netlist = yaml.safe_load(path.read_text())
    untouched = copy.deepcopy(netlist)
    name = shared.get_yaml_cell_name(path)

    patched = nl.patch_netlist(name, netlist)

    # Text, so that key order and number kinds (200 or 200.0) count too.
    text = yaml.safe_dump(patched, sort_keys=False)
    expected = EXPECTED / f"{name}.yml"
    if REGENERATE:
        expected.write_text(text)
    assert expected.is_file(), f"{expected} is missing; see this module's docstring"
    assert text == expected.read_text()
    assert netlist == untouched
    assert list(patched)[:7] == CANONICAL_KEYS
    instances = patched["instances"]
    schematic = patched["info"]["schematic"]
    components = {component_of(record) for record in instances.values()}
    assert set(schematic["component_ports"]) == components
    assert all(
        set(letters.values()) <= {"n", "e", "s", "w"}
        for letters in schematic["component_ports"].values()
    )
    assert schematic["hierarchical"] == natsorted(components & pic_names)
    assert list(schematic["placements"]) == list(instances)
    assert list(schematic["port_placements"]) == list(patched["ports"])
    point_kind = float if len(instances) == 1 else int
    for point in schematic["placements"].values():
        assert type(point["x"]) is point_kind and type(point["y"]) is point_kind
    for ip1, ip2 in schematic["implicit_connections"].items():
        assert ip1.split(",")[0] in instances and ip2.split(",")[0] in instances

    # Patching the result again changes nothing: stored points stay where they are.
    assert nl.patch_netlist(name, copy.deepcopy(patched)) == patched


def test_examples_exist() -> None:
    assert PIC_FILES, f"no pics under {PICS}"


def test_every_reviewed_netlist_belongs_to_a_pic() -> None:
    names = {shared.get_yaml_cell_name(path) for path in PIC_FILES}
    assert {path.stem for path in EXPECTED.glob("*.yml")} == names
