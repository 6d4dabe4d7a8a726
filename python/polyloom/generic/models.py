"""Analytic S-parameter models of the generic PDK's main cells.

Each model takes a wavelength array `wl` in micrometres and returns a mapping
of (input port, output port) pairs to complex transmission arrays. Models are
reciprocal: S[a, b] == S[b, a].
"""

from __future__ import annotations

from typing import Any

import numpy as np

SParameters = dict[tuple[str, str], np.ndarray]

WL0 = 1.55  # centre wavelength, micrometres


def _reciprocal(pairs: dict[tuple[str, str], Any], wl: np.ndarray) -> SParameters:
    result: SParameters = {}
    for (a, b), value in pairs.items():
        array = np.broadcast_to(np.asarray(value, dtype=complex), wl.shape).copy()
        result[(a, b)] = array
        result[(b, a)] = array.copy()
    return result


def _neff(wl: np.ndarray, neff: float, ng: float, wl0: float) -> np.ndarray:
    # First-order dispersion: d(neff)/d(wl) = (neff - ng) / wl0.
    return neff - (ng - neff) * (wl - wl0) / wl0


def straight(
    wl: Any = WL0,
    length: float = 10.0,
    neff: float = 2.34,
    ng: float = 3.4,
    wl0: float = WL0,
    loss: float = 0.0,
) -> SParameters:
    """A waveguide of `length` um with propagation loss `loss` in dB/cm."""
    wl = np.asarray(wl, dtype=float)
    phase = 2.0 * np.pi * _neff(wl, neff, ng, wl0) * length / wl
    amplitude = 10.0 ** (-loss * length * 1e-4 / 20.0)
    return _reciprocal({("o1", "o2"): amplitude * np.exp(-1j * phase)}, wl)


def bend_euler(
    wl: Any = WL0,
    radius: float = 10.0,
    angle: float = 90.0,
    neff: float = 2.34,
    ng: float = 3.4,
    wl0: float = WL0,
    loss: float = 0.0,
    bend_loss: float = 0.0,
) -> SParameters:
    """A bend modelled as a waveguide of the arc length plus `bend_loss` dB."""
    length = np.pi * radius * abs(angle) / 180.0
    result = straight(wl, length, neff, ng, wl0, loss)
    factor = 10.0 ** (-bend_loss / 20.0)
    return {key: value * factor for key, value in result.items()}


def taper(wl: Any = WL0, length: float = 10.0, neff: float = 2.34, ng: float = 3.4) -> SParameters:
    return straight(wl, length, neff, ng)


def coupler(wl: Any = WL0, coupling: float = 0.5, loss: float = 0.0) -> SParameters:
    """A lossless (or `loss` dB) 2x2 coupler: o1/o2 west, o3/o4 east.

    Power fraction `coupling` crosses over (o1->o3, o2->o4) with a 90 degree
    phase; the rest goes straight through (o1->o4, o2->o3).
    """
    if not 0.0 <= coupling <= 1.0:
        raise ValueError(f"coupling must lie in [0, 1], got {coupling}")
    wl = np.asarray(wl, dtype=float)
    amplitude = 10.0 ** (-loss / 20.0)
    through = amplitude * np.sqrt(1.0 - coupling)
    cross = amplitude * 1j * np.sqrt(coupling)
    return _reciprocal(
        {("o1", "o4"): through, ("o2", "o3"): through, ("o1", "o3"): cross, ("o2", "o4"): cross},
        wl,
    )


def mmi2x2(wl: Any = WL0, loss: float = 0.0) -> SParameters:
    return coupler(wl, 0.5, loss)


def mmi1x2(wl: Any = WL0, loss: float = 0.0) -> SParameters:
    """An ideal 1x2 splitter: half the power to each of o2 and o3, in phase."""
    wl = np.asarray(wl, dtype=float)
    amplitude = 10.0 ** (-loss / 20.0) / np.sqrt(2.0)
    return _reciprocal({("o1", "o2"): amplitude, ("o1", "o3"): amplitude}, wl)


MODELS = {
    "straight": straight,
    "bend_euler": bend_euler,
    "bend_circular": bend_euler,
    "taper": taper,
    "coupler": coupler,
    "mmi1x2": mmi1x2,
    "mmi2x2": mmi2x2,
}
