# Type information for the compiled module lumencad.core.cli.build_pdk.
import json as json
import os as os
import sys as sys
import traceback as traceback
import warnings as warnings

import polyloom as pl
import typer as typer

from lumencad.core.cli.app import app as app
from lumencad.core.netlist import _try_get_ports as _try_get_ports
from lumencad.core.shared import import_pdk as import_pdk
from lumencad.settings import SETTINGS as s

def _validate_build_pdk_args(path: str, pdk: str, on_error: str): ...
def build_pdk(path, pdk: str = ..., on_error: str = "continue") -> None: ...
def _prepare_worker(pdk: str): ...
def _build_cell(build, cell_name, gds_path: str, ports_path: str, log_path: str): ...
