"""The frame of the netlist pipeline: key order, schematic reset, the one-instance
wrapper, available connections, the good-netlist keeper and patch_netlist."""

from __future__ import annotations

import contextlib
import copy
import gc
from collections.abc import Iterator
from types import MappingProxyType, SimpleNamespace
from typing import Any

import pytest
from deep_trees import CASE_IDS, CASES, FITS, run_deep
from lumencad.core import netlist as nl
from netlist_fakes import outcome

CANONICAL = ["pdk", "instances", "connections", "routes", "ports", "placements", "info"]
SKELETON = {"pdk": ""} | dict.fromkeys(CANONICAL[1:], {})
SCHEMATIC_KEYS = (
    "implicit_connections component_ports hierarchical placements port_placements "
    "manhattan_fractions"
).split()


def ids_of(tree: Any) -> set[int]:
    """Ids of every mutable container in a tree."""
    if isinstance(tree, dict):
        return {id(tree)}.union(*map(ids_of, tree.values()))
    if isinstance(tree, list):
        return {id(tree)}.union(*map(ids_of, tree))
    return set()


def circuit() -> dict[str, Any]:
    """A netlist of generic cells with stale schematic data, keys out of order."""
    return {
        "extra": {"note": ["kept"]},
        "ports": {"o1": "s1,o1", "o2": "m1,o2"},
        "instances": {
            "s1": {"component": "straight", "settings": {"length": 10.0}},
            "m1": {"component": "mmi1x2", "settings": {}},
        },
        "connections": {"s1,o2": "m1,o1"},
        "routes": {},
        "info": {
            "schematic": {
                "placements": {"s1": {"x": 1, "y": 2}, "gone": {"x": 3, "y": 4}},
                "port_placements": {"o1": {"x": 0, "y": 5}, "o9": {"x": 0, "y": 6}},
                "manhattan_fractions": {"s1,o2-m1,o1": 0.25, "x-y": 0.5},
                "implicit_connections": {"a,o1": "b,o1"},
                "component_ports": {"old": {"o1": "e"}},
                "hierarchical": ["old"],
            },
            "author": "me",
        },
        "pdk": "generic",
        "trailer": 1,
    }


# ---------------------------------------------------------------------------
# ensure_netlist_order


@pytest.mark.parametrize(
    ("netlist", "extra"),
    [
        ({}, []),
        ({"info": {}, "z": 1, "pdk": "p", "a": 2}, ["z", "a"]),
        (dict.fromkeys(reversed(CANONICAL), 0), []),
        (MappingProxyType({"b": 1, "ports": {}}), ["b"]),
    ],
)
def test_order_puts_the_data_model_first(netlist: Any, extra: list[str]) -> None:
    before = copy.deepcopy(dict(netlist))
    ordered = nl.ensure_netlist_order(netlist)
    assert list(ordered) == CANONICAL + extra
    assert list(nl.ensure_netlist_order(ordered)) == CANONICAL + extra
    assert dict(netlist) == before and list(netlist) == list(before)
    assert type(ordered) is dict and ordered is not netlist


def test_order_fills_defaults_and_shares_present_values() -> None:
    instances = {"a": "straight"}
    ordered = nl.ensure_netlist_order({"info": None, "instances": instances})
    assert ordered == SKELETON | {"instances": instances, "info": None}
    assert ordered["instances"] is instances
    assert len({id(ordered[k]) for k in ["connections", "routes", "ports", "placements"]}) == 4
    with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$"):
        nl.ensure_netlist_order(None)


# ---------------------------------------------------------------------------
# reset_netlist_schematic_info


def test_reset_prunes_stored_data_and_empties_computed_data() -> None:
    netlist = nl.ensure_netlist_order(circuit())
    schematic = netlist["info"]["schematic"]
    assert nl.reset_netlist_schematic_info(netlist) is netlist
    assert netlist["info"]["schematic"] is schematic
    assert schematic == {
        "placements": {"s1": {"x": 1, "y": 2}},
        "port_placements": {"o1": {"x": 0, "y": 5}},
        "manhattan_fractions": {"s1,o2-m1,o1": 0.25},
        "implicit_connections": {},
        "component_ports": {},
        "hierarchical": [],
    }
    assert netlist["info"]["author"] == "me"


def test_reset_builds_a_missing_schematic_section() -> None:
    netlist: dict[str, Any] = {"routes": {}, "pdk": "p"}
    nl.reset_netlist_schematic_info(netlist)
    assert list(netlist) == ["routes", "pdk", "instances", "connections", "ports", "info"]
    assert list(netlist["info"]["schematic"]) == SCHEMATIC_KEYS
    assert [bool(v) for v in netlist["info"]["schematic"].values()] == [False] * 6


def test_reset_keeps_fractions_of_every_available_connection() -> None:
    kept = {"a,o1-b,o1": 1, "b,o1-a,o1": 2, "p-a,o2": 3, "c,o1-d,o1": 5, "d,o1-c,o1": 6}
    netlist = {
        "instances": {},
        "connections": {"a,o1": "b,o1"},
        "ports": {"p": "a,o2"},
        "routes": {"r": {"links": {"c,o1": "d,o1"}}},
        "info": {"schematic": {"manhattan_fractions": kept | {"a,o2-p": 4, "q-c,o1": 7}}},
    }
    nl.reset_netlist_schematic_info(netlist)
    assert netlist["info"]["schematic"]["manhattan_fractions"] == kept


@pytest.mark.parametrize(
    ("netlist", "error"),
    [
        ({"instances": {}}, (KeyError, "'routes'")),
        (
            {"routes": {}, "info": {"schematic": {"placements": None}}},
            (AttributeError, "'NoneType' object has no attribute 'items'"),
        ),
        (
            {"routes": {}, "instances": None, "info": {"schematic": {"placements": {"a": {}}}}},
            (TypeError, "argument of type 'NoneType' is not iterable"),
        ),
    ],
)
def test_reset_errors(netlist: dict[str, Any], error: tuple[type, str]) -> None:
    assert outcome(nl.reset_netlist_schematic_info, netlist) == error


# ---------------------------------------------------------------------------
# _get_available_connections


class ItemsOnly:
    """A mapping-like object known only through items() and values()."""

    def __init__(self, *items: Any) -> None:
        self._items = items

    def items(self) -> Iterator[Any]:
        return iter(self._items)

    values = items


@pytest.mark.parametrize(
    ("netlist", "expected"),
    [
        (
            {"connections": {"a,o1": "b,o1"}, "ports": {"o1": "a,o2"}, "routes": {}},
            {"a,o1-b,o1", "b,o1-a,o1", "o1-a,o2"},
        ),
        (
            {"connections": {}, "ports": {1: 2.5}, "routes": {"r": {"links": {None: True}}}},
            {"1-2.5", "None-True", "True-None"},
        ),
        (
            {
                "connections": ItemsOnly(("a,o1", "b,o1")),
                "ports": MappingProxyType({"p": "a,o2"}),
                "routes": ItemsOnly({"links": ItemsOnly(["c,o1", "d,o1"])}),
            },
            {"a,o1-b,o1", "b,o1-a,o1", "p-a,o2", "c,o1-d,o1", "d,o1-c,o1"},
        ),
    ],
)
def test_available_connections(netlist: dict[str, Any], expected: set[str]) -> None:
    assert nl._get_available_connections(netlist) == expected


def available_error(**keys: Any) -> dict[str, Any]:
    return {"connections": {}, "ports": {}, "routes": {}} | keys


@pytest.mark.parametrize(
    ("netlist", "error"),
    [
        ({"ports": {}, "routes": {}}, (KeyError, "'connections'")),
        ({"connections": {}, "ports": {}}, (KeyError, "'routes'")),
        (available_error(routes={"r": {}}), (KeyError, "'links'")),
        (
            available_error(ports=None),
            (AttributeError, "'NoneType' object has no attribute 'items'"),
        ),
        (
            available_error(routes=None),
            (AttributeError, "'NoneType' object has no attribute 'values'"),
        ),
        (("a", "b", "c"), (ValueError, "too many values to unpack (expected 2)")),
        (("a",), (ValueError, "need more than 1 value to unpack")),
        ((), (ValueError, "need more than 0 values to unpack")),
    ],
)
def test_available_connections_errors(netlist: Any, error: tuple[type, str]) -> None:
    if isinstance(netlist, tuple):  # one connection entry of that many items
        netlist = available_error(connections=ItemsOnly(netlist))
    assert outcome(nl._get_available_connections, netlist) == error


# ---------------------------------------------------------------------------
# _update_good_netlist


@pytest.mark.parametrize("empty", [{}, None, MappingProxyType({})])
@pytest.mark.parametrize("good", [{}, {"z": [1], "instances": {"a": {"component": "straight"}}}])
def test_keeper_copies_the_good_netlist_for_an_empty_result(good, empty) -> None:
    snapshot = copy.deepcopy(good)
    result = nl._update_good_netlist(good, empty)
    expected = SKELETON | good
    assert result == expected and list(result) == list(expected)
    assert not ids_of(result) & ids_of(good)
    assert good == snapshot and list(good) == list(snapshot)


def test_keeper_takes_over_a_non_empty_result() -> None:
    good: dict[str, Any] = {"stale": 1, "pdk": "old"}
    stage = {"info": {"schematic": {}}, "instances": {"a": "straight"}}
    result = nl._update_good_netlist(good, stage)
    assert result == SKELETON | stage and list(result) == CANONICAL
    assert list(good) == CANONICAL and good["info"] is result["info"]
    assert not ids_of(result) & ids_of(stage)
    result["instances"] = {}
    assert good["instances"] == {"a": "straight"}


# ---------------------------------------------------------------------------
# wrap_component_in_netlist


class FakeComponent:
    def __init__(self, *port_names: str) -> None:
        # str(port) is the port's name, as with the layout library's ports
        self.ports = [type("Port", (), {"__str__": lambda s, n=n: n})() for n in port_names]
        self.insts: list[Any] = []
        self.name: str | None = None

    def __lshift__(self, other: FakeComponent) -> Any:
        self.insts.append(SimpleNamespace(ports=other.ports))
        return self.insts[-1]


def fake_layout(monkeypatch: pytest.MonkeyPatch, get_component: Any) -> list[FakeComponent]:
    created: list[FakeComponent] = []
    component = lambda: created.append(FakeComponent()) or created[-1]  # noqa: E731
    monkeypatch.setattr(nl, "pl", SimpleNamespace(Component=component, get_component=get_component))
    return created


def test_wrap_a_generic_cell() -> None:
    result = nl.wrap_component_in_netlist("mmi1x2")
    assert list(result) == ["instances", "connections", "ports"]
    assert result == {
        "instances": {"mmi1x2": {"component": "mmi1x2", "settings": {}}},
        "connections": {},
        "ports": {"o1": "mmi1x2,o1", "o2": "mmi1x2,o2", "o3": "mmi1x2,o3"},
    }


def test_wrap_orders_ports_naturally(monkeypatch: pytest.MonkeyPatch) -> None:
    created = fake_layout(monkeypatch, lambda name: FakeComponent("o10", "o2", "in", "o1"))
    result = nl.wrap_component_in_netlist("ring")
    assert list(result["ports"].items()) == [(p, f"ring,{p}") for p in ["in", "o1", "o2", "o10"]]
    assert [c.name for c in created] == ["ring"]
    monkeypatch.setattr(nl, "natsorted", lambda keys: sorted(keys, reverse=True))
    assert list(nl.wrap_component_in_netlist("ring")["ports"]) == ["o2", "o10", "o1", "in"]


@pytest.mark.parametrize("error", [ValueError("no such cell"), KeyError("x"), KeyboardInterrupt()])
def test_wrap_swallows_only_ordinary_lookup_errors(
    monkeypatch: pytest.MonkeyPatch, error: BaseException
) -> None:
    def get_component(name: str) -> Any:
        raise error

    created = fake_layout(monkeypatch, get_component)
    expected = IndexError if isinstance(error, Exception) else type(error)
    with pytest.raises(expected):
        nl.wrap_component_in_netlist("nothing")
    assert [c.name for c in created] == (["nothing"] if expected is IndexError else [None])


# ---------------------------------------------------------------------------
# patch_netlist


def test_patch_empty_netlist_gives_the_skeleton() -> None:
    result = nl.patch_netlist("no_such_cell_anywhere", {})
    assert list(result) == CANONICAL and result | {"info": {}} == SKELETON
    assert list(result["info"]) == ["schematic"]
    assert list(result["info"]["schematic"]) == SCHEMATIC_KEYS


def test_patch_leaves_the_callers_netlist_alone_and_keeps_what_exists() -> None:
    netlist = circuit()
    snapshot = copy.deepcopy(netlist)
    result = nl.patch_netlist("top", netlist)
    assert netlist == snapshot and list(netlist) == list(snapshot)
    assert not ids_of(result) & ids_of(netlist)
    assert list(result) == [*CANONICAL, "extra", "trailer"]
    assert (result["extra"], result["trailer"], result["pdk"]) == ({"note": ["kept"]}, 1, "generic")
    assert result["info"]["schematic"]["placements"]["s1"] == {"x": 1, "y": 2}


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((b"top", {}), "Argument 'name' has incorrect type (expected str, got bytes)"),
        (("top", None), "Argument 'netlist' has incorrect type (expected dict, got NoneType)"),
    ],
)
def test_patch_refuses_bad_arguments_before_any_work(monkeypatch, args, message) -> None:
    calls: list[Any] = []
    monkeypatch.setattr(nl, "deepcopy", lambda x: calls.append(x))
    monkeypatch.setattr(nl, "partial", lambda *a: calls.append(a))
    with pytest.raises(TypeError) as error:
        nl.patch_netlist(*args)
    assert str(error.value) == message and calls == []


def test_patch_builds_the_keeper_from_module_globals(monkeypatch: pytest.MonkeyPatch) -> None:
    made: list[Any] = []
    copies: list[Any] = []

    def partial(fn: Any, good: Any) -> Any:
        made.append((fn, good))
        return lambda x: fn(good, x)

    monkeypatch.setattr(nl, "partial", partial)
    monkeypatch.setattr(nl, "deepcopy", lambda x: copies.append(x) or copy.deepcopy(x))
    netlist = {"pdk": "p", "x": 1}
    result = nl.patch_netlist("top", netlist)
    assert made == [(nl._update_good_netlist, result)]
    assert copies[0] is netlist and len(copies) > 4


STAGES = (
    "reset_netlist_schematic_info patch_netlist_with_port_info patch_netlist_with_icon_info "
    "patch_netlist_with_connection_info patch_netlist_with_hierarchy_info "
    "patch_netlist_with_placement_info"
).split()


def test_patch_runs_the_stages_in_order_through_the_keeper(monkeypatch: pytest.MonkeyPatch) -> None:
    handed: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []
    returned: list[dict[str, Any]] = []

    def stage(label: str) -> Any:
        def run(*args: Any) -> dict[str, Any]:
            handed.append((label, args[:-1], args[-1]))
            returned.append({**args[-1], label: [len(returned)]})
            return returned[-1]

        return run

    for label in STAGES:
        monkeypatch.setattr(nl, label, stage(label))
    result = nl.patch_netlist("top", {"z": 1})
    assert [(label, args) for label, args, _ in handed] == [(s, ()) for s in STAGES[:-1]] + [
        (STAGES[-1], ("top",))
    ]
    assert list(handed[0][2]) == [*CANONICAL, "z"]
    # each stage works on an ordered deep copy of what the stage before returned
    for (_, _, given), previous, label in zip(handed[1:], returned, STAGES, strict=False):
        assert given == previous and given[label] is not previous[label]
    assert result == returned[-1] and list(result) == [*CANONICAL, "z", *STAGES]
    assert result[STAGES[-1]] is not returned[-1][STAGES[-1]]


def test_patch_passes_stage_errors_through(monkeypatch: pytest.MonkeyPatch) -> None:
    error = LookupError("stage failed")

    def failing(netlist: Any) -> Any:
        raise error

    monkeypatch.setattr(nl, "reset_netlist_schematic_info", failing)
    with pytest.raises(LookupError) as raised:
        nl.patch_netlist("top", {})
    assert raised.value is error


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("fails", [False, True])
def test_patch_holds_the_collector_off_and_restores_it(monkeypatch, enabled, fails) -> None:
    seen: list[bool] = []

    def stage(netlist: Any) -> Any:
        seen.append(gc.isenabled())
        if fails and len(seen) == len(STAGES):
            raise LookupError("last stage failed")
        return netlist

    for label in STAGES[:-1]:
        monkeypatch.setattr(nl, label, stage)
    monkeypatch.setattr(nl, STAGES[-1], lambda name, netlist: stage(netlist))
    try:
        gc.enable() if enabled else gc.disable()
        with pytest.raises(LookupError) if fails else contextlib.nullcontext():
            nl.patch_netlist("top", {})
        after = gc.isenabled()
    finally:
        gc.enable()
    assert (seen, after) == ([False] * len(STAGES), enabled)


def test_patch_hands_on_the_good_netlist_after_an_empty_stage_result(monkeypatch) -> None:
    handed: list[Any] = []
    reset = nl.reset_netlist_schematic_info

    def next_stage(netlist: Any) -> Any:
        handed.append(copy.deepcopy(netlist))
        return reset(netlist)  # what the emptied stage would have done

    monkeypatch.setattr(nl, "reset_netlist_schematic_info", lambda netlist: {})
    monkeypatch.setattr(nl, "patch_netlist_with_port_info", next_stage)
    nl.patch_netlist("top", {"z": 1, "pdk": "p"})
    assert handed == [SKELETON | {"pdk": "p", "z": 1}]


# Deep copies of trees nested deeper than the C stack holds, with the recursion
# limit raised far above that: RecursionError, not a crash. Run in a fresh
# interpreter each, so that a crash cannot take the test run with it.
DEEP_COPY = """
import sys
from lumencad.core import netlist as nl
sys.setrecursionlimit(10**6)
tree = original = "leaf"
for _ in range({depth}):
    tree = {{0: tree}} if "{kind}" == "dict" else [tree]
netlist = {{"info": {{"deep": tree}}}}

def run():
    try:
        copied = nl.{call}["info"]["deep"]
    except RecursionError as e:
        print(f"{{type(e).__name__}}: {{e}}")
        return
    given, levels = tree, 0  # a new container at every level, down to the same leaf
    while copied is not original:
        assert copied is not given and type(copied) is type(given), levels
        copied, given, levels = copied[0], given[0], levels + 1
    print(f"copied {{levels}} levels")
"""
TOO_DEEP = "RecursionError: maximum recursion depth exceeded while deep-copying an object"


@pytest.mark.parametrize(
    "call", ["patch_netlist('top', netlist)", "_update_good_netlist({}, netlist)"]
)
@pytest.mark.parametrize("kind", ["dict", "list"])
@pytest.mark.parametrize(("depth", "stack"), CASES, ids=CASE_IDS)
def test_deep_copy_of_deep_trees(call: str, kind: str, depth: int, stack: int) -> None:
    expected = TOO_DEEP if depth > FITS else f"copied {depth} levels"
    assert run_deep(DEEP_COPY.format(call=call, kind=kind, depth=depth), stack) == expected + "\n"
