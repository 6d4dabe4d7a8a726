"""The generic PDK built into polyloom, active by default.

`PDK` holds the cells of `polyloom.generic.cells`, the layers and
cross-sections of `polyloom.generic.tech` and the analytic models of
`polyloom.generic.models`.
"""

from __future__ import annotations

from polyloom.generic import cells, models, tech
from polyloom.pdk import Pdk

PDK = Pdk(
    name="generic",
    cells=dict(cells.CELLS),
    models=dict(models.MODELS),
    layers=dict(tech.LAYERS),
    cross_sections=dict(tech.CROSS_SECTIONS),
    layer_priority=list(tech.LAYER_PRIORITY),
)

__all__ = ["PDK", "cells", "models", "tech"]
