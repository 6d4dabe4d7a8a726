"""``python -m lumencad`` and the ``lumencad`` console script."""

from lumencad.core.cli.main import main

__all__ = ["main"]

if __name__ == "__main__":
    main()
