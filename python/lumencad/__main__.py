"""``python -m lumencad`` and the ``lumencad`` console script."""

from collections.abc import Sequence

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> None:
    """Run the command line; loading it is part of the run, so Ctrl-C while the
    libraries load ends it like Ctrl-C in a command."""
    from lumencad.core.cli import exit_interrupted

    try:
        from lumencad.core.cli.main import main as run
    except KeyboardInterrupt:
        exit_interrupted()
    run(argv)


if __name__ == "__main__":
    main()
