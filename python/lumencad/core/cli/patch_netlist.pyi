# Type information for the compiled module lumencad.core.cli.patch_netlist.
from lumencad.core.cli.app import app as app
from lumencad.core.netlist import patch_netlist as _patch_netlist
from lumencad.core.schema import get_netlist_schema as get_netlist_schema
from lumencad.core.shared import cli_environment as cli_environment
from lumencad.core.shared import import_pdk as import_pdk
from lumencad.core.shared import print_to_file as print_to_file
from lumencad.core.shared import register_cells as register_cells
from lumencad.settings import SETTINGS as s

def validate_args(path, outpath, schemapath, pdk) -> tuple[str, str, str, str, str]: ...
def patch_netlist(
    path: str, outpath: str = "stdout", pdk: str = ..., stdin: bool = False, schemapath: str = ""
): ...
def patch_netlist_post(path: str, body: str, schemapath: str, pdk: str) -> str: ...
def modify_body(body, theme, file): ...
def changed(project_dir: str, file_name: str): ...
