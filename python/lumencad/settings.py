"""Settings of lumencad, read once when this module is imported.

The default PDK name comes from, first match wins:

1. the environment variable ``LUMENCAD_PDK``;
2. the ``pdk`` key of the ``[tool.lumencad]`` table of the nearest
   ``pyproject.toml`` holding such a table, from the working directory upwards;
3. ``"generic"``.

The same table may hold ``jobs``, the number of worker processes the builders
use (``LUMENCAD_JOBS`` overrides it; 0 or "auto" means one per available core;
default 1, a sequential build), and ``scheduler``, the address of a Dask
scheduler that builds cells instead of local workers (``LUMENCAD_SCHEDULER``
overrides it).

A project file that cannot be read or holds an invalid table does not stop
the import: ``SETTINGS.error`` then says why, ``SETTINGS.pdk.name`` is None,
and ``check_settings()`` raises that error for the commands that need them;
an invalid ``LUMENCAD_JOBS`` or ``LUMENCAD_SCHEDULER`` is kept the same way.
"""

from __future__ import annotations

import os
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "AUTO_JOBS",
    "DEFAULT_JOBS",
    "DEFAULT_PDK",
    "DEFAULT_PICS",
    "JOBS_ENV_VAR",
    "PDK_ENV_VAR",
    "PYPROJECT",
    "PdkSettings",
    "ProjectConfig",
    "SCHEDULER_ENV_VAR",
    "SETTINGS",
    "Settings",
    "available_cores",
    "check_settings",
    "find_project_config",
    "load_settings",
    "parse_jobs",
    "parse_scheduler",
    "read_project_config",
]

PDK_ENV_VAR = "LUMENCAD_PDK"
JOBS_ENV_VAR = "LUMENCAD_JOBS"
SCHEDULER_ENV_VAR = "LUMENCAD_SCHEDULER"
DEFAULT_PDK = "generic"
DEFAULT_JOBS = 1
AUTO_JOBS = "auto"
DEFAULT_PICS = "pics"
PYPROJECT = "pyproject.toml"


@dataclass(frozen=True)
class ProjectConfig:
    """The ``[tool.lumencad]`` table of one project's ``pyproject.toml``."""

    dir: Path
    pdk: str | None = None
    pics: str = DEFAULT_PICS
    jobs: int | None = None
    scheduler: str | None = None

    @property
    def pics_dir(self) -> Path:
        return self.dir / self.pics


@dataclass
class PdkSettings:
    name: str | None = DEFAULT_PDK


@dataclass
class Settings:
    pdk: PdkSettings = field(default_factory=PdkSettings)
    # Worker processes of a build (at least 1); ignored when `scheduler` is set.
    jobs: int = DEFAULT_JOBS
    # Address of the Dask scheduler that builds cells, or None for local builds.
    scheduler: str | None = None
    # Why the project's settings could not be read; None when they were.
    error: str | None = None


def _string_setting(table: dict[str, Any], key: str, pyproject: Path) -> str | None:
    value = table.get(key)
    if value is None:
        return None
    if not isinstance(value, str) or not value.strip():
        raise ValueError(
            f"Invalid {key!r} in [tool.lumencad] of {pyproject}: "
            f"expected a non-empty string, got {value!r}."
        )
    return value


def available_cores() -> int:
    """The number of cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def parse_jobs(value: object, where: str) -> int:
    """A number of build workers: a whole number, 0 or "auto" meaning one per
    available core. ``where`` names the setting in the error."""
    if isinstance(value, str):
        text = value.strip().lower()
        if text == AUTO_JOBS:
            return available_cores()
        if text.isascii() and text.isdigit():
            value = int(text)
    if type(value) is int and value >= 0:
        return value or available_cores()
    raise ValueError(
        f"Invalid {where}: expected a whole number of workers, or 0 or 'auto' "
        f"for one per core, got {value!r}."
    )


def parse_scheduler(value: object, where: str) -> str:
    """A Dask scheduler address: a string without blanks, e.g. "tcp://host:8786"."""
    if isinstance(value, str) and value.strip() and not any(c.isspace() for c in value.strip()):
        return value.strip()
    raise ValueError(
        f"Invalid {where}: expected a Dask scheduler address such as "
        f"'tcp://host:8786', got {value!r}."
    )


def read_project_config(pyproject: Path) -> ProjectConfig | None:
    """The project config of one ``pyproject.toml``; None if it has no lumencad table."""
    try:
        with open(pyproject, "rb") as f:
            data = tomllib.load(f)
    except tomllib.TOMLDecodeError as exc:
        raise ValueError(f"Cannot parse {pyproject}: {exc}") from exc
    except OSError as exc:
        raise ValueError(f"Cannot read {pyproject}: {exc.strerror or exc}") from exc
    table = data.get("tool", {}).get("lumencad")
    if table is None:
        return None
    if not isinstance(table, dict):
        raise ValueError(f"[tool.lumencad] of {pyproject} must be a table, got {table!r}.")
    jobs, scheduler = table.get("jobs"), table.get("scheduler")
    if jobs is not None:
        jobs = parse_jobs(jobs, f"'jobs' in [tool.lumencad] of {pyproject}")
    if scheduler is not None:
        scheduler = parse_scheduler(scheduler, f"'scheduler' in [tool.lumencad] of {pyproject}")
    return ProjectConfig(
        dir=pyproject.parent,
        pdk=_string_setting(table, "pdk", pyproject),
        pics=_string_setting(table, "pics", pyproject) or DEFAULT_PICS,
        jobs=jobs,
        scheduler=scheduler,
    )


def find_project_config(start: str | os.PathLike[str] | None = None) -> ProjectConfig | None:
    """The nearest project config from ``start`` (default: the working directory) upwards."""
    folder = Path(os.path.abspath(start if start is not None else os.getcwd()))
    for candidate in (folder, *folder.parents):
        pyproject = candidate / PYPROJECT
        if os.path.isfile(pyproject):
            config = read_project_config(pyproject)
            if config is not None:
                return config
    return None


def load_settings(
    environ: dict[str, str] | None = None, cwd: str | os.PathLike[str] | None = None
) -> Settings:
    """Settings from the environment, the nearest project, or the defaults.

    A variable that is unset or blank leaves its setting to the project.
    """
    environ = os.environ if environ is None else environ
    name = environ.get(PDK_ENV_VAR, "").strip()
    jobs_text = environ.get(JOBS_ENV_VAR, "")
    scheduler_text = environ.get(SCHEDULER_ENV_VAR, "")
    jobs = parse_jobs(jobs_text, JOBS_ENV_VAR) if jobs_text.strip() else None
    scheduler = None
    if scheduler_text.strip():
        scheduler = parse_scheduler(scheduler_text, SCHEDULER_ENV_VAR)
    if not (name and jobs is not None and scheduler is not None):
        config = find_project_config(cwd)
        if config is not None:
            name = name or config.pdk or ""
            jobs = config.jobs if jobs is None else jobs
            scheduler = scheduler or config.scheduler
    return Settings(
        pdk=PdkSettings(name=name or DEFAULT_PDK),
        jobs=DEFAULT_JOBS if jobs is None else jobs,
        scheduler=scheduler,
    )


def _settings_at_import() -> Settings:
    try:
        return load_settings()
    except ValueError as exc:
        return Settings(pdk=PdkSettings(name=None), error=str(exc))


def check_settings(settings: Settings | None = None) -> Settings:
    """The settings (default: ``SETTINGS``); a ValueError saying why if they are broken."""
    settings = SETTINGS if settings is None else settings
    if settings.error is not None:
        raise ValueError(settings.error)
    return settings


SETTINGS = _settings_at_import()
