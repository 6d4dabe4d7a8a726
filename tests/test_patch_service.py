"""The patch-netlist command and the netlist POST entry: argument rules,
the annotated text under its schema header, the schema file, and YAML text
that is byte for byte what the pure-Python safe dumper writes."""

from __future__ import annotations

import copy
import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import lumencad
import pytest
import yaml
from jsonschema import Draft202012Validator
from lumencad.core import netlist as nl
from lumencad.core.cli import main as cli_main
from lumencad.core.cli import patch_netlist as pn

REPO = Path(__file__).resolve().parents[1]
EXAMPLE_PICS = REPO / "examples" / "pics"
PICS = sorted(str(p.relative_to(EXAMPLE_PICS)) for p in EXAMPLE_PICS.glob("**/*.pic.yml"))
REVIEWED = REPO / "tests" / "expected" / "netlists"
NO_SCHEMA = "# yaml-language-server: $schema=...\n"
SCHEMA_HEADER = "# yaml-language-server: $schema="
NOT_A_NETLIST = "Could not parse netlist yaml."


def cell_of(pic: str) -> str:
    return Path(pic).name.removesuffix(".pic.yml")


def reviewed(pic: str) -> str:
    """The reviewed annotated netlist of an example pic, stamped with the generic PDK."""
    text = (REVIEWED / f"{cell_of(pic)}.yml").read_text()
    assert text.startswith("pdk: ''\n")
    return "pdk: generic\n" + text.removeprefix("pdk: ''\n")


@pytest.fixture
def project(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, restore_pdk: None) -> Path:
    """A copy of the example pics in a fresh project folder, the working directory."""
    shutil.copytree(EXAMPLE_PICS, tmp_path / "pics", ignore=shutil.ignore_patterns("__pycache__"))
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_command(*args: str) -> int:
    with pytest.raises(SystemExit) as info:
        cli_main.main(["patch-netlist", *args])
    return info.value.code


# --- arguments -----------------------------------------------------------------


@pytest.mark.parametrize(
    ("path", "outpath", "schemapath", "pdk", "expected"),
    [
        (
            "pics/sub/ring_filter.pic.yml",
            "out/sub/n.pic.yml",
            "schemas/netlist.json",
            " MyPdk ",
            ("pics/sub", "out/sub/n.pic.yml", "schemas/netlist.json", "mypdk", "ring_filter"),
        ),
        (
            "pics/../pics/touching.pic.yml",
            "stdout",
            "",
            "generic",
            ("pics", "stdout", "", "generic", "touching"),
        ),
        ("pics/touching.pic.yml", "stderr", None, None, ("pics", "stderr", "", "none", "touching")),
        ("pics/touching.pic.yml", "", "", "X", ("pics", ".", "", "x", "touching")),
    ],
)
def test_validate_args(project: Path, path, outpath, schemapath, pdk, expected) -> None:
    def absolute(value: str) -> str:
        return value if value in ("stdout", "stderr", "") else os.path.normpath(project / value)

    picsdir, out, schema, pdkname, cellname = expected
    result = pn.validate_args(path, outpath, schemapath, pdk)
    assert result == (absolute(picsdir), absolute(out), absolute(schema), pdkname, cellname)
    for created in (out, schema):
        if absolute(created).startswith(str(project)):
            assert Path(absolute(created)).parent.is_dir()


@pytest.mark.parametrize(
    ("path", "message"),
    [
        ("pics/nope.pic.yml", "Path 'pics/nope.pic.yml' does not exist."),
        ("pics/cells/mycells.py", "Path is 'pics/cells/mycells.py' not a .pic.yml file."),
        ("pics/folder.pic.yml", "Path is 'pics/folder.pic.yml' not a .pic.yml file."),
    ],
)
def test_validate_args_refuses_paths_before_creating_anything(project, path, message) -> None:
    (project / "pics" / "folder.pic.yml").mkdir()
    with pytest.raises(ValueError) as info:
        pn.validate_args(path, "out/n.yml", "schemas/netlist.json", "generic")
    assert str(info.value) == message
    assert not (project / "out").exists() and not (project / "schemas").exists()


@pytest.mark.parametrize(
    ("call", "name", "got"),
    [
        (lambda: pn.patch_netlist_post("p", b"", "", "generic"), "body", "bytes"),
        (lambda: pn.patch_netlist("p", pdk=None), "pdk", "NoneType"),
    ],
)
def test_str_parameters_refuse_other_types(call, name: str, got: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


# --- the annotated text ----------------------------------------------------------


@pytest.mark.parametrize("pic", PICS)
def test_command_prints_the_reviewed_netlist(project: Path, capsys, pic: str) -> None:
    assert run_command(f"pics/{pic}", "--pdk", " Generic ") == 0
    assert capsys.readouterr().out == NO_SCHEMA + reviewed(pic)


@pytest.mark.parametrize("pic", PICS)
def test_post_parses_the_body(project: Path, pic: str) -> None:
    path = project / "pics" / pic
    assert pn.patch_netlist_post(str(path), path.read_text(), "", "generic") == (
        NO_SCHEMA + reviewed(pic)
    )


def test_post_without_body_reads_the_pic_and_keeps_its_keys_in_order(project: Path) -> None:
    path = project / "pics" / "touching.pic.yml"
    netlist = yaml.safe_load(path.read_text())
    netlist = {"name": "first", **netlist, "zeta": {"b": 1, "a": 2}}
    path.write_text(yaml.safe_dump(netlist, sort_keys=False))
    text = pn.patch_netlist_post("pics/touching.pic.yml", "", "", "GENERIC")
    annotated = nl.patch_netlist("touching", netlist)  # the POST registered the pics
    annotated["pdk"] = "generic"
    assert text == NO_SCHEMA + yaml.safe_dump(annotated, sort_keys=False)
    assert list(yaml.safe_load(text))[-2:] == ["name", "zeta"]


@pytest.mark.parametrize(
    ("pic", "header", "valid"),
    [
        # The schema names the cells registered from the pic's own folder down.
        ("mzi_delay.pic.yml", "../schemas/netlist.json", PICS),
        ("sub/ring_filter.pic.yml", "../../schemas/netlist.json", ["sub/ring_filter.pic.yml"]),
    ],
)
def test_schema_file_and_header(project: Path, pic: str, header: str, valid: list[str]) -> None:
    text = pn.patch_netlist_post(f"pics/{pic}", "", "schemas/netlist.json", "generic")
    assert text == f"{SCHEMA_HEADER}{header}\n" + reviewed(pic)
    written = (project / "schemas" / "netlist.json").read_text()
    assert written == json.dumps(json.loads(written))  # one line, the JSON defaults
    validator = Draft202012Validator(json.loads(written))
    for name in valid:
        netlist = yaml.safe_load((EXAMPLE_PICS / name).read_text())
        assert list(validator.iter_errors(netlist)) == [], name


@pytest.mark.parametrize("content", ["", "# nothing but a comment\n", "- a\n- b\n", "just text\n"])
def test_a_pic_that_is_no_mapping(project: Path, capsys, content: str) -> None:
    (project / "pics" / "touching.pic.yml").write_text(content)
    with pytest.raises(ValueError) as info:
        pn.patch_netlist_post("pics/touching.pic.yml", "", "", "generic")
    assert str(info.value) == NOT_A_NETLIST
    capsys.readouterr()
    assert run_command("pics/touching.pic.yml", "--outpath", "out/n.yml") == 1
    assert capsys.readouterr().err.endswith(f"error: {NOT_A_NETLIST}\n")
    assert list((project / "out").iterdir()) == []


@pytest.mark.parametrize("body", ["- a\n", "text", "null"])
def test_a_body_that_is_no_mapping_is_refused_though_the_pic_is_good(project, body) -> None:
    with pytest.raises(ValueError) as info:
        pn.patch_netlist_post("pics/touching.pic.yml", body, "", "generic")
    assert str(info.value) == NOT_A_NETLIST


def test_console_script_reads_stdin_and_writes_files(project: Path) -> None:
    env = {**os.environ, "PYTHONPATH": str(Path(lumencad.__file__).resolve().parents[1])}
    command = [sys.executable, "-m", "lumencad", "patch-netlist"]
    result = subprocess.run(
        [*command, "pics/mzi_delay.pic.yml", "--stdin", "--outpath", "out/sub/n.pic.yml"]
        + ["--schemapath", "build/schemas/netlist.json"],
        input=(project / "pics" / "mzi_delay.pic.yml").read_text(),
        cwd=project,
        env=env,
        capture_output=True,
        text=True,
    )
    assert (result.returncode, result.stdout) == (0, "")
    assert (project / "out" / "sub" / "n.pic.yml").read_text() == (
        f"{SCHEMA_HEADER}../build/schemas/netlist.json\n" + reviewed("mzi_delay.pic.yml")
    )
    assert (project / "build" / "schemas" / "netlist.json").is_file()

    missing = subprocess.run(
        [*command, "pics/nope.pic.yml", "--outpath", "never/n.yml"],
        cwd=project,
        env=env,
        capture_output=True,
        text=True,
    )
    assert (missing.returncode, missing.stdout, missing.stderr) == (
        1,
        "",
        "error: Path 'pics/nope.pic.yml' does not exist.\n",
    )
    assert not (project / "never").exists()


# --- YAML text -------------------------------------------------------------------

SHARED = {"x": 1, "y": [1.5, "two"]}
CYCLE: list[Any] = ["head"]
CYCLE.append(CYCLE)

GENERATED = {
    "numbers": {
        "ints": [0, -7, 2**70, -(2**64), True, False, None],
        "floats": [0.1, -0.0, 1e16, 1e-7, 200.0, 1 / 3, float("inf"), float("-inf"), float("nan")],
        "number-like text": ["1e3", "012", "0x1F", "1_000", ".5", "-.inf", "2024-01-02"],
    },
    "unicode": {
        "é": "naïve café",
        "中文": "电路 " * 30,
        "emoji": "😀 photon " * 12,
        "breaks": "a\nb\u2028c\x85d\r\ne",
        "controls": "bell\x07 tab\t nul\x00",
        "bom": "\ufeffx",
        "é" * 70: "long non-ASCII key",
    },
    "nested lists": [[[["deep"]]], [], [{}], [[1, [2, [3, []]]]], [{"a": [{"b": []}]}]],
    "anchors": {"a": SHARED, "b": [SHARED, {"again": SHARED}], "cycle": CYCLE},
    "keys": {
        "k" * 122: "longest simple key",
        "k" * 123: "one more",
        "k" * 128: "at the limit",
        "": "empty key",
        "key with blanks " * 8: "folded " * 30,
        "tab\tkey": 1,
    },
    "awkward text": ["", " lead", "trail ", "yes", "null", "~", "- a", "a: b", "#c", "'q'", '"d"']
    + ["x" * 200, "word " * 50, "it's", "[a]", "{b}", "*ref", "&anchor", "!tag", "|", ">"],
}


def random_tree(seed: int) -> dict[str, Any]:
    """Even seeds: printable ASCII only (the text libyaml's emitter can write);
    odd seeds: non-ASCII, tabs and line breaks too."""
    rnd = random.Random(seed)
    alphabet = "ab xyz:#-'\"\\,.?!{}[]&*|>%@`01" + ("é中😀\t\n\u2028" if seed % 2 else "")

    def text() -> str:
        return "".join(
            rnd.choice(alphabet) for _ in range(rnd.choice([0, 1, 3, 12, 60, 121, 130, 300]))
        )

    def key() -> str:
        # Even seeds keep keys to what both emitters write as simple keys.
        return text() if seed % 2 else text()[:122] or "k"

    def value(depth: int) -> Any:
        kind = rnd.randrange(8 if depth < 8 else 5)
        if kind == 0:
            return rnd.choice([0, -3, 10**25, 0.5, 1e300, -0.0, True, None])
        if kind < 5:
            return text()
        if kind < 7:
            return {key(): value(depth + 1) for _ in range(rnd.randrange(4))}
        return [value(depth + 1) for _ in range(rnd.randrange(4))]

    tree = {"instances": value(0), "info": value(0)}
    tree["again"] = tree["info"]
    return tree


@pytest.fixture
def stub_pipeline(monkeypatch: pytest.MonkeyPatch, tmp_path: Path):
    """The POST entry around a pipeline that records its input and returns `result`."""
    pic = tmp_path / "top.pic.yml"
    pic.write_text("instances: {}\n")
    received: list[Any] = []
    monkeypatch.setattr(pn, "import_pdk", lambda name: SimpleNamespace(activate=lambda: None))
    monkeypatch.setattr(pn, "register_cells", lambda picsdir, verbose: None)

    def post(body: str, result: Any) -> str:
        def pipeline(name: str, netlist: Any) -> Any:
            received.append(netlist)
            return result

        monkeypatch.setattr(pn, "_patch_netlist", pipeline)
        return pn.patch_netlist_post(str(pic), body, "", "generic")

    return post, received


@pytest.mark.parametrize(
    "tree",
    [*GENERATED.values(), *(random_tree(seed) for seed in range(30))],
    ids=[*GENERATED, *(f"random-{seed}" for seed in range(30))],
)
def test_dump_and_parse_match_the_pure_python_yaml(stub_pipeline, tree: Any) -> None:
    post, received = stub_pipeline
    annotated = copy.deepcopy({"pdk": "", "tree": tree})
    expected = copy.deepcopy(annotated)
    expected["pdk"] = "generic"
    assert post("tree: 1\n", annotated) == NO_SCHEMA + yaml.dump(
        expected, Dumper=yaml.SafeDumper, sort_keys=False
    )

    body = yaml.dump(expected, Dumper=yaml.SafeDumper, sort_keys=False)
    post(body, {"pdk": ""})
    pure = yaml.load(body, Loader=yaml.SafeLoader)
    assert repr(received[-1]) == repr(pure)


def test_hand_written_yaml_parses_as_the_pure_python_loader_reads_it(stub_pipeline) -> None:
    post, received = stub_pipeline
    body = (
        "--- # a pic written by hand\n"
        "base: &base {component: straight, settings: {length: 10.0, width: .5}}\n"
        "instances:\n"
        "  s1: *base\n"
        "  s2:\n    <<: *base\n    settings: {length: 2e3}\n"
        "  'quoted, name': {component: \"bend\\u00e9\"}\n"
        "notes: |\n  first line\n  second line\n"
        "folded: >\n  one\n  two\n"
        "plain: a multi\n  line plain scalar\n"
        "when: 2024-01-02\n"
        "flags: [yes, no, on, off, ~, null, true]\n"
        "numbers: [0o17, 0x1f, 1_000, -.inf, .nan, 6.02e+23]\n"
        "...\n"
    )
    post(body, {"pdk": ""})
    assert repr(received[-1]) == repr(yaml.load(body, Loader=yaml.SafeLoader))


WITHOUT_LIBYAML = """
import sys, tempfile, types, yaml
del yaml.CSafeLoader, yaml.CSafeDumper  # a PyYAML built without libyaml
from lumencad.core.cli import patch_netlist as pn
pn.import_pdk = lambda name: types.SimpleNamespace(activate=lambda: None)
pn.register_cells = lambda picsdir, verbose: None
pn._patch_netlist = lambda name, netlist: netlist
with tempfile.NamedTemporaryFile("w", suffix=".pic.yml") as pic:
    sys.stdout.write(pn.patch_netlist_post(pic.name, sys.stdin.read(), "", "generic"))
"""


def test_without_libyaml_the_pure_python_classes_serve() -> None:
    netlist = {"pdk": "", "instances": {"a": {"component": "straight"}}, "note": "café"}
    result = subprocess.run(
        [sys.executable, "-c", WITHOUT_LIBYAML],
        input=yaml.safe_dump(netlist, sort_keys=False),
        env={**os.environ, "PYTHONPATH": str(Path(lumencad.__file__).resolve().parents[1])},
        capture_output=True,
        text=True,
    )
    netlist["pdk"] = "generic"
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == NO_SCHEMA + yaml.safe_dump(netlist, sort_keys=False)
