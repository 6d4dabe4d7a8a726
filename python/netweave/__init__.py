"""netweave: circuit-level helpers for netlists of photonic circuits."""

from netweave import netlist

__all__ = ["netlist"]
