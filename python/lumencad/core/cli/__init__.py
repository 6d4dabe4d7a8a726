"""Command-line application of lumencad and its commands."""

import sys
from typing import NoReturn

# Exit code of a program ended by Ctrl-C (128 + SIGINT), as shells report it.
INTERRUPTED_EXIT_CODE = 130


def exit_interrupted() -> NoReturn:
    """End the program after Ctrl-C: one line on standard error, exit code 130."""
    print("Aborted!", file=sys.stderr, flush=True)
    raise SystemExit(INTERRUPTED_EXIT_CODE) from None
