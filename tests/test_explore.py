"""The PDK explorer: dependency graph, finders, colours, classes and the drawing."""

from __future__ import annotations

import functools
import inspect
from collections import OrderedDict
from collections.abc import Callable, Iterator
from types import SimpleNamespace
from typing import Any

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import networkx as nx  # noqa: E402
import polyloom as pl  # noqa: E402
import pytest  # noqa: E402
from lumencad.core import explore as ex  # noqa: E402

GOOD, COMPOSITE, NO_PORTS, FIXED = "#00ff0033", "#0000ff33", "#ff000033", "#ffff0033"


def with_ports(*names: str) -> pl.Component:
    c = pl.Component()
    for i, name in enumerate(names):
        c.add_port(name, (float(i), 0.0), 180.0 * i)
    return c


def two_port_cell(name: str, *used: Callable[[], pl.Component]) -> Callable[..., pl.Component]:
    """A cell with two ports and two parameters, placing one instance of each `used` build."""

    def factory(length: float = 1.0, width: float = 0.5) -> pl.Component:
        c = with_ports("o1", "o2")
        for i, build in enumerate(used):
            (c << build()).movey(10.0 * (i + 1))  # apart, so that no ports meet
        return c

    factory.__name__ = name
    return pl.cell(factory)


leaf, mzi2, mzi10 = (two_port_cell(name) for name in ("leaf", "mzi2", "mzi10"))
thrice = two_port_cell("thrice", leaf, leaf, leaf)
# Uses mzi10 and mzi2, and a variant of leaf that is no cell of its own.
pair = two_port_cell("pair", mzi10, mzi2, lambda: leaf(length=2))


def one_parameter(a: int = 1) -> pl.Component:
    return with_ports("o1", "o2")


def broken(a: int = 1, b: int = 2) -> pl.Component:
    raise RuntimeError("cannot build")


@pytest.fixture
def use_pdk() -> Iterator[Callable[..., pl.Pdk]]:
    """Activate a PDK of the given cells for one test."""
    previous = pl.get_active_pdk()

    def activate(**cells: Any) -> pl.Pdk:
        return pl.Pdk("explore_test", cells=cells).activate()

    yield activate
    previous.activate()


def nodes(g: nx.DiGraph) -> list[tuple[str, tuple[str, ...], bool]]:
    return [(n, d["ports"], d["is_fixed"]) for n, d in g.nodes(data=True)]


@pytest.mark.parametrize(
    ("cells", "expected_nodes", "expected_edges"),
    [
        ({}, [], []),
        ({"leaf": leaf}, [("leaf", ("o1", "o2"), False)], []),
        (
            {"thrice": thrice, "leaf": leaf},
            [("thrice", ("o1", "o2"), False), ("leaf", ("o1", "o2"), False)],
            [("thrice", "leaf")],
        ),
        # Used names in natural order after their user; a cell added before
        # keeps its place; a used variant that is no cell has no ports and is fixed;
        # a cell that does not build and that no cell uses is left out.
        (
            {"mzi10": mzi10, "pair": pair, "broken": broken, "mzi2": mzi2, "one": one_parameter},
            [
                ("mzi10", ("o1", "o2"), False),
                ("pair", ("o1", "o2"), False),
                ("leaf_length2", (), True),
                ("mzi2", ("o1", "o2"), False),
                ("one", ("o1", "o2"), True),
            ],
            [("pair", "leaf_length2"), ("pair", "mzi2"), ("pair", "mzi10")],
        ),
    ],
)
def test_pdk_graph(use_pdk, cells, expected_nodes, expected_edges) -> None:
    use_pdk(**cells)
    g = ex.get_pdk_graph()
    assert (nodes(g), list(g.edges)) == (expected_nodes, expected_edges)


def test_cell_queries(use_pdk) -> None:
    use_pdk(leaf=leaf, one=one_parameter, broken=broken, lone=lambda: with_ports("a"))
    assert ex._get_f("one") is one_parameter and ex._get_f(name="missing") is None
    assert ex._get_c("leaf") is leaf() and ex._get_c("broken") is None
    fixed = [ex._is_fixed(n) for n in ("leaf", "one", "broken", "lone", "missing")]
    assert fixed == [False, True, True, True, True]
    assert [ex._get_port_names(n) for n in ("leaf", "broken")] == [("o1", "o2"), ()]
    assert ex._get_net("broken") == {} and ex._get_net("thrice") == {}
    assert ex._get_net("leaf") == leaf().get_netlist()


def f_all_kinds(a, /, b, *args, c, **kwargs) -> None: ...


@functools.wraps(f_all_kinds)
def wraps_all_kinds(*args, **kwargs) -> None: ...


def with_signature(a, b, c) -> None: ...


class TwoArgs:
    def __init__(self, a, b) -> None: ...


with_signature.__signature__ = inspect.Signature([inspect.Parameter("x", 1)])  # type: ignore[attr-defined]


@pytest.mark.parametrize(
    ("f", "count"),
    [
        (f_all_kinds, 5),
        (lambda: None, 0),
        (leaf, 2),
        (one_parameter, 1),
        (wraps_all_kinds, 5),  # the wrapped function's parameters
        (with_signature, 1),  # an explicit signature wins
        (functools.partial(f_all_kinds, 1, 2), 3),
        (dict.get, 3),
        (TwoArgs, 2),
    ],
)
def test_num_args(f, count) -> None:
    assert ex.num_args(f) == count == len(inspect.signature(f).parameters)


def fake_layout(monkeypatch, component: Any) -> None:
    """Make the explorer's layout library build `component` for every name."""

    def get_component(name: str) -> Any:
        if isinstance(component, BaseException):
            raise component
        return component

    pdk = SimpleNamespace(cells={"cell": one_parameter})
    monkeypatch.setattr(
        ex, "pl", SimpleNamespace(get_component=get_component, get_active_pdk=lambda: pdk)
    )


def test_a_port_named_none_shows_as_empty(monkeypatch) -> None:
    ports = [SimpleNamespace(name=None), SimpleNamespace(name="o2")]
    fake_layout(monkeypatch, SimpleNamespace(ports=ports))
    assert ex._get_port_names("cell") == ("", "o2")


@pytest.mark.parametrize(
    ("netlist", "expected"),
    [
        ({"instances": {}}, {"instances": {}}),
        (None, None),
        (OrderedDict(instances={}), {}),
        ([], {}),
        (ValueError("no netlist"), {}),
    ],
)
def test_netlist_lookup(monkeypatch, netlist, expected) -> None:
    def get_netlist() -> Any:
        if isinstance(netlist, BaseException):
            raise netlist
        return netlist

    fake_layout(monkeypatch, SimpleNamespace(get_netlist=get_netlist))
    result = ex._get_net("cell")
    assert (result, type(result)) == (expected, type(expected))


@pytest.mark.parametrize("function", [ex._get_c, ex._get_net, ex._get_port_names, ex._is_fixed])
def test_interrupts_pass_through(monkeypatch, function) -> None:
    fake_layout(monkeypatch, KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        function("cell")


def graph(edges: list[tuple[str, str]], **ports: int) -> nx.DiGraph:
    """Nodes named by `ports` (in that order) with as many ports; `_f` marks fixed ones."""
    g = nx.DiGraph()
    for name, count in ports.items():
        g.add_node(name.removesuffix("_f"), ports=("p",) * count, is_fixed=name.endswith("_f"))
    g.add_edges_from(edges)
    return g


FINDERS = "without_ports unconnected sinks fixed composite good_sinks".split()


@pytest.mark.parametrize(
    ("g", "found"),
    [
        (graph([]), [[], [], [], [], [], []]),
        (graph([("a", "b")], a=2, b=2), [[], [], ["b"], [], ["a"], ["b"]]),
        (graph([("a", "b")], a=2, b=1), [["b"], [], ["b"], [], ["a"], ["a"]]),
        (
            graph([("c10", "x"), ("c2", "x")], x_f=2, c10=3, c2=2, i10=0, i2_f=5),
            [["i10"], ["i2", "i10"], ["i2", "i10", "x"], ["i2", "x"], ["c2", "c10"], ["i2", "x"]],
        ),
    ],
)
def test_finders(g, found) -> None:
    before = (list(g.nodes(data=True)), list(g.edges))
    assert [getattr(ex, f"find_{name}")(g) for name in FINDERS] == found
    assert (list(g.nodes(data=True)), list(g.edges)) == before


@pytest.mark.parametrize(
    ("g", "colors", "reversed_colors"),
    [
        (graph([]), [], []),
        (graph([("a", "b")], a=2, b=2), [COMPOSITE, GOOD], [GOOD, COMPOSITE]),
        (graph([("a", "b")], a=2, b=1), [GOOD, NO_PORTS], [GOOD, NO_PORTS]),
        (graph([("a", "b")], a_f=2, b_f=2), [COMPOSITE, FIXED], [FIXED, COMPOSITE]),
    ],
)
def test_node_colors(g, colors, reversed_colors) -> None:
    assert ex.get_node_colors(g) == colors
    assert ex.get_node_colors(g, reverse=1) == reversed_colors


def test_node_colors_can_be_chosen() -> None:
    g = graph([("a", "b"), ("a", "c")], a=2, b=0, c_f=2, d=3)
    colors = ex.get_node_colors(
        g, False, good_color="g", composite_color="c", no_ports_color="n", is_fixed_color="f"
    )
    assert colors == ["c", "n", "f", "g"]


@pytest.mark.parametrize(
    ("no_fixed", "reverse", "expected"),
    [
        (True, False, ["d", "b"]),
        (False, False, ["d", "b", "c"]),
        (True, True, ["d", "a"]),
        ("", 0, ["d", "b", "c"]),
    ],
)
def test_top_level_cells(no_fixed, reverse, expected) -> None:
    g = graph([("a", "b"), ("a", "c")], d=2, a=2, b=2, c_f=2, e=1)
    assert ex.get_top_level_cells(g, no_fixed, reverse=reverse) == expected
    assert ex.get_top_level_cells(nx.DiGraph(), no_fixed, reverse) == []


def no_parameters() -> pl.Component:
    return with_ports("o1", "o2", "o3")


def optional_parameter(n: int = 3) -> pl.Component:
    return with_ports("o1", "o2", "o3")


def test_classify_cells() -> None:
    def unnamed_ports() -> Any:
        return SimpleNamespace(ports=[object(), object()])

    cells = {
        "fixed": no_parameters,
        "parametric": optional_parameter,
        "fails": broken,
        "single": lambda: with_ports("o1"),
        "unnamed": unnamed_ports,
        "leaf": leaf,
    }
    classes = ex.classify_cells(pl.Pdk("classes", cells=cells))
    assert [list(c.items()) for c in classes] == [
        [("parametric", optional_parameter), ("leaf", leaf)],
        [("fixed", no_parameters)],
        [("fails", broken), ("single", cells["single"]), ("unnamed", unnamed_ports)],
    ]


def test_plot_draws_every_node_with_its_label(use_pdk) -> None:
    use_pdk(pair=pair, mzi2=mzi2, lone=lambda: with_ports("a"))
    before = plt.get_fignums()
    try:
        assert ex.plot_pdk_relations() is None
        figure = plt.gcf()
        assert figure.number not in before
        assert tuple(figure.get_size_inches()) == (10.0, 10.0)
        labels = sorted(t.get_text() for t in figure.axes[0].texts)
        assert labels == ["leaf_length2", "lone", "mzi10", "mzi2", "pair"]
    finally:
        plt.close("all")


def test_plot_fails_with_the_graph_library_error_without_graphviz(
    use_pdk, monkeypatch, tmp_path
) -> None:
    use_pdk(leaf=leaf)
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(ValueError, match="Program circo not found in path."):
        ex.plot_pdk_relations()
    plt.close("all")
