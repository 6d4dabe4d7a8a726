"""Blanks around the pieces of an instance-port reference do not matter."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest
import yaml
from lumencad.core import netlist as nl
from lumencad.core import shared

PICS = Path(__file__).resolve().parents[1] / "examples" / "pics"


def spaced(reference: str) -> str:
    instance, port = reference.split(",")
    return f" {instance} ,  {port}"


def with_spaced_references(netlist: dict[str, Any]) -> dict[str, Any]:
    netlist = dict(netlist)
    netlist["connections"] = {
        spaced(a): spaced(b) for a, b in (netlist.get("connections") or {}).items()
    }
    netlist["ports"] = {name: spaced(ref) for name, ref in (netlist.get("ports") or {}).items()}
    netlist["routes"] = {
        name: {**route, "links": {spaced(a): spaced(b) for a, b in route["links"].items()}}
        for name, route in (netlist.get("routes") or {}).items()
    }
    return netlist


@pytest.mark.parametrize("path", sorted(PICS.glob("**/*.pic.yml")), ids=lambda p: p.name)
def test_spaced_references_annotate_like_plain_ones(
    restore_pdk: None, generic_pdk_active: None, path: Path
) -> None:
    shared.register_cells(PICS)
    netlist = yaml.safe_load(path.read_text())
    netlist.setdefault("routes", {})
    name = shared.get_yaml_cell_name(path)
    plain = nl.patch_netlist(name, netlist)["info"]["schematic"]
    spaced_result = nl.patch_netlist(name, with_spaced_references(netlist))["info"]["schematic"]
    # Stored points are keyed by port name and instance, not by reference.
    assert spaced_result == plain


def test_declared_spaced_connection_is_not_implicit(generic_pdk_active: None) -> None:
    netlist = yaml.safe_load((PICS / "touching.pic.yml").read_text())
    assert nl.patch_netlist("touching", netlist)["info"]["schematic"]["implicit_connections"] == {
        "left,o2": "right,o1"
    }
    netlist["connections"] = {"left, o2": " right,o1"}
    patched = nl.patch_netlist("touching", netlist)
    assert patched["info"]["schematic"]["implicit_connections"] == {}
    assert patched["connections"] == {"left, o2": " right,o1"}
