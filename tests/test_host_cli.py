"""The command-line application, its entry point and the watch argument check."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import lumencad
import polyloom
import pytest
import typer
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
        "ModuleNotFoundError: No module named 'lumencad_missing_commands'\n"
    )


def test_version() -> None:
    result = run_cli("--version")
    assert (result.returncode, result.stdout, result.stderr) == (0, "lumencad 0.1.0\n", "")
    assert lumencad.__version__ == "0.1.0"


# A core module whose collaborator fails at import: the caller gets that very
# exception, and the console names it.
BAD_DEFAULT_PDK = """
import sys
from lumencad.settings import SETTINGS
SETTINGS.pdk.name = 5
try:
    import lumencad.core.cli.build_pics
except Exception as exc:
    print(type(exc).__name__, exc)
from lumencad.core.cli.main import main
main(["pdks"])
"""


def test_collaborator_failure_at_import_reaches_the_caller_unchanged() -> None:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT)}
    result = subprocess.run(
        [sys.executable, "-c", BAD_DEFAULT_PDK], env=env, capture_output=True, text=True
    )
    assert (result.returncode, result.stdout, result.stderr) == (
        1,
        "TypeError Expected str, got int\n",
        "error: Cannot load command module 'lumencad.core.cli.build_pics': "
        "TypeError: Expected str, got int\n",
    )


@pytest.mark.parametrize("args", [["--help"], ["build-pics", "--help"], ["--version"]])
def test_broken_settings_leave_help_working(tmp_path: Path, args: list[str]) -> None:
    (tmp_path / "pyproject.toml").write_text("[tool.lumencad]\npdk = \n")
    result = run_cli(*args, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout


@pytest.mark.parametrize("args", [["pdks"], ["build-pics", "."], ["build-pdk", "out"]])
def test_broken_settings_are_a_one_line_error(tmp_path: Path, args: list[str]) -> None:
    (tmp_path / "pyproject.toml").write_text("[tool.lumencad]\npdk = \n")
    result = run_cli(*args, cwd=tmp_path)
    message = f"Cannot parse {tmp_path / 'pyproject.toml'}: Invalid value (at line 2, column 7)"
    assert (result.returncode, result.stdout, result.stderr) == (1, "", f"error: {message}\n")
    assert not (tmp_path / "out").exists()


def _interrupt() -> None:
    raise KeyboardInterrupt


@pytest.mark.parametrize("when", ["loading", "running"])
def test_ctrl_c_exits_130_with_one_line(tmp_path, monkeypatch, capsys, when: str) -> None:
    if when == "loading":
        (tmp_path / "interrupting_commands.py").write_text("raise KeyboardInterrupt\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        monkeypatch.setattr(cli_main, "COMMAND_MODULES", ("interrupting_commands",))
    else:
        app = typer.Typer()
        app.callback()(lambda: None)
        app.command("wait")(_interrupt)
        monkeypatch.setattr(cli_main, "app", app)
    with pytest.raises(SystemExit) as info:
        cli_main.main(["wait"])
    assert (info.value.code, capsys.readouterr().err) == (130, "Aborted!\n")


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
