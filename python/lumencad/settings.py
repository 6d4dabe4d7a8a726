"""Settings of lumencad, read once when this module is imported.

The default PDK name comes from, first match wins:

1. the environment variable ``LUMENCAD_PDK``;
2. the ``pdk`` key of the ``[tool.lumencad]`` table of the nearest
   ``pyproject.toml`` holding such a table, from the working directory upwards;
3. ``"generic"``.

A project file that cannot be read or holds an invalid table does not stop
the import: ``SETTINGS.error`` then says why, ``SETTINGS.pdk.name`` is None,
and ``check_settings()`` raises that error for the commands that need them.
"""

from __future__ import annotations

import os
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "DEFAULT_PDK",
    "DEFAULT_PICS",
    "PDK_ENV_VAR",
    "PYPROJECT",
    "PdkSettings",
    "ProjectConfig",
    "SETTINGS",
    "Settings",
    "check_settings",
    "find_project_config",
    "load_settings",
    "read_project_config",
]

PDK_ENV_VAR = "LUMENCAD_PDK"
DEFAULT_PDK = "generic"
DEFAULT_PICS = "pics"
PYPROJECT = "pyproject.toml"


@dataclass(frozen=True)
class ProjectConfig:
    """The ``[tool.lumencad]`` table of one project's ``pyproject.toml``."""

    dir: Path
    pdk: str | None = None
    pics: str = DEFAULT_PICS

    @property
    def pics_dir(self) -> Path:
        return self.dir / self.pics


@dataclass
class PdkSettings:
    name: str | None = DEFAULT_PDK


@dataclass
class Settings:
    pdk: PdkSettings = field(default_factory=PdkSettings)
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
    return ProjectConfig(
        dir=pyproject.parent,
        pdk=_string_setting(table, "pdk", pyproject),
        pics=_string_setting(table, "pics", pyproject) or DEFAULT_PICS,
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
    """Settings from the environment, the nearest project, or the defaults."""
    environ = os.environ if environ is None else environ
    name = environ.get(PDK_ENV_VAR, "").strip()
    if not name:
        config = find_project_config(cwd)
        name = config.pdk if config is not None and config.pdk else DEFAULT_PDK
    return Settings(pdk=PdkSettings(name=name))


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
