"""Connection stage: connections the built layout makes that the netlist does not declare."""

from __future__ import annotations

from typing import Any

import pytest
from lumencad.core import netlist as nl
from netlist_fakes import outcome, schematic_netlist

INSTANCES = {"a": {}, "b": {}, "c": {}}
TOO_MANY = (ValueError, "too many values to unpack (expected 2)")
TOO_FEW = (ValueError, "need more than 1 value to unpack")


@pytest.mark.parametrize(
    ("ip1", "ip2", "instances", "connections", "expected"),
    [
        ("a,o1", "b,o1", INSTANCES, {}, True),
        ("a,o1", "b,o1", INSTANCES, {"a,o1": "b,o1"}, False),
        # the declared direction does not matter
        ("b,o1", "a,o1", INSTANCES, {"a,o1": "b,o1"}, False),
        ("a,o1", "b,o2", INSTANCES, {"a,o1": "c,o1"}, True),
        ("a,o1", "b,o2", INSTANCES, {"b,o2": "c,o1"}, True),
        # instances the netlist does not name are never implicit
        ("a,o1", "z,o1", INSTANCES, {}, False),
        ("z,o1", "a,o1", INSTANCES, {}, False),
        ("a", "b,o1", INSTANCES, {}, TOO_FEW),
        ("a,o1", "b,o1,x", INSTANCES, {}, TOO_MANY),
        # both references are split before any instance is looked up
        ("z,o1", "b", {}, {}, TOO_FEW),
    ],
)
def test_is_implicit_connection(ip1, ip2, instances, connections, expected) -> None:
    result = outcome(nl._is_implicit_connection, ip1, ip2, instances, connections)
    assert result == expected and type(result) is type(expected)


class ExtractingLibrary:
    """A `pl` whose read.from_yaml keeps its argument and whose component
    reports a fixed extracted netlist."""

    def __init__(self, extracted: dict[str, Any]) -> None:
        self.extracted = extracted
        self.built_from: list[Any] = []
        self.netlist_kwargs: list[dict[str, Any]] = []
        self.read = self

    def from_yaml(self, netlist: dict[str, Any]) -> ExtractingLibrary:
        self.built_from.append(netlist)
        netlist["instances"].clear()  # building must not reach the caller's netlist
        return self

    def get_netlist(self, **kwargs: Any) -> dict[str, Any]:
        self.netlist_kwargs.append(kwargs)
        return self.extracted


def test_stage_records_undeclared_connections(monkeypatch: pytest.MonkeyPatch) -> None:
    connections = {"b,o1": "a,o2", "a,o1": "c,o2", "x,o1": "a,o1"}
    library = ExtractingLibrary({"nets": [["c,o1", "b,o2"]], "connections": connections})
    merged: list[Any] = []

    def nets_to_connections(nets: list[Any], connections: dict[str, str]) -> dict[str, str]:
        merged.append((nets, connections))
        return {**connections, **{net[0]: net[1] for net in nets}}

    monkeypatch.setattr(nl, "pl", library)
    monkeypatch.setattr(nl, "_nets_to_connections", nets_to_connections)
    netlist = schematic_netlist(
        instances={"a": "straight", "b": "straight", "c": "bend"},
        connections={"a,o2": "b,o1"},
    )
    implicit = netlist["info"]["schematic"]["implicit_connections"]
    implicit.update({"keep,o1": "me,o1", "a,o1": "old,o1"})

    assert nl.patch_netlist_with_connection_info(netlist) is netlist
    assert library.netlist_kwargs == [{"allow_multiple": True}]
    assert merged == [([["c,o1", "b,o2"]], connections)]
    assert library.extracted == {"connections": {**connections, "c,o1": "b,o2"}}
    assert implicit == {"keep,o1": "me,o1", "a,o1": "c,o2", "c,o1": "b,o2"}
    assert library.built_from[0] is not netlist
    assert list(netlist["instances"]) == ["a", "b", "c"]


def test_real_layout_reports_touching_instances() -> None:
    # b's input meets a's output without a declared connection; c is connected.
    straight = {"component": "straight", "settings": {"length": 10}}
    netlist = schematic_netlist(
        instances={"a": straight, "b": dict(straight), "c": dict(straight)},
        placements={"a": {"x": 0, "y": 0}, "b": {"x": 10, "y": 0}, "c": {"x": 20, "y": 0}},
        connections={"c,o1": "b,o2"},
    )
    nl.patch_netlist_with_connection_info(netlist)
    implicit = netlist["info"]["schematic"]["implicit_connections"]
    assert [frozenset(pair) for pair in implicit.items()] == [frozenset({"a,o2", "b,o1"})]
