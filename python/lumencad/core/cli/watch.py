"""Argument checks shared by the commands that look at a project path."""

from __future__ import annotations

import os

from lumencad.core.shared import import_pdk
from lumencad.settings import check_settings

__all__ = ["validate_args"]


def validate_args(path: str | os.PathLike[str], pdk: str | None) -> tuple[str, str]:
    """Check ``path`` and make the PDK ``pdk`` the active one.

    Returns the absolute path (normalised lexically, links kept) and the PDK
    name lower-cased and stripped. A ``pdk`` of None means the settings' PDK.
    """
    path = os.fspath(path)
    if not os.path.exists(path):
        raise ValueError(f"Path does not exist: {path}")
    name = (check_settings().pdk.name if pdk is None else str(pdk)).lower().strip()
    import_pdk(name).activate()
    return os.path.abspath(path), name
