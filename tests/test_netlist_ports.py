"""Port directions: orientation letters, per-component port maps and the port stage."""

from __future__ import annotations

from fractions import Fraction
from typing import Any

import numpy as np
import pytest
from lumencad.core import netlist as nl
from netlist_fakes import FakeComponent, FakeLibrary, FakePort, outcome, schematic_netlist


class TurnedFloat(float):
    def __mod__(self, other: object) -> float:
        return 180.0


class TurnedInt(int):
    def __mod__(self, other: object) -> int:
        return 180


@pytest.mark.parametrize(
    ("orientation", "letter"),
    [
        (90, "n"),
        (180.0, "w"),
        (270, "s"),
        (0.0, "e"),
        # the boundaries belong to none of the open ranges
        (45, "e"),
        (135.0, "e"),
        (225, "e"),
        (315.0, "e"),
        (44.9, "e"),
        (45.1, "n"),
        (314.9, "s"),
        # reduced like Python's % into [0, 360), for ints and floats
        (-90, "s"),
        (-90.0, "s"),
        (450, "n"),
        (450.0, "n"),
        (-45.1, "s"),
        (-1e-20, "e"),
        (-0.0, "e"),
        (True, "e"),
        (360 * 10**20 + 90, "n"),
        (float("nan"), "e"),
        (np.int64(-180), "w"),
        (Fraction(181), "w"),
        # subclasses reduce with their own %
        (TurnedFloat(0.0), "w"),
        (TurnedInt(0), "w"),
        (None, (TypeError, "unsupported operand type(s) for %: 'NoneType' and 'int'")),
    ],
)
def test_orientation_letter(monkeypatch: pytest.MonkeyPatch, orientation: Any, letter: Any) -> None:
    component = FakeComponent(ports=[FakePort("o1", orientation)])
    monkeypatch.setattr(nl, "pl", FakeLibrary({"c": component}))
    assert outcome(lambda: nl._get_ports("c")["o1"]) == letter


def test_get_ports_keeps_port_order_and_last_duplicate(monkeypatch: pytest.MonkeyPatch) -> None:
    ports = [FakePort("o2", 90), FakePort("o1", 0), FakePort("o3", 270), FakePort("o2", 180)]
    monkeypatch.setattr(nl, "pl", FakeLibrary({"c": FakeComponent(ports=ports)}))
    assert list(nl._get_ports("c").items()) == [("o2", "w"), ("o1", "e"), ("o3", "s")]


def test_real_cells() -> None:
    assert nl._get_ports("straight") == {"o1": "w", "o2": "e"}
    assert nl._try_get_ports("no_such_cell_anywhere") == {}


def test_try_get_ports_lets_interrupts_through(monkeypatch: pytest.MonkeyPatch) -> None:
    def interrupted(comp: Any) -> dict[str, str]:
        raise KeyboardInterrupt

    monkeypatch.setattr(nl, "_get_ports", interrupted)
    with pytest.raises(KeyboardInterrupt):
        nl._try_get_ports("straight")


class NameSubclass(str):
    pass


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("mmi1x2",), "mmi1x2"),
        (({"component": "bend"},), "bend"),
        (({"settings": {}},), ""),
        (({"settings": {}}, "fallback"), "fallback"),
        (({"component": None},), None),
        ((NameSubclass("x"),), (TypeError, "Expected unicode, got NameSubclass")),
        (({"component": {"component": "x"}},), (TypeError, "Expected unicode, got dict")),
        (
            ({}, None),
            (TypeError, "Argument 'default' has incorrect type (expected str, got NoneType)"),
        ),
        ((3,), (AttributeError, "'int' object has no attribute 'get'")),
    ],
)
def test_get_component_name(args: tuple[Any, ...], expected: Any) -> None:
    assert outcome(nl._get_component_name, *args) == expected


def test_port_stage_asks_once_per_component_in_natural_order(monkeypatch) -> None:
    calls: list[str] = []
    monkeypatch.setattr(nl, "_get_ports", lambda comp: calls.append(comp) or {"o1": comp[0]})
    instances = {"a": {"component": "mzi10"}, "b": "mzi2", "c": {"component": "mzi2"}}
    netlist = schematic_netlist(instances={**instances, "d": "bend", "e": "mzi10"})
    assert nl.patch_netlist_with_port_info(netlist) is netlist
    assert sorted(calls) == ["bend", "mzi10", "mzi2"]
    component_ports = netlist["info"]["schematic"]["component_ports"]
    assert list(component_ports.items()) == [
        ("bend", {"o1": "b"}),
        ("mzi2", {"o1": "m"}),
        ("mzi10", {"o1": "m"}),
    ]


def test_port_stage_raises_for_unbuildable_component() -> None:
    netlist = schematic_netlist(instances={"a": {"component": "no_such_cell_anywhere"}})
    with pytest.raises(ValueError, match="no_such_cell_anywhere"):
        nl.patch_netlist_with_port_info(netlist)


@pytest.mark.parametrize(
    ("reference", "port", "expected"),
    [
        ("m,o1", "p", "w"),
        ("m,o2", "p", "n"),
        ("m,o9", "p", "e"),
        ("u,o1", "p", "e"),
        ("m,o1", "missing", (KeyError, "'missing'")),
        ("x,o1", "p", (KeyError, "'x'")),
        ("m", "p", (ValueError, "need more than 1 value to unpack")),
        ("m,o1,o2", "p", (ValueError, "too many values to unpack (expected 2)")),
    ],
)
def test_get_orientation(reference: str, port: str, expected: Any) -> None:
    netlist = schematic_netlist(instances={"m": {"component": "mmi"}, "u": "unknown"})
    netlist["ports"] = {"p": reference}
    netlist["info"]["schematic"]["component_ports"] = {"mmi": {"o1": "w", "o2": "n"}}
    assert outcome(nl._get_orientation, netlist, port) == expected
