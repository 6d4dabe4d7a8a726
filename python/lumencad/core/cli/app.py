"""The command-line application that every lumencad command registers on.

Command modules apply ``app.command()`` to their functions when imported; the
``lumencad`` console script imports them (see ``lumencad.core.cli.main``) and
runs ``app``. This module stays light so that compiled command modules can
import it cheaply.
"""

import typer

__all__ = ["app", "pdks"]

app = typer.Typer(
    name="lumencad",
    no_args_is_help=True,
    add_completion=False,
    pretty_exceptions_enable=False,
)


@app.callback()
def lumencad() -> None:
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
