"""Merging nets into point-to-point connections; reading instance-port references."""

import copy

import polyloom as pl
import pytest
from netweave.netlist import _nets_to_connections


@pytest.mark.parametrize(
    ("nets", "connections", "expected"),
    [
        ([], {}, {}),
        ([["a,o1", "b,o1"]], {}, {"a,o1": "b,o1"}),
        ([["c,o1", "d,o2"]], {"a,o1": "b,o1"}, {"a,o1": "b,o1", "c,o1": "d,o2"}),
        ([["b,o1", "a,o1"]], {"a,o1": "b,o1"}, {"a,o1": "b,o1"}),  # same pair reversed
        ([["a,o1", "b,o1"], ["a,o1", "b,o1"]], {}, {"a,o1": "b,o1"}),
        ([{"ports": ["x,e1", "y,e1"]}], {}, {"x,e1": "y,e1"}),
        ([["lonely,o1"]], {}, {}),
    ],
)
def test_merge(nets, connections, expected):
    before = copy.deepcopy((nets, connections))
    result = _nets_to_connections(nets, connections)
    assert result == expected
    assert list(result) == list(expected)
    assert all(type(k) is str and type(v) is str for k, v in result.items())
    # The inputs are left alone: the result is a new mapping.
    assert result is not connections and (nets, connections) == before


@pytest.mark.parametrize(
    ("nets", "connections", "message"),
    [
        (
            [["mmi1,o2", "s1,o1", "s2,o1"]],
            {},
            "Port 'mmi1,o2' is used by more than one connection: "
            "'mmi1,o2'->'s1,o1' and 'mmi1,o2'->'s2,o1'",
        ),
        (
            [["s2,o1", "mmi1,o2"]],
            {"mmi1,o2": "s1,o1"},
            "Port 'mmi1,o2' is used by more than one connection: "
            "'mmi1,o2'->'s1,o1' and 's2,o1'->'mmi1,o2'",
        ),
        (
            [],
            {"a,o1": "b,o1", "c,o1": "b,o1"},
            "Port 'b,o1' is used by more than one connection: 'a,o1'->'b,o1' and 'c,o1'->'b,o1'",
        ),
        (  # blanks around a part do not make another port
            [["a,o1", "c,o1"]],
            {" a , o1": "b,o1"},
            "Port 'a,o1' is used by more than one connection: 'a,o1'->'b,o1' and 'a,o1'->'c,o1'",
        ),
    ],
)
def test_conflicts_name_the_port(nets, connections, message):
    with pytest.raises(ValueError) as err:
        _nets_to_connections(nets, connections)
    assert str(err.value) == message


@pytest.mark.parametrize(
    ("ref", "parts"),
    [
        ("mmi1,o2", ("mmi1", "o2")),
        (" mmi1 ,\to2 ", ("mmi1", "o2")),
        ("my mmi,o 2", ("my mmi", "o 2")),
    ],
)
def test_reference_splits_into_two_stripped_parts(ref, parts):
    assert pl.split_reference(ref) == parts
    assert _nets_to_connections([[ref, "z,o9"]], {}) == {f"{parts[0]},{parts[1]}": "z,o9"}


@pytest.mark.parametrize(
    ("ref", "shown"),
    [("a-o1", "'a-o1'"), ("a,o1,x", "'a,o1,x'"), ("", "''"), (3, "3"), (None, "None")],
)
@pytest.mark.parametrize(
    "read",
    [pl.split_reference, lambda ref: _nets_to_connections([], {ref: "z,o9"})],
    ids=["polyloom", "netweave"],
)
def test_bad_reference_is_named(read, ref, shown):
    with pytest.raises(ValueError) as err:
        read(ref)
    assert str(err.value) == f"Invalid instance-port reference {shown}: expected 'instance,port'"
