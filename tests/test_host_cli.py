"""The command-line application, its entry point and the watch argument check."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import lumencad
import polyloom
import pytest
from lumencad.core.cli import main as cli_main
from lumencad.core.cli.watch import validate_args

REPO = Path(__file__).resolve().parents[1]
# The folder that holds the lumencad under test (the source tree or site-packages).
PACKAGE_ROOT = Path(lumencad.__file__).resolve().parents[1]


def run_cli(*args: str, cwd: Path = REPO) -> subprocess.CompletedProcess:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT)}
    env.pop("LUMENCAD_PDK", None)
    return subprocess.run(
        [sys.executable, "-m", "lumencad", *args], cwd=cwd, env=env, capture_output=True, text=True
    )


def test_pdks_command_lists_generic() -> None:
    result = run_cli("pdks")
    assert (result.returncode, result.stdout, result.stderr) == (0, "generic\n", "")


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["build-pdk", "README.md"], "Given build path is not a directory"),
        (["build-pics", "missing-folder"], "Path does not exist."),
    ],
)
def test_command_errors_are_one_line(args: list[str], message: str) -> None:
    result = run_cli(*args)
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"error: {message}\n")


def test_command_module_that_fails_to_load(monkeypatch, capsys) -> None:
    monkeypatch.setattr(cli_main, "COMMAND_MODULES", ("lumencad_missing_commands",))
    with pytest.raises(SystemExit) as info:
        cli_main.main(["pdks"])
    assert info.value.code == 1
    assert capsys.readouterr().err == (
        "error: Cannot load command module 'lumencad_missing_commands': "
        "No module named 'lumencad_missing_commands'\n"
    )


def test_validate_args_activates_pdk_or_names_a_missing_path(tmp_path, monkeypatch, restore_pdk):
    module = tmp_path / "fab_watch.py"
    module.write_text("import polyloom\nPDK = polyloom.Pdk('fab')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.chdir(tmp_path)
    assert validate_args("fab_watch.py", "  FAB_Watch ") == (str(module), "fab_watch")
    assert polyloom.get_active_pdk().name == "fab"
    with pytest.raises(ValueError) as info:
        validate_args(str(tmp_path / "nope"), "generic")
    assert str(info.value) == f"Path does not exist: {tmp_path / 'nope'}"
