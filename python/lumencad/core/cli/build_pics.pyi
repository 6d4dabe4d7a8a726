# Type information for the compiled module lumencad.core.cli.build_pics.
import json as json
import os as os
import sys as sys
import traceback as traceback

import typer as typer
from polyloom.read.from_yaml_template import cell_from_yaml_template as cell_from_yaml_template

from lumencad.core.cli.app import app as app
from lumencad.core.netlist import _try_get_ports as _try_get_ports
from lumencad.core.shared import cli_environment as cli_environment
from lumencad.core.shared import get_cells as _get_cells
from lumencad.core.shared import get_yaml_cell_name as get_yaml_cell_name
from lumencad.core.shared import get_yaml_paths as get_yaml_paths
from lumencad.core.shared import import_pdk as import_pdk
from lumencad.core.shared import import_python_modules as import_python_modules
from lumencad.settings import SETTINGS as s

def get_yaml_cells(folder, paths=None): ...
def get_python_cells(folder): ...
def _validate_build_pics_args(path: str, pdk: str, on_error: str): ...
def build_pics(path: str, pdk: str = ..., on_error: str = "continue"): ...
def _prepare_worker(path: str, pdk: str): ...
def _build_cell(build, cell_name, gds_path: str, ports_path: str, log_path: str): ...
