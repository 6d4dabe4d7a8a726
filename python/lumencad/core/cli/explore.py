"""The ``explore`` command: how the cells of a PDK use each other, as a summary and a drawing.

Loading this module stays cheap: the explorer, matplotlib and networkx are
imported only when the command runs.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Annotated, Any

import typer

from lumencad.core.cli.app import app

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["DEFAULT_OUTPUT", "explore"]

DEFAULT_OUTPUT = Path("pdk-graph.svg")
# Drawing formats by file extension (matched in any letter case).
FORMATS = {".png": "png", ".svg": "svg"}
# The Graphviz program that lays the graph out.
LAYOUT_PROGRAM = "circo"


@app.command()
def explore(
    pdk: Annotated[
        str | None,
        typer.Option(
            "--pdk", help="PDK to explore (default: the project's PDK).", show_default=False
        ),
    ] = None,
    output: Annotated[
        Path, typer.Option("--output", help="Drawing to write: a .png or .svg file.")
    ] = (DEFAULT_OUTPUT),
    reverse: Annotated[
        bool,
        typer.Option(
            "--reverse",
            help="Take the top-level cells from the reversed graph: the cells that no other "
            "cell uses.",
        ),
    ] = False,
) -> None:
    """Show how the cells of a PDK use each other: print a summary and draw the graph."""
    from lumencad.core.shared import cli_environment

    with cli_environment():
        _explore(pdk, output, reverse)


def _explore(pdk_name: str | None, output: Path, reverse: bool) -> None:
    from lumencad.core.shared import import_pdk
    from lumencad.settings import check_settings

    target, file_format = _drawing_target(output)
    _check_graphviz()
    name = (check_settings().pdk.name if pdk_name is None else pdk_name).lower().strip()
    pdk = import_pdk(name)
    pdk.activate()

    import matplotlib

    # Drawn for a file only: no window, whatever display there is.
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from lumencad.core import explore as ex

    print("\n".join(_summary(ex, name, pdk, reverse)), flush=True)
    ex.plot_pdk_relations()
    figure = plt.gcf()
    try:
        _save_atomically(figure, target, file_format)
    finally:
        plt.close(figure)
    print(f"drawing written to {output}")


def _drawing_target(output: Path) -> tuple[Path, str]:
    """The absolute path of the drawing and its format, from the file's extension."""
    file_format = FORMATS.get(output.suffix.lower())
    if file_format is None:
        raise ValueError(f"Drawing must be a .png or .svg file: {output}")
    target = output.absolute()
    if target.is_dir():
        raise ValueError(f"Output path is a folder: {target}")
    return target, file_format


def _check_graphviz() -> None:
    """Fail before any cell is built when the graph cannot be laid out."""
    try:
        import pygraphviz  # noqa: F401
    except ImportError as exc:
        raise RuntimeError(
            f"Cannot import pygraphviz ({exc}): install Graphviz "
            "(Debian packages graphviz and libgraphviz-dev), then pip install pygraphviz"
        ) from exc
    if shutil.which(LAYOUT_PROGRAM) is None:
        raise RuntimeError(
            f"Graphviz program {LAYOUT_PROGRAM!r} not found on PATH: "
            "install Graphviz (Debian package graphviz)"
        )


def _summary(ex: ModuleType, pdk_name: str, pdk: Any, reverse: bool) -> list[str]:
    """The summary lines: the graph's size and cells by kind, then the cell classes."""
    from natsort import natsorted

    graph = ex.get_pdk_graph()
    parametric, fixed, other = ex.classify_cells(pdk)
    return [
        f"PDK {pdk_name}: {graph.number_of_nodes()} cells, {graph.number_of_edges()} edges",
        _name_line("top-level cells", ex.get_top_level_cells(graph, reverse=reverse)),
        _name_line("leaf cells", ex.find_sinks(graph)),
        _name_line("fixed cells", ex.find_fixed(graph)),
        _name_line("cells without ports", ex.find_without_ports(graph)),
        "cell classes:",
        _name_line("  parametric", natsorted(parametric)),
        _name_line("  fixed", natsorted(fixed)),
        _name_line("  other", natsorted(other)),
    ]


def _name_line(label: str, names: list[str]) -> str:
    return f"{label} ({len(names)}): {', '.join(names)}" if names else f"{label} (0)"


def _save_atomically(figure: Figure, target: Path, file_format: str) -> None:
    """Write the figure to a temporary sibling, then rename it over ``target``:
    a failure never leaves a half-written drawing."""
    import matplotlib

    from lumencad.core.shared import _file_mode

    tmp: str | None = None
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent)
        # SVG labels stay text, so that they can be searched and selected.
        with os.fdopen(fd, "wb") as stream, matplotlib.rc_context({"svg.fonttype": "none"}):
            figure.savefig(stream, format=file_format)
        os.chmod(tmp, _file_mode(str(target)))
        os.replace(tmp, target)
    except BaseException as exc:
        if tmp is not None and os.path.exists(tmp):
            os.unlink(tmp)
        if isinstance(exc, OSError):
            # Name the drawing, not its temporary file.
            raise RuntimeError(f"Cannot write drawing {target}: {exc.strerror or exc}") from exc
        raise
