"""The C++ function objects and the deep copy, seen from Python.

Module functions must bind, check, introspect and copy exactly like their
pure-Python equivalents, so most cases compare against a Python function or
against copy.deepcopy in the same run.
"""

from __future__ import annotations

import copy
import functools
import inspect
import pickle
import pydoc
import random
import typing
from collections import OrderedDict
from collections.abc import Callable
from typing import Any

import natsort
import polyloom
import pytest
import shapely.geometry
import typer
from lumencad.core import netlist as nl
from lumencad.core import pdk as host_pdk
from netlist_fakes import outcome
from typer.testing import CliRunner

SIGNATURES = {
    "patch_netlist": "(name: 'str', netlist: 'Netlist') -> 'Netlist'",
    "ensure_netlist_order": "(netlist: 'Netlist') -> 'Netlist'",
    "reset_netlist_schematic_info": "(netlist: 'Netlist') -> 'Netlist'",
    "wrap_component_in_netlist": "(name: 'str') -> 'Netlist'",
    "_get_available_connections": "(netlist)",
    "_update_good_netlist": "(good_netlist, netlist)",
    "_get_component_name": "(component_dict, default: 'str' = '') -> 'str'",
    "_is_implicit_connection": "(ip1: 'str', ip2: 'str', instances: 'dict[str, Any]', "
    "connections: 'dict[str, str]') -> 'bool'",
    "patch_netlist_with_placement_info": "(name: 'str', netlist: 'Netlist', "
    "width: 'float' = 400.0, height: 'float' = 400.0) -> 'Netlist'",
}
HINTS = {"Netlist": dict, "Any": Any}


def twin(name: str) -> Callable[..., Any]:
    """A pure-Python function with the module function's name, signature and doc."""
    namespace = dict(HINTS)
    source = f"def {name}{SIGNATURES[name]}:\n    return {{}}"
    exec(compile(source, name, "exec", dont_inherit=True), namespace)
    namespace[name].__doc__ = getattr(nl, name).__doc__
    return namespace[name]


def test_import_binds_collaborators_then_functions_in_order() -> None:
    expected = (
        "deepcopy lru_cache partial Any pl gdstk np sg natsorted _nets_to_connections "
        "check_cross_section get_all_pics get_pdk_pics is_hierarchical_pic is_pdk_pic "
        "most_common_layers Netlist patch_netlist ensure_netlist_order "
        "reset_netlist_schematic_info wrap_component_in_netlist _get_available_connections "
        "_update_good_netlist"
    ).split()
    assert [name for name in vars(nl) if name in expected] == expected
    bound = {"deepcopy": copy.deepcopy, "partial": functools.partial, "Any": typing.Any}
    bound |= {"pl": polyloom, "sg": shapely.geometry, "natsorted": natsort.natsorted}
    bound |= {"is_pdk_pic": host_pdk.is_pdk_pic, "Netlist": dict}
    assert all(getattr(nl, name) is value for name, value in bound.items())


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_introspection(name: str) -> None:
    fn = getattr(nl, name)
    sig = inspect.signature(fn)
    assert str(sig) == SIGNATURES[name]
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    annotations = {p.name: p.annotation for p in sig.parameters.values() if p.annotation != p.empty}
    if sig.return_annotation != sig.empty:
        annotations["return"] = sig.return_annotation
    assert fn.__annotations__ == annotations
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "lumencad.core.netlist")
    assert fn.__globals__ is vars(nl) and fn.__doc__ and not hasattr(fn, "__wrapped__")
    assert typing.get_type_hints(fn) == {k: eval(v, HINTS) for k, v in annotations.items()}


# ---------------------------------------------------------------------------
# Argument binding: the interpreter's own rules and messages


@pytest.mark.parametrize(
    ("name", "args", "kwargs"),
    [
        ("_update_good_netlist", (), {}),
        ("_update_good_netlist", ({},), {}),
        ("_update_good_netlist", (), {"netlist": {}}),
        ("_update_good_netlist", ({}, {}, {}), {}),
        ("_update_good_netlist", ({},), {"good_netlist": {}}),
        ("_update_good_netlist", ({}, {}), {"y": 1}),
        ("_update_good_netlist", ({}, {}, {}), {"netlist": {}}),
        ("_get_available_connections", ({}, {}), {}),
        ("_get_component_name", ("a", "b", "c"), {}),
        ("_get_component_name", (), {"default": "x"}),
        ("_get_component_name", ("a",), {1: 2}),
        ("_is_implicit_connection", (), {}),
        ("_is_implicit_connection", ("a",), {"connections": {}}),
        ("patch_netlist_with_placement_info", ("a", {}, 1.0, 2.0, 3.0), {}),
        ("patch_netlist", ("a",), {"name": "b"}),
        ("patch_netlist", ("a", {}), {"y": 1}),
        ("patch_netlist", (1,), {}),  # binding comes before the entry checks
    ],
)
def test_binding_errors_match_python(name: str, args: tuple, kwargs: dict) -> None:
    with pytest.raises(TypeError) as python_error:
        twin(name)(*args, **kwargs)
    with pytest.raises(TypeError) as module_error:
        getattr(nl, name)(*args, **kwargs)
    assert str(module_error.value) == str(python_error.value)


ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"
IMPLICIT, PLACE = nl._is_implicit_connection, nl.patch_netlist_with_placement_info


@pytest.mark.parametrize(
    ("call", "message"),
    [
        ((nl.patch_netlist, None, {}), ARG_TYPE.format("name", "str", "NoneType")),
        (
            (nl.wrap_component_in_netlist, type("Name", (str,), {})("straight")),
            ARG_TYPE.format("name", "str", "Name"),
        ),
        # checks run in parameter order
        ((IMPLICIT, 1, 2, None, None), ARG_TYPE.format("ip1", "str", "int")),
        (
            (IMPLICIT, "a,o1", "b,o1", OrderedDict(), {}),
            ARG_TYPE.format("instances", "dict", "collections.OrderedDict"),
        ),
        ((IMPLICIT, "a,o1", "b,o1", {}, None), ARG_TYPE.format("connections", "dict", "NoneType")),
        ((PLACE, "c", {}, "w"), "must be real number, not str"),
        ((functools.partial(PLACE, height=None), "c", {}), "must be real number, not NoneType"),
    ],
)
def test_entry_check_messages(call: tuple, message: str) -> None:
    assert outcome(*call) == (TypeError, message)


def test_float_parameters_are_converted_once_on_entry() -> None:
    class Real:
        conversions = 0

        def __float__(self) -> float:
            Real.conversions += 1
            return 10.0

    # without instances the stage returns at once: only the entry conversions run
    assert nl.patch_netlist_with_placement_info("c", {}, Real(), height=Real()) == {}
    assert Real.conversions == 2


@pytest.mark.parametrize(
    "call",
    [
        lambda good, stage: nl._update_good_netlist(good, stage),
        lambda good, stage: nl._update_good_netlist(good, netlist=stage),
        lambda good, stage: nl._update_good_netlist(netlist=stage, good_netlist=good),
    ],
    ids=["positional", "mixed", "keywords"],
)
def test_positional_and_keyword_binding_agree(call: Callable[..., Any]) -> None:
    good = {"old": 1}
    result = call(good, {"new": 2})
    assert list(result)[-1] == "new" and good == result and "old" not in good


def test_binding_errors_name_the_current_qualname(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(nl._get_available_connections, "__qualname__", "available")
    with pytest.raises(TypeError, match=r"^available\(\) missing 1 required positional argument"):
        nl._get_available_connections()


# ---------------------------------------------------------------------------
# Standard tools on module functions


def test_partial_and_lru_cache() -> None:
    good: dict[str, Any] = {}
    keeper = functools.partial(nl._update_good_netlist, good)
    assert str(inspect.signature(keeper)) == "(netlist)"
    assert keeper({"x": 1}) == good and list(good)[-1] == "x"

    cached = functools.lru_cache(maxsize=None)(nl._get_component_name)
    assert cached("mmi") == cached("mmi") == "mmi"
    assert cached.cache_info().hits == 1 and cached.__wrapped__ is nl._get_component_name
    assert (cached.__name__, cached.__module__) == ("_get_component_name", "lumencad.core.netlist")
    assert inspect.signature(cached) == inspect.signature(nl._get_component_name)
    assert typing.get_type_hints(cached) == {"default": str, "return": str}


def test_update_wrapper_onto_a_module_function(monkeypatch: pytest.MonkeyPatch) -> None:
    def donor(x: int) -> int:
        """Donor docs."""
        return x

    donor.marker = "kept"  # type: ignore[attr-defined]
    fn = nl._get_available_connections
    for attr in ("__name__", "__qualname__", "__doc__", "__module__", "__annotations__"):
        monkeypatch.setattr(fn, attr, getattr(fn, attr))
    try:
        assert functools.update_wrapper(fn, donor) is fn
        assert (fn.__name__, fn.__doc__, fn.__annotations__) == (
            "donor",
            "Donor docs.",
            {"x": "int", "return": "int"},
        )
        assert fn.__wrapped__ is donor and fn.marker == "kept"
    finally:
        vars(fn).clear()


def test_help_pickle_and_deepcopy_treat_it_as_a_function() -> None:
    rendered = pydoc.plaintext.document(nl.wrap_component_in_netlist)
    assert rendered == pydoc.plaintext.document(twin("wrap_component_in_netlist"))
    assert rendered.startswith("wrap_component_in_netlist(name: 'str') -> 'Netlist'\n    Return ")
    assert pickle.loads(pickle.dumps(nl.patch_netlist)) is nl.patch_netlist
    assert copy.deepcopy({"f": nl.patch_netlist})["f"] is nl.patch_netlist


# ---------------------------------------------------------------------------
# Command registration with typer


def command_app(fn: Callable[..., Any]) -> typer.Typer:
    app = typer.Typer()
    app.command()(fn)
    return app


@pytest.mark.parametrize(
    ("name", "argv"),
    [
        ("wrap_component_in_netlist", ["--help"]),
        ("wrap_component_in_netlist", []),
        ("wrap_component_in_netlist", ["a", "b"]),
        ("_get_component_name", ["--help"]),
        ("_get_component_name", ["--default"]),
    ],
)
def test_typer_derives_the_same_command(name: str, argv: list[str]) -> None:
    ours = CliRunner().invoke(command_app(getattr(nl, name)), argv)
    theirs = CliRunner().invoke(command_app(twin(name)), argv)
    assert (ours.exit_code, ours.output) == (theirs.exit_code, theirs.output)
    assert ours.output


def test_typer_invokes_the_module_function_with_parsed_arguments() -> None:
    runner = CliRunner()
    app = command_app(nl._get_component_name)
    result = runner.invoke(app, ["straight", "--default", "x"], standalone_mode=False)
    assert result.exception is None and result.return_value == "straight"
    app = command_app(nl.wrap_component_in_netlist)
    result = runner.invoke(app, ["mmi1x2"], standalone_mode=False)
    assert list(result.return_value["instances"]) == ["mmi1x2"]


# ---------------------------------------------------------------------------
# Deep copy: the keeper copies its input with the module's fast deep copy


def fast_deepcopy(tree: Any) -> Any:
    assert nl.deepcopy is copy.deepcopy
    return nl._update_good_netlist({}, {"tree": tree})["tree"]


class Probe:
    """A foreign object that records the memo it is handed."""

    def __init__(self, payload: Any, log: list[Any]) -> None:
        self.payload, self.log = payload, log

    def __deepcopy__(self, memo: dict[int, Any]) -> Probe:
        # memo entries in order; copies as printed (half-built ones included)
        snapshot = [
            ("keep-alive", [id(x) for x in v]) if k == id(memo) else (k, repr(v))
            for k, v in memo.items()
        ]
        self.log.append(snapshot)
        result = memo[id(self)] = Probe(None, self.log)
        result.payload = copy.deepcopy(self.payload, memo)
        return result

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Probe) and self.payload == other.payload

    def __repr__(self) -> str:
        return f"Probe({self.payload!r})"


def alias_pattern(original: Any, copied: Any) -> list[tuple[str, int, bool]]:
    """For every node of both trees walked together: the copy's type, its
    identity class (first-seen index) and whether it is the original itself."""
    seen: dict[int, int] = {}
    visited: set[int] = set()
    pattern: list[tuple[str, int, bool]] = []

    def walk(o: Any, c: Any) -> None:
        pattern.append((type(c).__name__, seen.setdefault(id(c), len(seen)), c is o))
        if id(o) not in visited:
            visited.add(id(o))
            if type(o) in (dict, OrderedDict):
                for (ko, vo), (kc, vc) in zip(o.items(), c.items(), strict=True):
                    walk(ko, kc)
                    walk(vo, vc)
            elif type(o) in (list, tuple):
                for a, b in zip(o, c, strict=True):
                    walk(a, b)
            elif type(o) is Probe:
                walk(o.payload, c.payload)

    walk(original, copied)
    return pattern


def random_tree(rng: random.Random, log: list[Any]) -> Any:
    """Nested containers with shared sub-objects and foreign objects."""
    pool: list[Any] = []
    scalars = [None, True, 0, -3, 2**70, 1.5, float("inf"), "", "a,o1", b"x", 1j]

    def node(level: int) -> Any:
        roll = rng.random()
        if pool and roll < 0.12:
            return rng.choice(pool)
        if level > 4 or roll < 0.35:
            return rng.choice(scalars)
        kind = rng.choice(["dict", "list", "tuple", "tuple", "probe", "odict"])
        size = rng.randint(0, 4)
        if kind == "dict":
            keys = ["a", "b", "c", 1, 2.5, (1, "k")]
            value: Any = {rng.choice(keys): node(level + 1) for _ in range(size)}
        elif kind in ("list", "tuple"):
            value = [node(level + 1) for _ in range(size)]
            value = value if kind == "list" else tuple(value)
        elif kind == "probe":
            value = Probe(node(level + 1), log)
        else:
            value = OrderedDict(k=node(level + 1))
        pool.append(value)
        return value

    return [node(0) for _ in range(4)]


@pytest.mark.parametrize("seed", range(40))
def test_deep_copy_matches_copy_deepcopy_on_random_trees(seed: int) -> None:
    log: list[Any] = []
    tree = random_tree(random.Random(seed), log)
    wrapper = {"tree": tree}
    fast = nl._update_good_netlist({}, wrapper)["tree"]
    fast_memos = log[:]
    log.clear()
    reference = copy.deepcopy(wrapper)["tree"]
    assert fast == reference
    assert alias_pattern(tree, fast) == alias_pattern(tree, reference)
    # every foreign object saw the same memo: same ids, copies and keep-alive list
    assert fast_memos == log


def tuple_loop() -> tuple[Any, ...]:
    """A tuple holding the only reference to a list that holds the tuple."""
    inner: list[Any] = []
    outer = (inner, {"k": [1]})
    inner.append(outer)
    return outer


def test_deep_copy_of_recursive_structures() -> None:
    looped: list[Any] = []
    looped.append(looped)
    selfish: dict[str, Any] = {}
    selfish["self"] = selfish
    through: list[Any] = []
    through.append((through, [1]))
    for tree in (looped, selfish, (through,), tuple_loop(), [tuple_loop()]):
        assert alias_pattern(tree, fast_deepcopy(tree)) == alias_pattern(tree, copy.deepcopy(tree))


def test_deep_copy_errors() -> None:
    class Broken:
        def __deepcopy__(self, memo: dict[int, Any]) -> Any:
            raise LookupError("no copy")

    with pytest.raises(LookupError, match="^no copy$"):
        fast_deepcopy([{"a": Broken()}])
    nested: list[Any] = []
    for _ in range(100_000):
        nested = [nested]
    with pytest.raises(RecursionError):
        fast_deepcopy(nested)
