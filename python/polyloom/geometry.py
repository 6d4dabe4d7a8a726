"""Exact affine helpers for placing things on a plane.

Rotations by whole multiples of 90 degrees use exact cosine and sine values so
that rotated coordinates come out clean (a quarter turn of (1, 0) is exactly
(0, 1)); other angles use the ordinary trigonometric functions.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable

import numpy as np

from polyloom import _geometry

# Coordinates are rounded to this many decimals (micrometres) after transforms
# to drop floating-point noise; far below the GDS database unit.
ROUND_DECIMALS: int = _geometry.ROUND_DECIMALS

_QUARTER_TURNS = {0: (1.0, 0.0), 1: (0.0, 1.0), 2: (-1.0, 0.0), 3: (0.0, -1.0)}
# The same, by angle: the rotations of nearly every placement, looked up at once.
_QUARTER_ANGLES = {90.0 * quarter: value for quarter, value in _QUARTER_TURNS.items()}


def normalize_angle(angle: float) -> float:
    """Reduce an angle in degrees into [0, 360)."""
    reduced = float(angle) % 360.0
    if reduced >= 360.0:  # tiny negative inputs wrap to exactly 360.0
        reduced = 0.0
    return reduced + 0.0  # turns -0.0 into 0.0


def cos_sin(angle: float) -> tuple[float, float]:
    """Cosine and sine of an angle in degrees, exact for multiples of 90."""
    if type(angle) is float:
        known = _QUARTER_ANGLES.get(angle)
        if known is not None:
            return known
    reduced = normalize_angle(angle)
    quarter, rest = divmod(reduced, 90.0)
    if rest == 0.0:
        return _QUARTER_TURNS[int(quarter) % 4]
    radians = math.radians(reduced)
    return math.cos(radians), math.sin(radians)


# Round a coordinate to drop floating-point noise, never returning -0.0:
# round(float(value), ROUND_DECIMALS) + 0.0, worked out in C++ (it runs for
# every coordinate of every port that an instance moves).
clean: Callable[[float], float] = _geometry.clean


def transform_point(
    point: tuple[float, float],
    origin: tuple[float, float] = (0.0, 0.0),
    rotation: float = 0.0,
    mirror: bool = False,
) -> tuple[float, float]:
    """Mirror across the x axis (if asked), rotate about (0, 0), then translate."""
    x, y = float(point[0]), float(point[1])
    if mirror:
        y = -y
    c, s = cos_sin(rotation)
    return (
        clean(origin[0] + c * x - s * y),
        clean(origin[1] + s * x + c * y),
    )


def transform_angle(orientation: float | None, rotation: float, mirror: bool) -> float | None:
    """Orientation of a direction after mirroring across x and rotating."""
    if orientation is None:
        return None
    angle = -float(orientation) if mirror else float(orientation)
    return normalize_angle(angle + rotation)


def transform_points(
    points: np.ndarray,
    origin: tuple[float, float] = (0.0, 0.0),
    rotation: float = 0.0,
    mirror: bool = False,
) -> np.ndarray:
    """Vectorised `transform_point` over an N x 2 array (no rounding)."""
    pts = np.asarray(points, dtype=float)
    x = pts[:, 0]
    y = -pts[:, 1] if mirror else pts[:, 1]
    c, s = cos_sin(rotation)
    out = np.empty_like(pts)
    out[:, 0] = origin[0] + c * x - s * y
    out[:, 1] = origin[1] + s * x + c * y
    return out


def as_xy(value: Iterable[float] | complex, what: str = "point") -> tuple[float, float]:
    """Convert a pair of numbers (or a complex number) into an (x, y) tuple."""
    if isinstance(value, complex):
        return float(value.real), float(value.imag)
    try:
        x, y = value  # type: ignore[misc]
        return float(x), float(y)
    except (TypeError, ValueError):
        raise ValueError(f"Expected an (x, y) pair for {what}, got {value!r}") from None
