"""The project tree: `lumencad tree`, `_tree` and the cell and model introspection.

The by-cell and by-file documents of the example project are compared with
reviewed files under tests/expected/tree/, for a copy of the project whose
build folder holds the reviewed ports files of tests/expected/ports/ (what the
builders write for it). After a deliberate change, rewrite them with

    LUMENCAD_REGENERATE_EXPECTED=1 python -m pytest tests/test_tree.py

and review the diff: every project cell under "custom" and every generic PDK
cell under "pdk", with the defaults of its function (and model), the ports of
its ports file and the paths the builders write.
"""

from __future__ import annotations

import os
import random
import shutil
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import numpy as np
import polyloom as pl
import pytest
import yaml
from lumencad.core.cli import tree as tr
from lumencad.core.cli.app import app
from polyloom.generic import PDK as GENERIC
from typer.testing import CliRunner

TESTS = Path(__file__).resolve().parent
EXPECTED = TESTS / "expected" / "tree"
REGENERATE = os.environ.get("LUMENCAD_REGENERATE_EXPECTED") == "1"


@pytest.fixture
def project(tmp_path: Path, examples_dir: Path, restore_pdk) -> Path:
    """A copy of the example project, built: returns its pics folder."""
    root = tmp_path / "project"
    shutil.copytree(examples_dir, root, ignore=shutil.ignore_patterns("build"))
    shutil.copytree(TESTS / "expected" / "ports" / "examples", root / "build" / "gds")
    shutil.copytree(
        TESTS / "expected" / "ports" / "generic", root / "build" / "gds" / "pdk" / "ports"
    )
    return root / "pics"


def small_project(tmp_path: Path, files: dict[str, str]) -> Path:
    pics = tmp_path / "small" / "pics"
    (tmp_path / "small" / "pyproject.toml").parent.mkdir(parents=True)
    (tmp_path / "small" / "pyproject.toml").write_text('[tool.lumencad]\npdk = "generic"\n')
    for name, text in files.items():
        (pics / name).parent.mkdir(parents=True, exist_ok=True)
        (pics / name).write_text(text)
    return pics


def as_yaml(data: Any) -> str:
    return yaml.safe_dump(data, sort_keys=True)


@pytest.mark.parametrize("by", ["cell", "file"])
def test_example_project_documents(project: Path, by: str) -> None:
    text = tr._tree(str(project), "generic", by)
    expected = EXPECTED / f"by_{by}.yml"
    if REGENERATE:
        expected.write_text(text)
    assert text == expected.read_text()


def test_command_prints_the_document_and_an_empty_line(project: Path) -> None:
    result = CliRunner().invoke(app, ["tree", str(project), "--by", "  File ", "--pdk", "generic"])
    assert (result.exit_code, result.stdout) == (0, (EXPECTED / "by_file.yml").read_text() + "\n")


@pytest.mark.parametrize(
    ("by", "key", "expected"),
    [
        ("file", "pdk.mmi1x2.model", {"defaults": {"loss": 0.0, "wl": 1.55}, "name": "mmi1x2"}),
        (
            "cell",
            "custom.ring_filter",
            {
                "drc": "sub/ring_filter.lyrdb",
                "gds": "sub/ring_filter.gds",
                "logs": "sub/ring_filter.log",
                "ports": {"o1": "w", "o2": "e"},
                "source": "sub/ring_filter.pic.yml",
            },
        ),
        ("cell", "pdk.taper.ports", {"o1": "w", "o2": "e"}),
    ],
)
def test_dotted_key_selects_one_branch(project: Path, by: str, key: str, expected: Any) -> None:
    assert tr._tree(str(project), "generic", by, key) == as_yaml(expected)


@pytest.mark.parametrize(
    ("by", "key", "missing"),
    [
        ("file", "custom", "custom"),
        ("cell", "pdk.nope", "nope"),
        ("file", "sub/ring_filter.pic.yml", "sub/ring_filter"),
    ],
)
def test_dotted_key_of_a_missing_branch(project: Path, by: str, key: str, missing: str) -> None:
    with pytest.raises(KeyError) as info:
        tr._tree(str(project), "generic", by, key)
    assert info.value.args == (missing,)


def test_project_cell_named_like_a_pdk_cell_moves_into_the_pdk_group(
    tmp_path: Path, restore_pdk
) -> None:
    pics = small_project(
        tmp_path,
        {
            "mine.py": "import polyloom as pl\n@pl.cell\ndef straight(length: float = 3.0):\n"
            "    return pl.Component()\n",
            "sub/loop.pic.yml": "instances: {}\n",
        },
    )
    ports = pics.parent / "build" / "gds" / "ports"
    ports.mkdir(parents=True)
    (ports / "straight.json").write_text('{"a": "w"}')
    record = {"defaults": {"length": 3.0}, "ports": {"a": "w"}, "source": "mine.py"}
    paths = {"drc": "pdk/straight.lyrdb", "gds": "pdk/straight.gds", "logs": "pdk/straight.log"}
    by_file = yaml.safe_load(tr._tree(str(pics), "generic", "file"))
    by_cell = yaml.safe_load(
        tr._tree(str(pics), "generic", "cell", "", "None", ["straight", "taper"])
    )
    assert (by_file["pdk"]["straight"], by_file["mine.py"]) == (record, {})
    assert by_cell == {
        "custom": {
            "loop": {
                "drc": "sub/loop.lyrdb",
                "gds": "sub/loop.gds",
                "logs": "sub/loop.log",
                "ports": {},
                "source": "sub/loop.pic.yml",
            }
        },
        "pdk": {"straight": {**record, **paths}, "taper": by_cell["pdk"]["taper"]},
    }
    assert list(by_cell["pdk"]["taper"]) == "defaults drc gds logs model ports source".split()


@pytest.mark.parametrize(
    ("none_str", "text"), [("None", "  width: None\n"), ("null", "  width: 'null'\n")]
)
def test_none_str(project: Path, none_str: str, text: str) -> None:
    document = tr._tree(str(project), "generic", "file", "pdk.straight", none_str)
    assert text in document


@pytest.mark.parametrize("names", [(), ["mmi1x2", "nope", "pad"]])
def test_pdk_cell_names_restrict_the_pdk_group_only(project: Path, names: list[str]) -> None:
    by_cell = yaml.safe_load(tr._tree(str(project), "generic", "cell", "", "None", names))
    assert list(by_cell["pdk"]) == (sorted(GENERIC.cells) if not names else ["mmi1x2", "pad"])
    assert len(by_cell["custom"]) == 7


def test_empty_project_and_a_module_without_cells(tmp_path: Path, restore_pdk) -> None:
    pics = small_project(tmp_path, {"helpers.py": "X = 1\n"})
    by_file = yaml.safe_load(tr._tree(str(pics), "generic", "file", "", "None", ["pad"]))
    by_cell = tr._tree(str(pics), "generic", "cell", "custom", "None", ["pad"])
    assert (list(by_file), by_file["helpers.py"], by_cell) == (["helpers.py", "pdk"], {}, "{}\n")


def test_module_search_path_entry_added_once(project: Path) -> None:
    sys.path[:] = [p for p in sys.path if p != str(project.parent)]
    for _ in range(2):
        tr._tree(str(project), "generic", "file", "pdk.pad.source")
    assert (sys.path.count(str(project.parent)), sys.path[0]) == (1, str(project.parent))


@pytest.mark.parametrize(
    ("args", "code", "stderr"),
    [
        (["--by", "Tree"], 1, "error: by should be 'cell' or 'file'. Got: tree.\n"),
        (["--key", "pdk.nope"], 1, "error: KeyError: 'nope'\n"),
    ],
)
def test_command_failures(project: Path, args: list[str], code: int, stderr: str) -> None:
    result = CliRunner().invoke(app, ["tree", str(project), *args])
    assert (result.exit_code, result.stdout, result.stderr) == (code, "", stderr)


def test_command_without_text_exits_2(monkeypatch) -> None:
    monkeypatch.setattr(tr, "_tree", lambda *args: None)
    result = CliRunner().invoke(app, ["tree", "anything"])
    assert (result.exit_code, result.stdout) == (2, "")


@pytest.fixture
def no_project(monkeypatch) -> list[str]:
    """`_tree`'s collaborators replaced by an empty project on an empty PDK; returns
    the calls made to the first and the last collaborator."""
    calls: list[str] = []
    fake_pdk = SimpleNamespace(cells={}, models={})
    for name, value in {
        "validate_args": lambda path, pdk: (path, pdk),
        "import_python_modules": lambda path: calls.append("modules") or [],
        "get_yaml_paths": lambda path: [],
        "register_cells": lambda: None,
        "pl": SimpleNamespace(get_active_pdk=lambda: fake_pdk),
        "find_atelier_project_dir": lambda: calls.append("root") or "/nowhere",
    }.items():
        monkeypatch.setattr(tr, name, value)
    monkeypatch.setattr(sys, "path", list(sys.path))
    return calls


@pytest.mark.parametrize(("by", "shown"), [("files", "'files'"), (None, "None")])
def test_worker_rejects_by_after_collecting(no_project: list[str], by: Any, shown: str) -> None:
    with pytest.raises(RuntimeError) as info:
        tr._tree("/nowhere/pics", "generic", by)
    assert str(info.value) == f"by should either be 'cell' or 'file'. Got: {shown}."
    assert no_project == ["modules", "root"]


def test_documentation_and_checked_str_parameters() -> None:
    assert (tr.tree.__doc__, tr._tree.__doc__) == (None, "Returns component tree.")
    for call, name, given in [
        (lambda: tr._tree("x", key=1), "key", "int"),
        (lambda: tr.tree("x", by=None), "by", "NoneType"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert (
            str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {given})"
        )


# --- introspection --------------------------------------------------------------


class Opaque:
    pass


def representable(value: Any) -> bool:
    try:
        yaml.safe_dump({"x": value}, sort_keys=False)
    except Exception:
        return False
    return True


ARRAY = np.array([1, 2])
CYCLE: list[Any] = []
CYCLE.append(CYCLE)


@pytest.mark.parametrize(
    "value",
    [
        None,
        True,
        3,
        10**30,
        10**5000,
        0.5,
        float("nan"),
        "text",
        b"raw",
        (1, 0),
        [1, [2]],
        {"a": 1},
        {1, 2},
        CYCLE,
        {"a": Opaque()},
        (Opaque(),),
        Opaque(),
        np.float64(1.5),
        1 + 2j,
        ...,
    ],
    ids=lambda value: type(value).__name__,
)
def test_get_args_keeps_the_defaults_yaml_can_dump(value: Any) -> None:
    def factory(length, width=0.5, probe=value, *args, label="x", **kwargs):
        pass

    expected = {"width": 0.5, **({"probe": value} if representable(value) else {}), "label": "x"}
    result = tr.get_args(factory)
    assert result == expected and list(result) == list(expected)
    assert all(result[k] is v for k, v in expected.items())


def test_get_args_of_cells_and_failures() -> None:
    assert tr.get_args(GENERIC.cells["pad"]) == {
        "size": (100.0, 100.0),
        "layer": (45, 0),
        "opening_inset": 1.5,
    }

    def array_default(a=ARRAY):
        pass

    with pytest.raises(ValueError, match="truth value of an array"):
        tr.get_args(array_default)
    with pytest.raises(TypeError):
        tr.get_args(3)


@pytest.mark.parametrize(
    ("obj", "none_str", "expected"),
    [
        ({"a": {"defaults": {}, "x": None}}, "None", {"a": {"x": "None"}}),
        ({"a": {"defaults": {}, "x": None}}, None, {"a": {"x": None}}),
        (
            {"defaults": {"w": None}, "l": [None, (None,)]},
            "-",
            {"defaults": {"w": "-"}, "l": ["-", (None,)]},
        ),
        ({"defaults": [], "d": 0, "defaults2": 0}, 5, {"d": 0, "defaults2": 0}),
        (None, 0, "0"),
    ],
)
def test_remove_empty_defaults(obj: Any, none_str: Any, expected: Any) -> None:
    assert tr._remove_empty_defaults(obj, none_str=none_str) == expected


def test_remove_empty_defaults_copies_mappings_and_lists() -> None:
    class Ordered(dict):
        pass

    inner = [1]
    obj = Ordered(a=inner, defaults=Ordered(), t=(inner,))
    result = tr._remove_empty_defaults(obj)
    assert (type(result), result, result["a"] is inner, result["t"][0] is inner) == (
        dict,
        {"a": [1], "t": ([1],)},
        False,
        True,
    )


def test_select_key() -> None:
    tree = {"a": {"b": {"c": 1}}, "x.y": 2}
    assert tr.select_key(tree, "") is tree and tr.select_key(tree, None) is tree
    assert tr.select_key(tree, "a.b.c") == 1
    with pytest.raises(KeyError, match="'x'"):
        tr.select_key(tree, "x.y")
    with pytest.raises(TypeError):
        tr.select_key(tree, "a.b.c.d")


def test_get_cells_keeps_the_modules_own_cells(
    examples_dir: Path, monkeypatch, restore_pdk
) -> None:
    from lumencad.core import shared

    (module,) = shared.import_python_modules(examples_dir / "pics")
    assert list(tr.get_cells(module)) == ["waveguide_array", "heated_straight"]

    def own() -> None:
        pass

    found = {"straight": GENERIC.cells["straight"], "own": own, "bare": object()}
    monkeypatch.setattr(tr, "_get_cells", lambda mod: found)
    assert tr.get_cells(SimpleNamespace(__name__=__name__)) == {"own": own}
    assert tr.get_cells(SimpleNamespace(__name__="elsewhere")) == {}


def test_get_models_tries_each_place_in_turn() -> None:
    models = {"m": 1}
    failing = SimpleNamespace(models=SimpleNamespace(get_models=lambda: 1 / 0))
    cases = [
        (SimpleNamespace(models=SimpleNamespace(models=models)), models),
        (SimpleNamespace(models=SimpleNamespace(get_models=lambda: models)), models),
        (SimpleNamespace(PDK=SimpleNamespace(models=models)), models),
        (failing, pl.get_active_pdk().models),
    ]
    assert [tr.get_models(mod) for mod, _ in cases] == [expected for _, expected in cases]


@pytest.mark.parametrize(
    ("content", "expected"),
    [
        ('{"o1": "w", "o2": "e"}', {"o1": "w", "o2": "e"}),
        ("[1, 2]", [1, 2]),
        ("{not json", {}),
        (None, {}),
    ],
)
def test_ports_files(tmp_path: Path, content: str | None, expected: Any) -> None:
    pdk_file = tmp_path / "build" / "gds" / "pdk" / "ports" / "7.json"
    source_file = tmp_path / "build" / "gds" / "sub" / "ports" / "ring.json"
    for file in (pdk_file, source_file):
        file.parent.mkdir(parents=True)
        if content is not None:
            file.write_text(content)
    results = [
        tr._pdk_name_to_ports(str(tmp_path), 7),
        tr._source_to_ports(str(tmp_path), "sub/ring.pic.yml", "ring"),
    ]
    assert results == [expected, expected]
    assert tr._source_to_ports(str(tmp_path), "ring.pic.yml", "ring") == {}  # no build/gds/ports
    (tmp_path / "build" / "gds" / "ports" / "ring.json").mkdir(parents=True)  # a folder, not a file
    assert tr._source_to_ports(str(tmp_path), "ring.pic.yml", "ring") == {}


# --- the YAML text --------------------------------------------------------------


def random_tree(rng: random.Random) -> dict[str, Any]:
    """Trees of the kinds a project tree holds, with shared (anchored) collections,
    texts that read as other types, odd numbers and values the YAML dumper quotes."""
    # The first nine need no quotes (or plain single quotes); the others fall back.
    words = "a o1 b_c sub/x.pic.yml on null Yes None n".split() + ["1", "", "a b", "é", "x:"]
    scalars = [None, True, 0, -5, 2**70, 0.5, 1e17, 1e-7, float("nan"), float("-inf"), 3.0]
    shared: list[Any] = [(1, 0), [], {}]

    def node(depth: int) -> Any:
        r = rng.random()
        if r < 0.1:
            return rng.choice(shared)
        if depth > 3 or r < 0.45:
            return rng.choice(scalars + words)
        size = rng.randint(0, 3)
        if r < 0.6:
            value: Any = [node(depth + 1) for _ in range(size)]
        elif r < 0.7:
            value = tuple(node(depth + 1) for _ in range(size))
        else:
            value = {rng.choice(words): node(depth + 1) for _ in range(size)}
        if rng.random() < 0.2:
            shared.append(value)
        return value

    return {rng.choice(words[:9]): node(0) for _ in range(rng.randint(0, 5))}


CYCLE_TREE: dict[str, Any] = {}
CYCLE_TREE["self"] = CYCLE_TREE


@pytest.mark.parametrize("seed", range(4))
def test_documents_are_the_yaml_safe_dump_of_the_tree(no_project, monkeypatch, seed: int) -> None:
    rng = random.Random(seed)
    trees = [random_tree(rng) for _ in range(150)] + [CYCLE_TREE, {"a": (), "b": ()}, {}]
    for tree in trees:
        monkeypatch.setattr(tr, "select_key", lambda dct, key, tree=tree: tree)
        assert tr._tree("/nowhere/pics") == yaml.safe_dump(tree, sort_keys=True), tree


def test_a_customised_safe_dumper_is_followed(project: Path, monkeypatch) -> None:
    representers = dict(yaml.SafeDumper.yaml_representers)
    monkeypatch.setattr(yaml.SafeDumper, "yaml_representers", representers)

    def no_floats(dumper: Any, value: float) -> Any:
        raise yaml.representer.RepresenterError(f"no floats: {value}")

    representers[float] = no_floats
    representers[str] = lambda dumper, value: dumper.represent_scalar(
        "tag:yaml.org,2002:str", value, style='"'
    )
    assert tr.get_args(lambda a=1.5, b="x": None) == {"b": "x"}
    record = yaml.safe_load((EXPECTED / "by_cell.yml").read_text())["custom"]["ring_filter"]
    assert tr._tree(str(project), "generic", "cell", "custom.ring_filter") == as_yaml(record)
    assert '"drc": "sub/ring_filter.lyrdb"' in as_yaml(record)
