"""The build_pdk command: build folder, PDK setup, warnings, outputs of the generic PDK.

The per-cell loop it shares with build_pics is covered in test_build_pics.py.
"""

from __future__ import annotations

import inspect
import json
import os
import subprocess
import sys
import warnings
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import lumencad
import pytest
import typer
from lumencad.core.cli import build_pdk as bd
from lumencad.core.cli import build_pics as bp
from lumencad.core.cli.app import app
from lumencad.core.netlist import _try_get_ports
from lumencad.settings import SETTINGS
from typer.testing import CliRunner

PACKAGE_ROOT = str(Path(lumencad.__file__).resolve().parents[1])

pytestmark = pytest.mark.usefixtures("restore_pdk")


class FakePdk:
    """A PDK that warns while set up and records what the command did before importing it."""

    def __init__(self, cells: dict[str, Any], build_path: Path) -> None:
        self.cells, self.build_path = cells, build_path
        self.requested: list[str] = []
        self.folders_at_import: list[str] = []
        self.active = False

    def imported_as(self, name: str) -> FakePdk:
        warnings.warn("importing a fake PDK", DeprecationWarning, stacklevel=2)
        self.requested.append(name)
        found = self.build_path.rglob("*") if self.build_path.exists() else []
        self.folders_at_import = sorted(str(p.relative_to(self.build_path)) for p in found)
        return self

    def activate(self) -> None:
        warnings.warn("activating a fake PDK", UserWarning, stacklevel=2)
        self.active = True

    def get_component(self, name: str) -> Any:
        print(f"building {name}")
        warnings.warn(f"building {name}", UserWarning, stacklevel=2)
        outcome = self.cells[name]
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


class FakeComponent:
    def write_gds(self, path: str) -> None:
        Path(path).write_text("layout")


@pytest.fixture
def fake_pdk(monkeypatch: pytest.MonkeyPatch):
    def install(cells: dict[str, Any], build_path: Path) -> FakePdk:
        pdk = FakePdk(cells, build_path)
        monkeypatch.setattr(bd, "import_pdk", pdk.imported_as)
        monkeypatch.setattr(bd, "pl", SimpleNamespace(get_component=pdk.get_component))
        monkeypatch.setattr(bd, "_try_get_ports", lambda comp: {"o1": "w"})
        return pdk

    return install


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
    generic = bd.import_pdk("generic")
    names = list(generic.cells)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "".join(f"[ pdk  ] {n}... SUCCESS. -> {gds}/{n}.gds\n" for n in names)
    for name in names:
        assert (gds / f"{name}.gds").read_bytes()[:4] == b"\x00\x06\x00\x02"
        ports = json.dumps(_try_get_ports(generic.get_component(name)))
        assert (gds / "ports" / f"{name}.json").read_text() == ports
        assert (log / f"{name}.log").read_text() == f"SUCCESS: Succesfully built '{name}.gds'.\n"


@pytest.mark.filterwarnings("ignore:building")
def test_folders_are_created_before_the_pdk_is_imported(tmp_path: Path, fake_pdk) -> None:
    build_path = tmp_path / "a" / "b"
    pdk = fake_pdk({"mmi": FakeComponent(), "bad": ValueError("no")}, build_path)
    code, out, err = run(str(build_path), "--pdk", " MyPdk ", "--on-error", " STOP ")
    assert (code, err) == (1, "no\n")
    assert out == (
        f"[ pdk  ] mmi... SUCCESS. -> {build_path}/gds/pdk/mmi.gds\n[ pdk  ] bad... FAILED.\n"
    )
    assert (pdk.requested, pdk.active) == (["mypdk"], True)
    assert pdk.folders_at_import == ["gds", "gds/pdk", "gds/pdk/ports", "log", "log/pdk"]
    assert (build_path / "gds" / "pdk" / "ports" / "mmi.json").read_text() == '{"o1": "w"}'
    assert (build_path / "log" / "pdk" / "mmi.log").read_text() == (
        "building mmi\nSUCCESS: Succesfully built 'mmi.gds'.\n"
    )


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("{d}/x/..", " GeNeric ", " Continue "), ("{d}", "generic", "continue")),
        (("{d}/file", "generic", "stop"), ValueError("Given build path is not a directory")),
        (
            ("{d}/new", "generic", "error"),
            ValueError("Invalid on_error 'error': expected 'continue' or 'stop'."),
        ),
        (
            (1, "generic", "stop"),
            TypeError("Argument 'path' has incorrect type (expected str, got int)"),
        ),
        (
            ("{d}/new", "generic", 1.0),
            TypeError("Argument 'on_error' has incorrect type (expected str, got float)"),
        ),
    ],
)
def test_validation_creates_nothing_it_rejects(tmp_path: Path, args, expected) -> None:
    (tmp_path / "file").write_text("")
    args = [a.format(d=tmp_path) if isinstance(a, str) else a for a in args]
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            bd._validate_build_pdk_args(*args)
        assert str(info.value) == str(expected)
    else:
        assert bd._validate_build_pdk_args(*args) == tuple(e.format(d=tmp_path) for e in expected)
    assert [p.name for p in tmp_path.iterdir()] == ["file"]


@pytest.mark.parametrize(
    ("cells", "path", "raised"),
    [
        ({"a": FakeComponent()}, "{d}", typer.Exit),
        ({"a": KeyboardInterrupt()}, "{d}", KeyboardInterrupt),
        ({"a": FakeComponent()}, "{d}/file", ValueError),
        ({}, "{d}/new", typer.Exit),
    ],
)
def test_setup_warnings_are_hidden_and_state_restored(tmp_path, fake_pdk, cells, path, raised):
    (tmp_path / "file").write_text("")
    fake_pdk(cells, tmp_path)
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
    while exc.__cause__ is not None:
        exc = exc.__cause__
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
