"""Hierarchy stage and the cross-section walk."""

from __future__ import annotations

from typing import Any

import pytest
from deep_trees import CASE_IDS, CASES, FITS, run_deep
from lumencad.core import netlist as nl
from netlist_fakes import outcome, schematic_netlist


@pytest.fixture
def asked(monkeypatch: pytest.MonkeyPatch) -> list[str]:
    """Makes mzi2, mzi10 and a the hierarchical pics; records the questions."""
    questions: list[str] = []

    def is_hierarchical_pic(name: str) -> bool:
        questions.append(name)
        if name == "bad":
            raise RuntimeError("cannot classify 'bad'")
        return name in ("mzi2", "mzi10", "a")

    monkeypatch.setattr(nl, "is_hierarchical_pic", is_hierarchical_pic)
    return questions


def test_distinct_hierarchical_names_in_natural_order(asked: list[str]) -> None:
    mzi = {"component": "mzi10"}
    instances = {"m1": mzi, "m2": dict(mzi), "m3": dict(mzi), "s": {"component": "straight"}}
    netlist = schematic_netlist(instances={**instances, "t": "mzi2", "u": "a", "v": {}})
    netlist["info"]["schematic"]["hierarchical"] = ["stale"]
    assert nl.patch_netlist_with_hierarchy_info(netlist) is netlist
    assert netlist["info"]["schematic"]["hierarchical"] == ["a", "mzi2", "mzi10"]
    assert asked == ["mzi10", "mzi10", "mzi10", "straight", "mzi2", "a", ""]


@pytest.mark.parametrize(
    ("instances", "error", "hierarchical"),
    [
        ({}, None, []),
        (None, (AttributeError, "'NoneType' object has no attribute 'values'"), ["before"]),
        # the list is stored only at the end
        ({"x": "mzi2", "y": "bad"}, (RuntimeError, "cannot classify 'bad'"), ["before"]),
    ],
)
def test_empty_and_failing_stage(asked, instances, error, hierarchical) -> None:
    netlist = schematic_netlist(instances=instances)
    netlist["info"]["schematic"]["hierarchical"] = ["before"]
    assert outcome(nl.patch_netlist_with_hierarchy_info, netlist) == (error or netlist)
    assert netlist["info"]["schematic"]["hierarchical"] == hierarchical


@pytest.fixture
def checked(monkeypatch: pytest.MonkeyPatch) -> list[Any]:
    """Replaces check_cross_section by one that upper-cases names and records its input."""
    seen: list[Any] = []

    def check_cross_section(value: Any) -> Any:
        seen.append(value)
        if value == "bad":
            raise ValueError("unknown cross-section 'bad'")
        return value.upper() if isinstance(value, str) else ("checked", value)

    monkeypatch.setattr(nl, "check_cross_section", check_cross_section)
    return seen


@pytest.mark.parametrize("value", ["cross_section", ["x", {"cross_section": "xs"}], None, ()])
def test_non_mappings_come_back_untouched(checked: list[Any], value: Any) -> None:
    assert nl._replace_cross_sections_recursive(value) is value
    assert checked == []


def test_cross_sections_replaced_at_every_mapping_depth(checked: list[Any]) -> None:
    inner = {"cross_section": "inner"}
    tree = {
        "cross_section": "strip",
        "settings": {"width": 1, "cross_section": "rib", "deeper": {"cross_section": "nitride"}},
        "listed": [{"cross_section": "skipped"}],
        "wrapped": {"cross_section": inner},
    }
    assert nl._replace_cross_sections_recursive(tree) is tree
    assert tree == {
        "cross_section": "STRIP",
        "settings": {"width": 1, "cross_section": "RIB", "deeper": {"cross_section": "NITRIDE"}},
        "listed": [{"cross_section": "skipped"}],
        "wrapped": {"cross_section": ("checked", {"cross_section": "inner"})},
    }
    # a cross_section value is handed over as it is, not walked first
    assert checked == ["strip", "rib", "nitride", inner]


class KeysFirstOnly(dict):
    """A mapping type that lists only its first key."""

    def keys(self) -> list[Any]:
        return list(dict.keys(self))[:1]


def test_mapping_subclasses_are_walked_through_their_keys(checked: list[Any]) -> None:
    tree = KeysFirstOnly(cross_section="strip", rest={"cross_section": "rib"})
    assert nl._replace_cross_sections_recursive(tree) is tree
    assert dict(tree) == {"cross_section": "STRIP", "rest": {"cross_section": "rib"}}


def test_failure_keeps_the_keys_done_before(checked: list[Any]) -> None:
    tree = {"a": {"cross_section": "strip"}, "cross_section": "bad", "z": {"cross_section": "rib"}}
    with pytest.raises(ValueError, match="unknown cross-section 'bad'"):
        nl._replace_cross_sections_recursive(tree)
    assert tree == {
        "a": {"cross_section": "STRIP"},
        "cross_section": "bad",
        "z": {"cross_section": "rib"},
    }


def test_self_containing_mapping_is_a_recursion_error(checked: list[Any]) -> None:
    tree: dict[str, Any] = {}
    tree["again"] = tree
    with pytest.raises(RecursionError):
        nl._replace_cross_sections_recursive(tree)


# A walk deeper than the C stack holds, with the recursion limit raised far
# above that: RecursionError, not a crash. Run in a fresh interpreter each, so
# that a crash cannot take the test run with it.
DEEP_WALK = """
import sys
from lumencad.core import netlist as nl
sys.setrecursionlimit(10**6)
nl.check_cross_section = str.upper
bottom = {{"cross_section": "strip"}}
tree = bottom
for _ in range({depth}):
    tree = {{"k": tree}}

def run():
    try:
        nl._replace_cross_sections_recursive(tree)
    except RecursionError as e:
        print(f"{{type(e).__name__}}: {{e}}")
    else:
        print(bottom)
"""
TOO_DEEP = "RecursionError: maximum recursion depth exceeded while replacing cross-sections"


@pytest.mark.parametrize(("depth", "stack"), CASES, ids=CASE_IDS)
def test_walk_of_deep_trees(depth: int, stack: int) -> None:
    expected = TOO_DEEP if depth > FITS else "{'cross_section': 'STRIP'}"
    assert run_deep(DEEP_WALK.format(depth=depth), stack) == expected + "\n"
