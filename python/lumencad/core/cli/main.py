"""Entry point of the ``lumencad`` command line: loads the commands, runs the app."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Iterable, Sequence
from typing import NoReturn

import typer

from lumencad.core.cli import INTERRUPTED_EXIT_CODE, exit_interrupted
from lumencad.core.cli.app import app
from lumencad.core.shared import cli_environment
from lumencad.settings import SETTINGS

__all__ = ["COMMAND_MODULES", "load_commands", "main"]

# Modules whose import registers commands on ``app``, in help order. The host's
# own command (``pdks``) is registered by ``lumencad.core.cli.app`` itself.
COMMAND_MODULES: tuple[str, ...] = (
    "lumencad.core.cli.build_pics",
    "lumencad.core.cli.build_pdk",
    "lumencad.core.cli.explore",
    "lumencad.core.cli.tree",
    "lumencad.core.cli.patch_netlist",
    "lumencad.core.cli.serve",
)

# Requests that only show text about the program; they work with broken settings.
_INFO_FLAGS = ("--help", "--version")


def load_commands(modules: Iterable[str] | None = None) -> None:
    """Import every command module (default: ``COMMAND_MODULES``); a module that
    fails to load is a clear error naming the module and the cause."""
    for name in COMMAND_MODULES if modules is None else modules:
        try:
            importlib.import_module(name)
        except Exception as exc:
            cause = f"{type(exc).__name__}: {exc}"
            raise RuntimeError(f"Cannot load command module {name!r}: {cause}") from exc


def _fail(message: str) -> NoReturn:
    print(f"error: {message}", file=sys.stderr, flush=True)
    raise SystemExit(1) from None


def _run(args: list[str]) -> None:
    try:
        load_commands()
    except RuntimeError as exc:
        _fail(str(exc))
    if SETTINGS.error is not None and args and not any(a in _INFO_FLAGS for a in args):
        _fail(SETTINGS.error)
    # A command may let an error escape (build_pdk's argument checks do):
    # report it as one line, never as a traceback.
    try:
        with cli_environment():
            app(args=args, prog_name="lumencad")
    except typer.Exit as exc:
        raise SystemExit(exc.exit_code) from None


def main(argv: Sequence[str] | None = None) -> None:
    """Run the command line with ``argv`` (default: the process arguments).

    Ctrl-C ends the program with exit code 130 and one line on standard
    error, whether it comes while the commands load or while one runs.
    """
    try:
        _run(sys.argv[1:] if argv is None else list(argv))
    except KeyboardInterrupt:
        exit_interrupted()
    except SystemExit as exc:
        # typer turns an interrupted command into a silent exit 130.
        if exc.code == INTERRUPTED_EXIT_CODE and _caused_by_interrupt(exc):
            exit_interrupted()
        raise


def _caused_by_interrupt(exc: BaseException) -> bool:
    seen: set[int] = set()
    link: BaseException | None = exc
    while link is not None and id(link) not in seen:
        if isinstance(link, KeyboardInterrupt):
            return True
        seen.add(id(link))
        link = link.__cause__ or link.__context__
    return False
