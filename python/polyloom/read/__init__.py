"""Reading layouts from pic netlists (YAML circuit descriptions)."""

from polyloom.read import from_yaml_template
from polyloom.read.netlist_reader import from_yaml

__all__ = ["from_yaml", "from_yaml_template"]
