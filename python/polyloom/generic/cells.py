"""Cells of the generic PDK: real photonic geometry with optical (o*) and electrical (e*) ports.

Every cell draws its waveguides with a cross-section of the PDK in use
(`cross_section` names one), so claddings follow the profile automatically.
"""

from __future__ import annotations

import math
from typing import Any

import gdstk
import numpy as np

from polyloom.cell import cell
from polyloom.component import Component
from polyloom.geometry import clean, normalize_angle
from polyloom.paths import add_waveguide, arc, euler_curve, sine_bend, sweep
from polyloom.pdk import CrossSection, get_component, get_cross_section
from polyloom.port import Port, as_layer


def _cross_section(cross_section: Any, width: float | None = None) -> CrossSection:
    xs = get_cross_section(cross_section)
    return xs if width is None else xs.with_width(width)


def _positive(name: str, value: float) -> float:
    if value <= 0:
        raise ValueError(f"{name} must be positive, got {value}")
    return float(value)


def _rectangle(x0: float, y0: float, x1: float, y1: float) -> list[tuple[float, float]]:
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def _add_cladding_box(
    c: Component, xs: CrossSection, x0: float, y0: float, x1: float, y1: float
) -> None:
    """Claddings of a device body: the core's box grown by each cladding offset."""
    for layer, offset in zip(xs.cladding_layers, xs.cladding_offsets, strict=True):
        c.add_polygon(_rectangle(x0, y0 - offset, x1, y1 + offset), layer)


@cell
def straight(
    length: float = 10.0, width: float | None = None, cross_section: Any = "strip"
) -> Component:
    """A straight waveguide from o1 at (0, 0) to o2 at (length, 0)."""
    if length < 0:
        raise ValueError(f"length must not be negative, got {length}")
    xs = _cross_section(cross_section, width)
    c = Component()
    if length > 0:
        add_waveguide(c, np.array([[0.0, 0.0], [length, 0.0]]), np.array([0.0, 0.0]), xs)
    first, second = xs.port_names
    c.add_port(first, (0.0, 0.0), 180.0, xs.width, xs.layer)
    c.add_port(second, (float(length), 0.0), 0.0, xs.width, xs.layer)
    c.info["length"] = float(length)
    return c


def _bend_cross_section(
    radius: float | None, angle: float, width: float | None, cross_section: Any
) -> tuple[CrossSection, float]:
    """The cross-section and radius of a bend, after checking its radius and angle."""
    xs = _cross_section(cross_section, width)
    radius = _positive("radius", xs.radius if radius is None else radius)
    if not 0 < abs(angle) <= 180:
        raise ValueError(f"angle must lie in [-180, 0) or (0, 180], got {angle}")
    return xs, radius


def _bend(
    points: np.ndarray,
    tangents: np.ndarray,
    angle: float,
    xs: CrossSection,
    length: float,
    radius: float,
) -> Component:
    """A bend along the centreline of a left turn by |angle|, mirrored if `angle` < 0."""
    if angle < 0:  # a right turn is the mirror image of a left turn
        points = points * np.array([1.0, -1.0])
        tangents = -tangents
    c = Component()
    add_waveguide(c, points, tangents, xs)
    end = (clean(points[-1][0]), clean(points[-1][1]))
    c.add_port("o1", (0.0, 0.0), 180.0, xs.width, xs.layer)
    c.add_port("o2", end, normalize_angle(angle), xs.width, xs.layer)
    c.info["length"] = length
    c.info["radius"] = radius
    return c


@cell
def bend_euler(
    radius: float | None = None,
    angle: float = 90.0,
    p: float = 0.5,
    width: float | None = None,
    cross_section: Any = "strip",
) -> Component:
    """An Euler bend turning `angle` degrees (negative: to the right).

    It has the footprint of a circular bend of `radius` (the cross-section's
    radius by default): a 90 degree bend ends at (radius, radius).
    """
    xs, radius = _bend_cross_section(radius, angle, width, cross_section)
    points, tangents = euler_curve(radius, abs(angle), p)
    length = float(np.sum(np.linalg.norm(np.diff(points, axis=0), axis=1)))
    return _bend(points, tangents, angle, xs, length, radius)


@cell
def bend_circular(
    radius: float | None = None,
    angle: float = 90.0,
    width: float | None = None,
    cross_section: Any = "strip",
) -> Component:
    """A circular bend of `radius` turning `angle` degrees (negative: to the right)."""
    xs, radius = _bend_cross_section(radius, angle, width, cross_section)
    points, tangents = arc(radius, abs(angle))
    return _bend(points, tangents, angle, xs, math.pi * radius * abs(angle) / 180.0, radius)


@cell
def taper(
    length: float = 10.0, width1: float = 0.5, width2: float = 1.0, cross_section: Any = "strip"
) -> Component:
    """A linear taper from width1 at o1 (0, 0) to width2 at o2 (length, 0)."""
    length = _positive("length", length)
    _positive("width1", width1)
    _positive("width2", width2)
    xs = _cross_section(cross_section)
    c = Component()
    add_waveguide(
        c,
        np.array([[0.0, 0.0], [length, 0.0]]),
        np.array([0.0, 0.0]),
        xs,
        np.array([width1, width2]),
    )
    c.add_port("o1", (0.0, 0.0), 180.0, width1, xs.layer)
    c.add_port("o2", (length, 0.0), 0.0, width2, xs.layer)
    c.info["length"] = length
    return c


def _mmi(
    inputs: list[float],
    outputs: list[float],
    width: float | None,
    width_taper: float,
    length_taper: float,
    length_mmi: float,
    width_mmi: float,
    cross_section: Any,
) -> Component:
    """A multimode interference body with tapered access waveguides.

    Ports are numbered clockwise from the lower-left: west ports bottom to
    top, then east ports top to bottom.
    """
    xs = _cross_section(cross_section, width)
    for name, value in (
        ("width_taper", width_taper),
        ("length_taper", length_taper),
        ("length_mmi", length_mmi),
        ("width_mmi", width_mmi),
    ):
        _positive(name, value)
    c = Component()
    c.add_polygon(_rectangle(0.0, -width_mmi / 2, length_mmi, width_mmi / 2), xs.layer)
    tapers = np.array([xs.width, width_taper])
    port_number = 1
    for y in sorted(inputs):
        points = np.array([[-length_taper, y], [0.0, y]])
        c.add_polygon(sweep(points, np.array([0.0, 0.0]), tapers), xs.layer)
        c.add_port(f"o{port_number}", (-length_taper, y), 180.0, xs.width, xs.layer)
        port_number += 1
    end = length_mmi + length_taper
    for y in sorted(outputs, reverse=True):
        points = np.array([[length_mmi, y], [end, y]])
        c.add_polygon(sweep(points, np.array([0.0, 0.0]), tapers[::-1]), xs.layer)
        c.add_port(f"o{port_number}", (end, y), 0.0, xs.width, xs.layer)
        port_number += 1
    _add_cladding_box(c, xs, -length_taper, -width_mmi / 2, end, width_mmi / 2)
    return c


def _access_offset(gap_mmi: float, width_taper: float, width_mmi: float) -> float:
    offset = (gap_mmi + width_taper) / 2
    if offset + width_taper / 2 > width_mmi / 2:
        raise ValueError(
            f"Access waveguides (gap_mmi={gap_mmi}, width_taper={width_taper}) "
            f"do not fit into width_mmi={width_mmi}"
        )
    return offset


def _mmi_cell(name: str, inputs: int, doc: str) -> Any:
    """The cell `name`: an MMI with one centred input, or two, and two outputs."""

    def factory(
        width: float | None = None,
        width_taper: float = 1.0,
        length_taper: float = 10.0,
        length_mmi: float = 5.5,
        width_mmi: float = 2.5,
        gap_mmi: float = 0.25,
        cross_section: Any = "strip",
    ) -> Component:
        offset = _access_offset(gap_mmi, width_taper, width_mmi)
        return _mmi(
            [0.0] if inputs == 1 else [-offset, offset],
            [offset, -offset],
            width,
            width_taper,
            length_taper,
            length_mmi,
            width_mmi,
            cross_section,
        )

    factory.__name__ = factory.__qualname__ = name
    factory.__doc__ = doc
    return cell(factory)


mmi1x2 = _mmi_cell(
    "mmi1x2", 1, "A 1x2 MMI splitter: input o1 (west), outputs o2 (upper east) and o3 (lower east)."
)
mmi2x2 = _mmi_cell(
    "mmi2x2", 2, "A 2x2 MMI: o1 (lower west), o2 (upper west), o3 (upper east), o4 (lower east)."
)


def _join(*pieces: tuple[np.ndarray, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    """Concatenate centreline pieces, dropping the repeated joint points."""
    points = [pieces[0][0]]
    tangents = [pieces[0][1]]
    for pts, tans in pieces[1:]:
        points.append(pts[1:])
        tangents.append(tans[1:])
    return np.concatenate(points), np.concatenate(tangents)


@cell
def coupler(
    gap: float = 0.236,
    length: float = 20.0,
    dy: float = 4.0,
    dx: float = 10.0,
    width: float | None = None,
    cross_section: Any = "strip",
) -> Component:
    """A directional coupler: two waveguides brought to `gap` over `length` by S-bends.

    o1 (lower west), o2 (upper west), o3 (upper east), o4 (lower east); the
    ports of one side lie `dy` apart, `dx` beyond the coupling section.
    """
    xs = _cross_section(cross_section, width)
    _positive("gap", gap)
    _positive("dx", dx)
    if length < 0:
        raise ValueError(f"length must not be negative, got {length}")
    pitch = gap + xs.width
    if dy < pitch:
        raise ValueError(f"dy={dy} is smaller than the coupled waveguide pitch {pitch}")
    half = length / 2
    c = Component()
    for sign in (1.0, -1.0):
        bend_in, tan_in = sine_bend(dx, sign * (pitch - dy) / 2)
        bend_out, tan_out = sine_bend(dx, sign * (dy - pitch) / 2)
        start = np.array([-half - dx, sign * dy / 2])
        joint = np.array([half, sign * pitch / 2])
        pieces = [(bend_in + start, tan_in)]
        if length > 0:
            pieces.append((np.array([[-half, sign * pitch / 2], joint]), np.array([0.0, 0.0])))
        pieces.append((bend_out + joint, tan_out))
        points, tangents = _join(*pieces)
        add_waveguide(c, points, tangents, xs)
    west, east = -half - dx, half + dx
    c.add_port("o1", (west, -dy / 2), 180.0, xs.width, xs.layer)
    c.add_port("o2", (west, dy / 2), 180.0, xs.width, xs.layer)
    c.add_port("o3", (east, dy / 2), 0.0, xs.width, xs.layer)
    c.add_port("o4", (east, -dy / 2), 0.0, xs.width, xs.layer)
    c.info["length"] = float(length)
    c.info["gap"] = float(gap)
    return c


def _racetrack(
    radius: float, length_x: float, length_y: float, y0: float
) -> tuple[np.ndarray, np.ndarray]:
    """Closed counter-clockwise centreline of a racetrack whose bottom straight lies at y0."""
    pieces = []
    corners = [  # arc centre, starting heading
        ((length_x / 2, y0 + radius), 0.0),
        ((length_x / 2, y0 + radius + length_y), 90.0),
        ((-length_x / 2, y0 + radius + length_y), 180.0),
        ((-length_x / 2, y0 + radius), 270.0),
    ]
    for (cx, cy), heading in corners:
        theta = np.linspace(heading, heading + 90.0, 46)
        radians = np.radians(theta)
        pts = np.column_stack([cx + radius * np.sin(radians), cy - radius * np.cos(radians)])
        pieces.append((pts, theta))
    points = np.concatenate([p for p, _ in pieces])
    tangents = np.concatenate([t for _, t in pieces])
    return points, tangents


def _add_loop(
    c: Component, points: np.ndarray, tangents: np.ndarray, width: float, layer: Any
) -> None:
    radians = np.radians(tangents)
    normals = np.column_stack([-np.sin(radians), np.cos(radians)])
    inner = points + normals * width / 2  # left of a counter-clockwise loop is inside
    outer = points - normals * width / 2
    for polygon in gdstk.boolean(gdstk.Polygon(outer), gdstk.Polygon(inner), "not"):
        c.add_polygon(polygon.points, layer)


@cell
def ring_single(
    gap: float = 0.2,
    radius: float = 10.0,
    length_x: float = 4.0,
    length_y: float = 0.6,
    cross_section: Any = "strip",
) -> Component:
    """A racetrack ring above a bus waveguide from o1 (west) to o2 (east)."""
    xs = _cross_section(cross_section)
    _positive("gap", gap)
    radius = _positive("radius", radius)
    if length_x < 0 or length_y < 0:
        raise ValueError(f"length_x and length_y must not be negative, got {length_x}, {length_y}")
    c = Component()
    half = length_x / 2 + radius
    bus = np.array([[-half, 0.0], [half, 0.0]])
    add_waveguide(c, bus, np.array([0.0, 0.0]), xs)
    points, tangents = _racetrack(radius, length_x, length_y, gap + xs.width)
    _add_loop(c, points, tangents, xs.width, xs.layer)
    for layer, offset in zip(xs.cladding_layers, xs.cladding_offsets, strict=True):
        _add_loop(c, points, tangents, xs.width + 2 * offset, layer)
    c.add_port("o1", (-half, 0.0), 180.0, xs.width, xs.layer)
    c.add_port("o2", (half, 0.0), 0.0, xs.width, xs.layer)
    c.info["radius"] = radius
    c.info["gap"] = float(gap)
    return c


@cell
def grating_coupler_elliptical(
    taper_length: float = 16.6,
    taper_angle: float = 40.0,
    wavelength: float = 1.554,
    fiber_angle: float = 15.0,
    grating_line_width: float = 0.343,
    neff: float = 2.638,
    nclad: float = 1.443,
    n_periods: int = 30,
    cross_section: Any = "strip",
) -> Component:
    """A focusing grating coupler: a fan taper and elliptical teeth east of o1 (0, 0).

    Tooth q follows r = q * wavelength / (neff - nclad * sin(fiber_angle) * cos(phi)),
    the phase-matching ellipse with its focus on the port.
    """
    xs = _cross_section(cross_section)
    taper_length = _positive("taper_length", taper_length)
    if not 0 < taper_angle < 180:
        raise ValueError(f"taper_angle must lie in (0, 180), got {taper_angle}")
    if n_periods < 1:
        raise ValueError(f"n_periods must be at least 1, got {n_periods}")
    k = nclad * math.sin(math.radians(fiber_angle))
    if neff <= k:
        raise ValueError(f"neff={neff} must exceed nclad*sin(fiber_angle)={k}")
    phi = np.radians(np.linspace(-taper_angle / 2, taper_angle / 2, 41))
    c = Component()
    fan = [(0.0, -xs.width / 2)]
    fan += [(taper_length * math.cos(a), taper_length * math.sin(a)) for a in phi]
    fan += [(0.0, xs.width / 2)]
    c.add_polygon(fan, xs.layer)
    first = math.ceil(taper_length * (neff - k) / wavelength) + 1
    outer_radius = taper_length
    for q in range(first, first + n_periods):
        inner = q * wavelength / (neff - k * np.cos(phi))
        outer = inner + grating_line_width
        outer_radius = float(outer.max())
        tooth = np.concatenate(
            [
                np.column_stack([inner * np.cos(phi), inner * np.sin(phi)]),
                np.column_stack([outer * np.cos(phi), outer * np.sin(phi)])[::-1],
            ]
        )
        c.add_polygon(tooth, xs.layer)
    half_height = outer_radius * math.sin(math.radians(taper_angle / 2))
    _add_cladding_box(c, xs, 0.0, -half_height, outer_radius, half_height)
    c.add_port("o1", (0.0, 0.0), 180.0, xs.width, xs.layer)
    c.info["period"] = wavelength / (neff - k)
    c.info["wavelength"] = float(wavelength)
    return c


@cell
def pad(size: Any = (100.0, 100.0), layer: Any = (45, 0), opening_inset: float = 1.5) -> Component:
    """A metal pad centred on (0, 0) with an opening above it and a port on each side.

    e1 west, e2 north, e3 east, e4 south.
    """
    try:
        sx, sy = (float(v) for v in size)
    except (TypeError, ValueError):
        raise ValueError(f"size must be an (x, y) pair, got {size!r}") from None
    _positive("size x", sx)
    _positive("size y", sy)
    metal = as_layer(layer)
    c = Component()
    c.add_polygon(_rectangle(-sx / 2, -sy / 2, sx / 2, sy / 2), metal)
    if 0 <= opening_inset < min(sx, sy) / 2:
        inset = opening_inset
        c.add_polygon(
            _rectangle(-sx / 2 + inset, -sy / 2 + inset, sx / 2 - inset, sy / 2 - inset), (40, 0)
        )
    c.add_port("e1", (-sx / 2, 0.0), 180.0, sy, metal)
    c.add_port("e2", (0.0, sy / 2), 90.0, sx, metal)
    c.add_port("e3", (sx / 2, 0.0), 0.0, sy, metal)
    c.add_port("e4", (0.0, -sy / 2), 270.0, sx, metal)
    c.info["size"] = [sx, sy]
    return c


def _arm(
    c: Component,
    start: Port,
    arm: int,
    bend: Component,
    vertical: Component,
    horizontal: Component,
    mirrored: bool,
) -> Port:
    """Arm `arm` (0 upper, 1 lower) of an MZI from `start`: out, across and back.

    Four bends and three straights, each o1 on the previous o2; returns the
    last o2. The bends turn left, right, right, left, or the other way round
    when `mirrored`.
    """
    parts = [
        (f"b{4 * arm + 1}", bend, mirrored),
        (f"sy{2 * arm + 1}", vertical, False),
        (f"b{4 * arm + 2}", bend, not mirrored),
        (f"sx{arm + 1}", horizontal, False),
        (f"b{4 * arm + 3}", bend, not mirrored),
        (f"sy{2 * arm + 2}", vertical, False),
        (f"b{4 * arm + 4}", bend, mirrored),
    ]
    port = start
    for name, component, mirror in parts:
        inst = c.add_ref(component, name)
        inst.connect("o1", port, mirror=mirror)
        port = inst.ports["o2"]
    return port


@cell
def mzi(
    delta_length: float = 10.0,
    length_y: float = 2.0,
    length_x: float = 0.1,
    splitter: Any = "mmi1x2",
    combiner: Any = None,
    bend: Any = "bend_euler",
    straight: Any = "straight",
    cross_section: Any = "strip",
) -> Component:
    """A Mach-Zehnder interferometer: splitter, two arms, combiner; o1 in, o2 out.

    The lower arm is longer than the upper one by `delta_length`. The splitter
    and combiner are 1x2 cells with ports o1 (input), o2 (upper) and o3 (lower).
    """
    if length_y < 0 or length_x < 0:
        raise ValueError(f"length_y and length_x must not be negative, got {length_y}, {length_x}")
    if length_y + delta_length / 2 < 0:
        raise ValueError(f"delta_length={delta_length} makes the lower arm shorter than zero")
    c = Component()
    split = c.add_ref(get_component(splitter), "splitter")
    join = get_component(combiner if combiner is not None else splitter)
    b = get_component(bend, cross_section=cross_section)

    def wg(length: float) -> Component:
        return get_component(straight, length=length, cross_section=cross_section)

    top_end = _arm(c, split.ports["o2"], 0, b, wg(length_y), wg(length_x), False)
    bottom_y = length_y + delta_length / 2
    _arm(c, split.ports["o3"], 1, b, wg(bottom_y), wg(length_x), True)
    comb = c.add_ref(join, "combiner")
    comb.connect("o3", top_end)  # rotated half a turn: its o3 is now the upper port
    c.add_port("o1", port=split.ports["o1"])
    c.add_port("o2", port=comb.ports["o1"])
    c.info["delta_length"] = float(delta_length)
    return c


CELLS = {
    "straight": straight,
    "bend_euler": bend_euler,
    "bend_circular": bend_circular,
    "taper": taper,
    "mmi1x2": mmi1x2,
    "mmi2x2": mmi2x2,
    "coupler": coupler,
    "ring_single": ring_single,
    "grating_coupler_elliptical": grating_coupler_elliptical,
    "pad": pad,
    "mzi": mzi,
}
