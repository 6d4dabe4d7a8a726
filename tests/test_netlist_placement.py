"""Placement stage: instance points from the layout, port points on the canvas sides."""

from __future__ import annotations

from typing import Any

import pytest
from lumencad.core import netlist as nl
from netlist_fakes import (
    FakeComponent,
    FakeInstance,
    FakeLibrary,
    FakePort,
    outcome,
    schematic_netlist,
)

Inst = FakeInstance


def use_layout(monkeypatch: pytest.MonkeyPatch, *insts: FakeInstance) -> FakeLibrary:
    library = FakeLibrary({"top": FakeComponent(insts=list(insts))})
    monkeypatch.setattr(nl, "pl", library)
    return library


def placed(netlist: dict[str, Any], **canvas: float) -> dict[str, Any]:
    assert nl.patch_netlist_with_placement_info("top", netlist, **canvas) is netlist
    return netlist["info"]["schematic"]


def assert_points(points: dict[str, Any], expected: dict[str, tuple[Any, Any]]) -> None:
    """Points equal to the expected (x, y) pairs, with the same numeric kinds."""
    assert {k: (p["x"], p["y"]) for k, p in points.items()} == expected
    kinds = [(type(p["x"]), type(p["y"])) for p in points.values()]
    assert kinds == [(type(x), type(y)) for x, y in expected.values()]
    assert all(list(p) == ["x", "y"] for p in points.values())


@pytest.mark.parametrize(
    ("layout", "names", "canvas", "expected"),
    [
        # origins (0, 0) and (100, 50) span the whole default canvas
        ([Inst("a", 0, 0), Inst("b", 100, 50)], "ab", {}, {"a": (100, 500), "b": (500, 100)}),
        # "b" is not in the layout: it enters at (10, -10)
        ([Inst("a", 0.0, -20.0)], "ab", {}, {"a": (100, 500), "b": (500, 100)}),
        # port centres widen the extent (x -20..20, y -40..0) but get no point
        (
            [
                Inst("a", 0, 0, [FakePort("o1", 0, (-20.0, 0.0)), FakePort("o2", 0, (20, 40))]),
                Inst("b", 20, 0),
            ],
            "ab",
            {},
            {"a": (300, 500), "b": (500, 500)},
        ),
        # spans below 10 layout units are not stretched further
        ([Inst("a", 0, 0), Inst("b", 2.5, -5)], "ab", {}, {"a": (100, 100), "b": (200, 300)}),
        # 1/16 * 40 = 2.5 and 3/16 * 40 = 7.5 round to the even neighbours
        (
            [Inst("a", 0, 0), Inst("b", 1.0, 0), Inst("c", 3.0, 0), Inst("d", 16.0, 0)],
            "abcd",
            {"width": 40.0},
            {"a": (100, 100), "b": (102, 100), "c": (108, 100), "d": (140, 100)},
        ),
        # the name is cut at "_transformed"; the later of two instances wins
        (
            [Inst("a_transformed_1", 50, 0), Inst("a_transformed_2", 0, 0), Inst("b", 100, 100)],
            "ab",
            {},
            {"a": (100, 500), "b": (500, 100)},
        ),
        # a single instance goes to half the canvas, as floats, wherever it is
        ([Inst("a", 1234, -99)], "a", {}, {"a": (200.0, 200.0)}),
        ([Inst("a")], "a", {"width": 5, "height": -3.0}, {"a": (2.0, -2.0)}),
    ],
)
def test_instance_points(monkeypatch, layout, names, canvas, expected) -> None:
    use_layout(monkeypatch, *layout)
    netlist = schematic_netlist(instances=dict.fromkeys(names, "x"))
    assert_points(placed(netlist, **canvas)["placements"], expected)


def side_netlist(directions: dict[str, str]) -> dict[str, Any]:
    """Instances i and j of component "c", whose port pN faces directions[pN]."""
    netlist = schematic_netlist(
        instances={"i": {"component": "c"}, "j": {"component": "c"}},
        ports={name: f"i,{name}" for name in directions},
    )
    netlist["info"]["schematic"]["component_ports"] = {"c": directions}
    return netlist


@pytest.mark.parametrize(
    ("directions", "canvas", "expected"),
    [
        ({"p1": "w"}, {}, {"p1": (50, 200)}),
        ({"p1": "e", "p2": "e"}, {}, {"p1": (550.0, 100), "p2": (550.0, 300)}),
        ({"p1": "n", "p2": "n", "p3": "n"}, {}, {"p1": (67, 50), "p2": (200, 50), "p3": (333, 50)}),
        ({"p1": "s"}, {}, {"p1": (200, 550.0)}),
        # each side is spread on its own, in the order of `ports`
        (
            {"p1": "s", "p2": "w", "p3": "n", "p4": "w"},
            {},
            {"p1": (200, 550.0), "p2": (50, 100), "p3": (200, 50), "p4": (50, 300)},
        ),
        # a letter that is none of n, e, s lands on the west side
        ({"p1": "x"}, {}, {"p1": (50, 200)}),
        # a spread coordinate halfway between integers rounds to the even one
        ({"p1": "n"}, {"width": 5.0}, {"p1": (2, 50)}),
        ({"p1": "e"}, {"width": 10, "height": 30}, {"p1": (160.0, 15)}),
    ],
)
def test_port_points(monkeypatch, directions, canvas, expected) -> None:
    use_layout(monkeypatch, Inst("i"), Inst("j", 10, 10))
    assert_points(placed(side_netlist(directions), **canvas)["port_placements"], expected)


def test_orientation_is_asked_once_per_port_and_side(monkeypatch: pytest.MonkeyPatch) -> None:
    use_layout(monkeypatch, Inst("i"), Inst("j", 10, 10))
    asked: list[str] = []
    real = nl._get_orientation
    monkeypatch.setattr(nl, "_get_orientation", lambda n, p: asked.append(p) or real(n, p))
    placed(side_netlist({"p1": "n", "p2": "s"}))
    assert asked == ["p1", "p2"] * 4


def test_stored_points_are_never_moved(monkeypatch: pytest.MonkeyPatch) -> None:
    use_layout(monkeypatch, Inst("i"), Inst("j", 10, 10))
    netlist = side_netlist({"p1": "n", "p2": "n"})
    stored_instance = {"x": 1.5, "y": -7}
    stored_port = {"x": "left", "y": None}
    netlist["info"]["schematic"]["placements"]["i"] = stored_instance
    netlist["info"]["schematic"]["port_placements"]["p1"] = stored_port
    schematic = placed(netlist)
    assert schematic["placements"]["i"] is stored_instance == {"x": 1.5, "y": -7}
    assert schematic["port_placements"]["p1"] is stored_port == {"x": "left", "y": None}
    # the stored port still takes its slot on the north side; i still widens the extent
    assert schematic["port_placements"]["p2"] == {"x": 300, "y": 50}
    assert schematic["placements"]["j"] == {"x": 500, "y": 100}


def test_port_named_like_an_instance_replaces_its_point(monkeypatch: pytest.MonkeyPatch) -> None:
    use_layout(monkeypatch, Inst("i"), Inst("j", 10, 10))
    netlist = side_netlist({"o1": "s"})
    netlist["ports"] = {"j": "i,o1"}
    schematic = placed(netlist)
    assert (
        schematic["placements"]["j"] == schematic["port_placements"]["j"] == {"x": 200, "y": 550.0}
    )


def test_empty_instances_still_place_ports(monkeypatch: pytest.MonkeyPatch) -> None:
    use_layout(monkeypatch, Inst("elsewhere", 5, 5))
    monkeypatch.setattr(nl, "_get_orientation", lambda n, port: {"in": "w", "out": "e"}[port])
    netlist = schematic_netlist(instances={}, ports={"in": "i,o1", "out": "i,o2"})
    del netlist["info"]["schematic"]["placements"]  # not needed without instances
    schematic = placed(netlist)
    assert "placements" not in schematic
    assert schematic["port_placements"] == {
        "in": {"x": 50, "y": 200},
        "out": {"x": 550.0, "y": 200},
    }


def test_without_instances_key_nothing_changes(monkeypatch: pytest.MonkeyPatch) -> None:
    library = use_layout(monkeypatch)
    netlist = {"ports": {"p": "a,o1"}}
    assert nl.patch_netlist_with_placement_info("top", netlist) == {"ports": {"p": "a,o1"}}
    assert library.requested == []


def test_unbuildable_component_only_fills_defaults(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(nl, "pl", FakeLibrary({}))
    netlist: dict[str, Any] = {"instances": {"a": "x"}}
    assert nl.patch_netlist_with_placement_info("top", netlist) is netlist
    assert netlist == {"instances": {"a": "x"}, "ports": {}, "info": {"schematic": {}}}


def broken_port(center: Any) -> list[FakeInstance]:
    return [Inst("a", ports=[FakePort("o1", 0, center)])]


@pytest.mark.parametrize(
    ("layout", "instances", "ports", "error"),
    [
        (broken_port((1, 2, 3)), "ab", {}, (ValueError, "too many values to unpack (expected 2)")),
        (broken_port((1.0,)), "ab", {}, (ValueError, "need more than 1 value to unpack")),
        ([], {"a": "x", 7: "x"}, {}, (TypeError, "Expected unicode, got int")),
        ([Inst("a", float("nan"))], "ab", {}, (ValueError, "cannot convert float NaN to integer")),
        ([Inst("a")], "a", {"p": "gone,o1"}, (KeyError, "'gone'")),
    ],
)
def test_layout_and_reference_errors(monkeypatch, layout, instances, ports, error) -> None:
    use_layout(monkeypatch, *layout)
    netlist = schematic_netlist(instances=dict.fromkeys(instances, "x"), ports=ports)
    assert outcome(placed, netlist) == error
