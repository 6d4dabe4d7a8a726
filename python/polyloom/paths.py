"""Waveguide drawing: centrelines swept into polygons along a cross-section."""

from __future__ import annotations

import math

import numpy as np

from polyloom.component import Component
from polyloom.geometry import cos_sin
from polyloom.pdk import CrossSection

# Largest angle step, in degrees, when sampling arcs into polygon vertices.
ARC_STEP_DEGREES = 2.0


def sweep(points: np.ndarray, tangents: np.ndarray, widths: np.ndarray | float) -> np.ndarray:
    """Polygon vertices of a band of `widths` around a centreline.

    `tangents` are the direction angles (degrees) of the centreline at each
    point; the band runs up the left side and back down the right side.
    """
    pts = np.asarray(points, dtype=float)
    angles = np.asarray(tangents, dtype=float)
    half = np.broadcast_to(np.asarray(widths, dtype=float), (len(pts),)) / 2.0
    cos_sins = np.array([cos_sin(a) for a in angles])
    normals = np.column_stack([-cos_sins[:, 1], cos_sins[:, 0]])
    left = pts + normals * half[:, None]
    right = pts - normals * half[:, None]
    return np.concatenate([left, right[::-1]])


def add_waveguide(
    component: Component,
    points: np.ndarray,
    tangents: np.ndarray,
    cross_section: CrossSection,
    widths: np.ndarray | float | None = None,
) -> None:
    """Draw the core and every cladding of `cross_section` along a centreline."""
    core = cross_section.width if widths is None else widths
    core_widths = np.asarray(core, dtype=float)
    if np.all(core_widths > 0) and len(points) >= 2:
        component.add_polygon(sweep(points, tangents, core_widths), cross_section.layer)
    for layer, offset in zip(
        cross_section.cladding_layers, cross_section.cladding_offsets, strict=True
    ):
        component.add_polygon(sweep(points, tangents, core_widths + 2.0 * offset), layer)


def arc(radius: float, angle: float) -> tuple[np.ndarray, np.ndarray]:
    """Centreline of a left-turning circular arc from (0, 0) heading east."""
    steps = max(2, math.ceil(abs(angle) / ARC_STEP_DEGREES))
    theta = np.linspace(0.0, angle, steps + 1)
    radians = np.radians(theta)
    points = np.column_stack([radius * np.sin(radians), radius * (1.0 - np.cos(radians))])
    points[-1] = end_of_arc(radius, angle)
    return points, theta


def end_of_arc(radius: float, angle: float) -> tuple[float, float]:
    """End point of a circular left turn of `angle` degrees, exact for multiples of 90."""
    c, s = cos_sin(angle)
    return (radius * s, radius * (1.0 - c))


def euler_curve(radius: float, angle: float, p: float = 0.5) -> tuple[np.ndarray, np.ndarray]:
    """Centreline of a left-turning Euler bend from (0, 0) heading east.

    The curvature rises linearly over a fraction `p` of the turn, stays constant
    and falls again; the curve is scaled so that it ends where a circular arc of
    `radius` and the same angle would end, so it fits the same footprint.
    """
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"Euler bend fraction p must lie in [0, 1], got {p}")
    total = math.radians(angle)
    if p == 0.0 or total == 0.0:
        return arc(radius, angle)
    # With peak curvature 1: each clothoid turns total*p/2 over length total*p.
    clothoid_length = total * p
    arc_length = total * (1.0 - p)
    length = 2.0 * clothoid_length + arc_length
    steps = max(64, math.ceil(abs(angle) / ARC_STEP_DEGREES) * 8)
    s = np.linspace(0.0, length, steps + 1)
    heading = np.where(
        s <= clothoid_length,
        s**2 / (2.0 * clothoid_length),
        np.where(
            s <= clothoid_length + arc_length,
            clothoid_length / 2.0 + (s - clothoid_length),
            total - (length - s) ** 2 / (2.0 * clothoid_length),
        ),
    )
    # Trapezoidal integration of the unit tangent.
    ds = np.diff(s)
    dx = (np.cos(heading[1:]) + np.cos(heading[:-1])) / 2.0 * ds
    dy = (np.sin(heading[1:]) + np.sin(heading[:-1])) / 2.0 * ds
    points = np.column_stack(
        [np.concatenate([[0.0], np.cumsum(dx)]), np.concatenate([[0.0], np.cumsum(dy)])]
    )
    target = np.array(end_of_arc(radius, angle))
    scale = float(np.linalg.norm(target) / np.linalg.norm(points[-1]))
    points *= scale
    # Keep the end point exact so that ports land on clean coordinates.
    points[-1] = target
    # Sample down to a reasonable number of polygon vertices.
    keep = np.unique(np.linspace(0, steps, max(2, steps // 8) + 1).round().astype(int))
    return points[keep], np.degrees(heading[keep])


def sine_bend(dx: float, dy: float, steps: int = 40) -> tuple[np.ndarray, np.ndarray]:
    """Centreline of a smooth S-bend from (0, 0) heading east to (dx, dy) heading east."""
    t = np.linspace(0.0, 1.0, steps + 1)
    x = dx * t
    y = dy * (1.0 - np.cos(np.pi * t)) / 2.0
    slope = dy * np.pi * np.sin(np.pi * t) / (2.0 * dx)
    return np.column_stack([x, y]), np.degrees(np.arctan(slope))
