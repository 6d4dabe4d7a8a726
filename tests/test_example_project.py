"""The example project: its settings, and what its pics and Python cells show once built.

That every cell builds to a readable GDS file is checked through build-pics in
test_build_pics.py.
"""

from __future__ import annotations

import inspect
import tomllib
from pathlib import Path

import polyloom
import pytest
import yaml
from lumencad.core import shared

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
PICS = EXAMPLES / "pics"


@pytest.fixture
def built(restore_pdk) -> dict[str, polyloom.Component]:
    """Every cell of the project, built in the generic PDK."""
    return {name: polyloom.get_component(name) for name in shared.register_cells(PICS)}


def pairs(connections: dict[str, str]) -> set[frozenset[str]]:
    return {frozenset(pair) for pair in connections.items()}


def test_project_settings() -> None:
    table = tomllib.loads((EXAMPLES / "pyproject.toml").read_text())["tool"]["lumencad"]
    assert table == {"pdk": "generic", "pics": "pics"}


@pytest.mark.parametrize("name", ["mzi_delay", "hierarchical", "ring_filter"])
def test_declared_connections_really_meet(built, name) -> None:
    declared = yaml.safe_load(next(PICS.glob(f"**/{name}.pic.yml")).read_text())["connections"]
    assert pairs(built[name].get_netlist()["connections"]) == pairs(declared)


def test_touching_ports_meet_without_a_connection(built) -> None:
    assert "connections" not in yaml.safe_load((PICS / "touching.pic.yml").read_text())
    found = built["touching"].get_netlist()["connections"]
    assert pairs(found) == {frozenset({"left,o2", "right,o1"})}


def test_routes_reach_every_linked_port(built) -> None:
    found = built["routed"].get_netlist()["connections"]
    connected = {ref for pair in found.items() for ref in pair}
    assert {"gc_in,o1", "ring,o1", "ring,o2", "gc_out,o1"} <= connected


def test_mzi_delay_arms_and_hierarchy(built) -> None:
    arms = {inst.name: inst.component for inst in built["mzi_delay"].insts}
    upper = sum(arms[n].info["length"] for n in ("v1", "h1", "v2"))
    lower = sum(arms[n].info["length"] for n in ("v3", "h2", "v4"))
    assert lower - upper == pytest.approx(10.0)
    assert {inst.component.name for inst in built["hierarchical"].insts} == {"mzi_delay"}


def test_python_cell_defaults_of_several_kinds(restore_pdk) -> None:
    cell = shared.get_cells(shared.import_python_modules(PICS))["waveguide_array"]
    defaults = [p.default for p in inspect.signature(cell).parameters.values()]
    assert {type(d) for d in defaults} == {int, float, str, bool, tuple, type(None)}
