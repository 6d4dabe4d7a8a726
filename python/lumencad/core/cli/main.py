"""Entry point of the ``lumencad`` command line: loads the commands, runs the app."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Iterable, Sequence

import typer

from lumencad.core.cli.app import app
from lumencad.core.shared import cli_environment

__all__ = ["COMMAND_MODULES", "load_commands", "main"]

# Modules whose import registers commands on ``app``, in help order. The host's
# own command (``pdks``) is registered by ``lumencad.core.cli.app`` itself.
COMMAND_MODULES: tuple[str, ...] = (
    "lumencad.core.cli.build_pics",
    "lumencad.core.cli.build_pdk",
)


def load_commands(modules: Iterable[str] | None = None) -> None:
    """Import every command module (default: ``COMMAND_MODULES``); a module that
    fails to load is a clear error."""
    for name in COMMAND_MODULES if modules is None else modules:
        try:
            importlib.import_module(name)
        except Exception as exc:
            raise RuntimeError(f"Cannot load command module {name!r}: {exc}") from exc


def main(argv: Sequence[str] | None = None) -> None:
    """Run the command line with ``argv`` (default: the process arguments)."""
    try:
        load_commands()
    except RuntimeError as exc:
        print(f"error: {exc}", file=sys.stderr)
        raise SystemExit(1) from None
    # A command may let an error escape (build_pdk's argument checks do):
    # report it as one line, never as a traceback.
    try:
        with cli_environment():
            app(args=None if argv is None else list(argv), prog_name="lumencad")
    except typer.Exit as exc:
        raise SystemExit(exc.exit_code) from None
