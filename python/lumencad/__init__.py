"""lumencad: a design tool for photonic integrated circuits.

The package root stays light: importing it loads no layout library and no
compiled module. Commands live under ``lumencad.core.cli``; run them with the
``lumencad`` console script or ``python -m lumencad``.
"""

__version__ = "0.1.0"
