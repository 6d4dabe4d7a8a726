# Type information for the compiled module lumencad.core.cli.tree.
from collections.abc import Iterable
from typing import Any, Literal

import polyloom as pl
import typer as typer

from lumencad.core.cli.app import app as app
from lumencad.core.cli.watch import validate_args as validate_args
from lumencad.core.shared import cli_environment as cli_environment
from lumencad.core.shared import find_atelier_project_dir as find_atelier_project_dir
from lumencad.core.shared import get_cells as _get_cells
from lumencad.core.shared import get_yaml_cell_name as get_yaml_cell_name
from lumencad.core.shared import get_yaml_paths as get_yaml_paths
from lumencad.core.shared import import_python_modules as import_python_modules
from lumencad.core.shared import register_cells as register_cells
from lumencad.settings import SETTINGS as s

def tree(path: str, pdk: str = ..., by: str = "cell", key: str = "", none_str: str = "None"): ...
def _tree(
    path: str,
    pdk: str = "generic",
    by: Literal["cell", "file"] = "cell",
    key: str = "",
    none_str: str = "None",
    pdk_cell_names: Iterable = (),
) -> str: ...
def select_key(dct, key): ...
def get_args(func): ...
def _remove_empty_defaults(obj: Any, none_str=None): ...
def get_cells(mod): ...
def get_models(mod): ...
def _source_to_ports(repo_dir, source, name): ...
def _pdk_name_to_ports(repo_dir, name): ...
