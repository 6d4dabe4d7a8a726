"""Layers and cross-sections of the generic PDK."""

from __future__ import annotations

from polyloom.pdk import CrossSection
from polyloom.port import Layer

LAYERS: dict[str, Layer] = {
    "WG": (1, 0),
    "SLAB": (3, 0),
    "M1": (41, 0),
    "M2": (45, 0),
    "HEATER": (47, 0),
    "PADOPEN": (40, 0),
    "CLAD": (111, 0),
    "DEVREC": (68, 0),
    "TEXT": (66, 0),
}

# Highest priority first: the waveguide core is what best shows a device's shape.
LAYER_PRIORITY: list[Layer] = [
    LAYERS["WG"],
    LAYERS["SLAB"],
    LAYERS["M1"],
    LAYERS["M2"],
    LAYERS["HEATER"],
    LAYERS["PADOPEN"],
    LAYERS["CLAD"],
    LAYERS["DEVREC"],
    LAYERS["TEXT"],
]

STRIP = CrossSection("strip", width=0.5, layer=LAYERS["WG"], radius=10.0)
RIB = CrossSection(
    "rib",
    width=0.5,
    layer=LAYERS["WG"],
    radius=20.0,
    cladding_layers=(LAYERS["SLAB"],),
    cladding_offsets=(2.75,),  # slab 6.0 wide around a 0.5 core
)
METAL_ROUTING = CrossSection(
    "metal_routing", width=10.0, layer=LAYERS["M2"], radius=10.0, port_names=("e1", "e2")
)

CROSS_SECTIONS: dict[str, CrossSection] = {xs.name: xs for xs in (STRIP, RIB, METAL_ROUTING)}
