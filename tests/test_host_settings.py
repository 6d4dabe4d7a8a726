"""Where the default PDK name comes from: environment, project file, default."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import lumencad
import pytest
from lumencad.settings import load_settings

# The folder that holds the lumencad under test (the source tree or site-packages).
PACKAGE_ROOT = Path(lumencad.__file__).resolve().parents[1]


@pytest.mark.parametrize(
    ("env", "table", "expected"),
    [
        ({"LUMENCAD_PDK": "fab_a"}, 'pdk = "fab_b"', "fab_a"),
        ({"LUMENCAD_PDK": "  "}, 'pdk = "fab_b"', "fab_b"),
        ({}, 'pdk = "fab_b"', "fab_b"),
        ({}, 'pics = "circuits"', "generic"),
        ({}, None, "generic"),
    ],
)
def test_pdk_name_precedence(tmp_path: Path, env, table, expected) -> None:
    if table is not None:
        (tmp_path / "pyproject.toml").write_text(f"[tool.lumencad]\n{table}\n")
    # A nearer pyproject.toml without a lumencad table does not hide the project's.
    nested = tmp_path / "pics" / "sub"
    nested.mkdir(parents=True)
    (nested / "pyproject.toml").write_text("[project]\nname = 'x'\n")
    assert load_settings(environ=env, cwd=nested).pdk.name == expected


@pytest.mark.parametrize(
    ("table", "message"),
    [
        ("pdk = 3", "Invalid 'pdk' in [tool.lumencad] of {p}: expected a non-empty string, got 3."),
        (
            'pics = ""',
            "Invalid 'pics' in [tool.lumencad] of {p}: expected a non-empty string, got ''.",
        ),
    ],
)
def test_bad_project_setting_names_file_and_value(tmp_path: Path, table, message) -> None:
    (tmp_path / "pyproject.toml").write_text(f"[tool.lumencad]\n{table}\n")
    with pytest.raises(ValueError) as info:
        load_settings(environ={}, cwd=tmp_path)
    assert str(info.value) == message.format(p=tmp_path / "pyproject.toml")


@pytest.mark.parametrize(("env_pdk", "expected"), [(None, "from_file"), ("from_env", "from_env")])
def test_settings_are_read_at_import(tmp_path: Path, env_pdk, expected) -> None:
    (tmp_path / "pyproject.toml").write_text('[tool.lumencad]\npdk = "from_file"\n')
    env = {k: v for k, v in os.environ.items() if k != "LUMENCAD_PDK"}
    env["PYTHONPATH"] = str(PACKAGE_ROOT)
    if env_pdk is not None:
        env["LUMENCAD_PDK"] = env_pdk
    code = "from lumencad.settings import SETTINGS; print(SETTINGS.pdk.name)"
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True
    ).stdout
    assert out == f"{expected}\n"


def test_broken_project_file_is_kept_as_the_settings_error(tmp_path: Path) -> None:
    (tmp_path / "pyproject.toml").write_text("[tool.lumencad]\npdk = \n")
    env = {k: v for k, v in os.environ.items() if k != "LUMENCAD_PDK"}
    env["PYTHONPATH"] = str(PACKAGE_ROOT)
    code = (
        "from lumencad.settings import SETTINGS, check_settings\n"
        "print(SETTINGS.pdk.name)\n"
        "try:\n    check_settings()\nexcept ValueError as exc:\n    print(exc)\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True
    )
    message = f"Cannot parse {tmp_path / 'pyproject.toml'}: Invalid value (at line 2, column 7)"
    assert (result.stdout, result.stderr) == (f"None\n{message}\n", "")


CORES = len(os.sched_getaffinity(0))
TABLE = 'jobs = 3\nscheduler = "tcp://10.0.0.5:8786"'


@pytest.mark.parametrize(
    ("env", "table", "expected"),
    [
        ({}, None, (1, None)),
        ({}, TABLE, (3, "tcp://10.0.0.5:8786")),
        (
            {"LUMENCAD_JOBS": " 4 ", "LUMENCAD_SCHEDULER": " localhost:8786"},
            TABLE,
            (4, "localhost:8786"),
        ),
        ({"LUMENCAD_JOBS": "", "LUMENCAD_SCHEDULER": "  "}, TABLE, (3, "tcp://10.0.0.5:8786")),
        ({"LUMENCAD_JOBS": "Auto"}, None, (CORES, None)),
        ({"LUMENCAD_JOBS": "0"}, "jobs = 3", (CORES, None)),
        ({}, 'jobs = "auto"', (CORES, None)),
        ({}, "jobs = 0", (CORES, None)),
    ],
)
def test_jobs_and_scheduler(tmp_path: Path, env, table, expected) -> None:
    if table is not None:
        (tmp_path / "pyproject.toml").write_text(f"[tool.lumencad]\n{table}\n")
    settings = load_settings(environ=env, cwd=tmp_path)
    assert (settings.jobs, settings.scheduler) == expected


JOBS = "expected a whole number of workers, or 0 or 'auto' for one per core, got {}."
ADDRESS = "expected a Dask scheduler address such as 'tcp://host:8786', got {}."


@pytest.mark.parametrize(
    ("env", "table", "message"),
    [
        ({}, "jobs = -1", "Invalid 'jobs' in [tool.lumencad] of {p}: " + JOBS.format("-1")),
        ({}, "jobs = true", "Invalid 'jobs' in [tool.lumencad] of {p}: " + JOBS.format("True")),
        ({}, "jobs = 2.0", "Invalid 'jobs' in [tool.lumencad] of {p}: " + JOBS.format("2.0")),
        ({"LUMENCAD_JOBS": "many"}, None, "Invalid LUMENCAD_JOBS: " + JOBS.format("'many'")),
        ({"LUMENCAD_JOBS": "-2"}, None, "Invalid LUMENCAD_JOBS: " + JOBS.format("'-2'")),
        (
            {},
            "scheduler = 8786",
            "Invalid 'scheduler' in [tool.lumencad] of {p}: " + ADDRESS.format("8786"),
        ),
        (
            {},
            'scheduler = ""',
            "Invalid 'scheduler' in [tool.lumencad] of {p}: " + ADDRESS.format("''"),
        ),
        (
            {"LUMENCAD_SCHEDULER": "tcp://a b:1"},
            None,
            "Invalid LUMENCAD_SCHEDULER: " + ADDRESS.format("'tcp://a b:1'"),
        ),
    ],
)
def test_bad_jobs_or_scheduler_names_the_value(tmp_path: Path, env, table, message) -> None:
    if table is not None:
        (tmp_path / "pyproject.toml").write_text(f"[tool.lumencad]\n{table}\n")
    with pytest.raises(ValueError) as info:
        load_settings(environ=env, cwd=tmp_path)
    assert str(info.value) == message.format(p=tmp_path / "pyproject.toml")


def test_a_bad_jobs_variable_is_a_one_line_error_of_the_command(tmp_path: Path) -> None:
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT), "LUMENCAD_JOBS": "many"}
    command = [sys.executable, "-m", "lumencad", "build-pdk", "out"]
    result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True)
    message = "error: Invalid LUMENCAD_JOBS: " + JOBS.format("'many'")
    assert (result.returncode, result.stdout, result.stderr) == (1, "", message + "\n")
    assert not (tmp_path / "out").exists()
