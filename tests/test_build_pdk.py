"""The build_pdk command (build folder, PDK setup, warnings, outputs of the generic PDK),
and the argument checks, defaults and interface of both builder commands.

The per-cell loop build_pdk shares with build_pics is covered in test_build_pics.py.
"""

from __future__ import annotations

import inspect
import os
import subprocess
import sys
import warnings
from pathlib import Path

import gdstk
import lumencad
import pytest
import typer
from lumencad.core.cli import build_pdk as bd
from lumencad.core.cli import build_pics as bp
from lumencad.core.cli.app import app
from lumencad.settings import SETTINGS
from typer.testing import CliRunner

PACKAGE_ROOT = str(Path(lumencad.__file__).resolve().parents[1])

pytestmark = pytest.mark.usefixtures("restore_pdk")


def run(*args: str) -> tuple[int, str, str]:
    result = CliRunner().invoke(app, ["build-pdk", *args])
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    return result.exit_code, result.stdout, result.stderr


def test_generic_pdk_builds_every_cell_in_order(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "lumencad", "build-pdk", "out", "--on-error", "stop"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
        cwd=tmp_path,
    )
    gds, log = tmp_path / "out" / "gds" / "pdk", tmp_path / "out" / "log" / "pdk"
    names = list(bd.import_pdk("generic").cells)
    assert (result.returncode, result.stderr) == (0, f"{len(names)} cells built, 0 failed.\n")
    assert result.stdout == "".join(f"[ pdk  ] {n}... SUCCESS. -> {gds}/{n}.gds\n" for n in names)
    for name in names:
        assert gdstk.read_gds(str(gds / f"{name}.gds")).top_level()[0].name == name
        assert (log / f"{name}.log").read_text() == f"SUCCESS: Succesfully built '{name}.gds'.\n"
    # Ports files, byte for byte as reviewed against each cell's geometry.
    expected = Path(__file__).parent / "expected" / "ports" / "generic"
    written = {p.name: p.read_bytes() for p in (gds / "ports").iterdir()}
    assert written == {p.name: p.read_bytes() for p in expected.iterdir()}


@pytest.mark.filterwarnings("ignore:building")
def test_folders_are_created_before_the_pdk_is_imported(tmp_path: Path, fake_pdk) -> None:
    build_path = tmp_path / "a" / "b"
    outcomes = {"mmi": "ok", "bad": ValueError("no"), "never": "ok"}
    pdk = fake_pdk(outcomes, pdk_cells=outcomes)
    assert run(str(build_path), "--pdk", " MyPdk ", "--on-error", " STOP ") == (
        1,
        f"[ pdk  ] mmi... SUCCESS. -> {build_path}/gds/pdk/mmi.gds\n[ pdk  ] bad... FAILED.\n",
        f"FAILED bad: ValueError: no (log: {build_path}/log/pdk/bad.log)\nno\n"
        "1 cell built, 1 failed.\n",
    )
    assert (pdk.requested, pdk.active) == (["mypdk"], True)
    made = ["a", "a/b", "a/b/gds", "a/b/gds/pdk", "a/b/gds/pdk/ports", "a/b/log", "a/b/log/pdk"]
    assert pdk.folders_at_import == made
    ports, log = build_path / "gds" / "pdk" / "ports" / "mmi.json", build_path / "log" / "pdk"
    assert ports.read_text() == '{"o1": "w", "o2": "e"}'
    assert (log / "mmi.log").read_text() == (
        "building mmi\nSUCCESS: Succesfully built 'mmi.gds'.\nwriting mmi\n"
    )
    assert sorted(p.name for p in log.iterdir()) == ["bad.log", "mmi.log"]  # "never" not built


class Text(str):
    pass


CHECKS = {
    "pics": bp._validate_build_pics_args,
    "pdk": bd._validate_build_pdk_args,
    "pics command": bp.build_pics,
    "pdk command": bd.build_pdk,
}
BAD_ON_ERROR = ValueError("Invalid on_error 'error': expected 'continue' or 'stop'.")


def type_error(name: str, got: str) -> TypeError:
    return TypeError(f"Argument {name!r} has incorrect type (expected str, got {got})")


@pytest.mark.parametrize(
    ("check", "args", "expected"),
    [
        ("pics", ("{d}", " MyPdk ", " STOP "), ("{d}", "mypdk", "stop")),
        ("pics", ("{d}/f", "generic", "Continue"), ("{d}", "generic", "continue")),
        ("pics", ("{d}/sub/..", "generic", "stop"), ("{d}", "generic", "stop")),
        ("pics", ("{d}/missing", "generic", "stop"), ValueError("Path does not exist.")),
        ("pics", ("{d}", "generic", "error"), BAD_ON_ERROR),
        ("pics", (1, "generic", "stop"), type_error("path", "int")),
        ("pics", ("{d}", None, "stop"), type_error("pdk", "NoneType")),
        ("pics command", ("{d}/missing", "generic", Text("stop")), type_error("on_error", "Text")),
        ("pdk", ("{d}/x/..", " GeNeric ", " Continue "), ("{d}", "generic", "continue")),
        ("pdk", ("{d}/f", "generic", "stop"), ValueError("Given build path is not a directory")),
        ("pdk", ("{d}/new", "generic", "error"), BAD_ON_ERROR),
        ("pdk", (1, "generic", "stop"), type_error("path", "int")),
        ("pdk", ("{d}/new", "generic", 1.0), type_error("on_error", "float")),
        ("pdk command", ("{d}/new", Text("x"), "stop"), type_error("pdk", "Text")),
    ],
)
def test_argument_checks_create_nothing(tmp_path: Path, check, args, expected) -> None:
    (tmp_path / "sub").mkdir()
    (tmp_path / "f").write_text("")
    args = [a.format(d=tmp_path) if type(a) is str else a for a in args]
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            CHECKS[check](*args)
        assert str(info.value) == str(expected)
    else:
        assert CHECKS[check](*args) == tuple(e.format(d=tmp_path) for e in expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f", "sub"]


@pytest.mark.parametrize(
    ("cells", "path", "raised"),
    [
        ({"a": "ok"}, "{d}", typer.Exit),
        ({"a": KeyboardInterrupt()}, "{d}", KeyboardInterrupt),
        ({"a": "ok"}, "{d}/file", ValueError),
        ({}, "{d}/new", typer.Exit),
    ],
)
def test_setup_warnings_are_hidden_and_state_restored(tmp_path, fake_pdk, cells, path, raised):
    (tmp_path / "file").write_text("")
    fake_pdk(cells, pdk_cells=cells)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        state = (sys.stdout, sys.stderr, warnings.filters, list(warnings.filters))
        with pytest.raises(raised) as info:
            bd.build_pdk(path.format(d=tmp_path), "fake", "stop")
        assert (sys.stdout, sys.stderr, warnings.filters, list(warnings.filters)) == state
    assert getattr(info.value, "exit_code", 0) == 0
    # Only the setup is silenced: a warning while a cell builds is still issued.
    built = [] if raised is ValueError else list(cells)
    assert [str(w.message) for w in caught] == [f"building {name}" for name in built]
    if not cells:  # no cells: nothing per cell, but the folders are there
        made = sorted(str(p.relative_to(tmp_path / "new")) for p in (tmp_path / "new").rglob("*"))
        assert made == ["gds", "gds/pdk", "gds/pdk/ports", "log", "log/pdk"]


SETTINGS_CHECK = """
from lumencad.settings import SETTINGS
SETTINGS.pdk.name = {value}
try:
    import lumencad.core.cli.{module} as m
except BaseException as exc:
    print(type(exc).__name__, exc)
else:
    print(m.{module}.__defaults__)
"""


@pytest.mark.parametrize("module", ["build_pdk", "build_pics"])
@pytest.mark.parametrize(
    ("value", "expected"),
    [("5", "TypeError Expected str, got int"), ("None", "(None, 'continue')")],
)
def test_default_pdk_must_be_a_string_or_none(module: str, value: str, expected: str) -> None:
    script = SETTINGS_CHECK.format(value=value, module=module)
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert result.stdout == expected + "\n"


ARGS_DOC = (
    "\n\n    Args:\n        path: path to {} directory.\n        pdk: process design kit.\n"
    "        on_error: what to do on error.\n    "
)


@pytest.mark.parametrize(
    ("command", "function", "signature", "doc"),
    [
        (
            "build-pics",
            bp.build_pics,
            "(path: 'str', pdk: 'str' = {pdk!r}, on_error: 'str' = 'continue')",
            "Build GDS from pics directory." + ARGS_DOC.format("pics"),
        ),
        (
            "build-pdk",
            bd.build_pdk,
            "(path, pdk: 'str' = {pdk!r}, on_error: 'str' = 'continue') -> 'None'",
            "Build GDS from PDK." + ARGS_DOC.format("build"),
        ),
    ],
)
def test_commands_show_their_interface(command, function, signature, doc) -> None:
    assert str(inspect.signature(function)) == signature.format(pdk=SETTINGS.pdk.name)
    assert function.__doc__ == doc
    result = CliRunner().invoke(app, [command, "--help"])
    assert result.exit_code == 0
    assert doc.splitlines()[0] in result.stdout
    assert "--pdk" in result.stdout and "--on-error" in result.stdout
