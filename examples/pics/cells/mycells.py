"""Python cells of the example project, built on the generic PDK's cells."""

from __future__ import annotations

import polyloom as pl
from polyloom import cell

# An imported cell: usable here, but it belongs to the PDK, not to this module.
from polyloom.generic.cells import straight


@cell
def waveguide_array(
    count: int = 3,
    pitch: float = 5.0,
    length: float = 20.0,
    label: str = "array",
    with_marker: bool = True,
    marker_layer: tuple[int, int] = (66, 0),
    cross_section: str | None = None,
) -> pl.Component:
    """``count`` parallel straight waveguides ``pitch`` apart, optionally with a marker box.

    Ports ``o1``, ``o2``, ... face west and east in pairs, from the bottom
    waveguide up. ``label`` names the array in the component's info.
    """
    if count < 1:
        raise ValueError(f"count must be at least 1, got {count}")
    if pitch <= 0:
        raise ValueError(f"pitch must be positive, got {pitch}")
    wg = straight(length=length, cross_section=cross_section or "strip")
    c = pl.Component()
    for i in range(count):
        ref = c.add_ref(wg, f"wg{i}")
        ref.move((0.0, i * pitch))
        c.add_port(f"o{2 * i + 1}", port=ref.ports["o1"])
        c.add_port(f"o{2 * i + 2}", port=ref.ports["o2"])
    if with_marker:
        top = (count - 1) * pitch
        c.add_polygon([(0, -1), (length, -1), (length, top + 1), (0, top + 1)], marker_layer)
    c.info["label"] = label
    return c


@cell
def heated_straight(length: float = 50.0, heater_width: float = 2.0) -> pl.Component:
    """A straight waveguide under a heater stripe, with optical ports o1, o2."""
    if heater_width <= 0:
        raise ValueError(f"heater_width must be positive, got {heater_width}")
    c = pl.Component()
    ref = c.add_ref(pl.get_component("straight", length=length), "wg")
    half = heater_width / 2
    c.add_polygon([(0, -half), (length, -half), (length, half), (0, half)], (47, 0))
    c.add_port(port=ref.ports["o1"])
    c.add_port(port=ref.ports["o2"])
    return c


def arm_length(delta_length: float, base: float = 10.0) -> float:
    """A plain helper (not a cell): the length of an MZI's longer arm."""
    return base + delta_length
