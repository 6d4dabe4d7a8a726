"""The command-line application that every lumencad command registers on.

Command modules apply ``app.command()`` to their functions when imported; the
``lumencad`` console script imports them (see ``lumencad.core.cli.main``) and
runs ``app``. This module stays light so that compiled command modules can
import it cheaply.
"""

import typer

import lumencad

__all__ = ["app", "pdks"]

app = typer.Typer(
    name="lumencad",
    no_args_is_help=True,
    add_completion=False,
    pretty_exceptions_enable=False,
)


def _show_version(value: bool) -> None:
    if value:
        print(f"lumencad {lumencad.__version__}")
        raise typer.Exit()


@app.callback()
def main(
    version: bool = typer.Option(
        False, "--version", callback=_show_version, is_eager=True, help="Show the version and exit."
    ),
) -> None:
    """Design tool for photonic integrated circuits."""
    # A callback keeps ``app`` a group of subcommands however many commands
    # are registered (typer runs a lone command as the whole program).


@app.command()
def pdks() -> None:
    """List the PDKs that can be imported."""
    from lumencad.core.shared import available_pdks, cli_environment

    with cli_environment():
        names = available_pdks()
    for name in names:
        print(name)
