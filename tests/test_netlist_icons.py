"""Schematic icon outlines and their path strings."""

import types

import gdstk
import numpy as np
import pytest
from lumencad.core import netlist as nl

DEFAULT = [(0.25, 0.25), (0.75, 0.25), (0.75, 0.75), (0.25, 0.75)]
STRAIGHT = [(0.0, 0.4), (1.0, 0.4), (1.0, 0.6), (0.0, 0.6)]
TAPER = [(0.0, 0.4), (1.0, 0.1), (1.0, 0.9), (0.0, 0.6)]
WG, SLAB, PAD = (1, 0), (3, 0), (49, 0)  # listed first, listed second, not listed


def polygon(points, layer=WG) -> gdstk.Polygon:
    return gdstk.Polygon(points, layer=layer[0], datatype=layer[1])


def rect(x0, y0, x1, y1, layer=WG) -> gdstk.Polygon:
    return polygon([(x0, y0), (x1, y0), (x1, y1), (x0, y1)], layer)


def regular(n: int) -> gdstk.Polygon:
    t = 2 * np.pi * np.arange(n) / n
    return polygon(np.c_[np.cos(t), np.sin(t)] * 1000.0)


class FakeComponent:
    """Polygons in `child` show only once the copy made by dup() is flattened;
    the copy's bbox is wrong, so normalising by anything but the component's
    own box shows."""

    def __init__(self, top, child=(), bbox=((0, 0), (1, 1))) -> None:
        self.top, self.child, self.bbox = list(top), list(child), np.array(bbox, dtype=float)

    def dup(self) -> "FakeComponent":
        return FakeComponent(self.top, self.child, ((-1e3, -1e3), (1e3, 1e3)))

    def flatten(self) -> None:
        self.top, self.child = self.top + self.child, []

    @property
    def polygons(self) -> list:
        return self.top


@pytest.fixture(autouse=True)
def fresh_caches():
    for cached in (nl._get_icon_poly_cached, nl._get_icon_poly_strings):
        cached.cache_clear()
    yield
    for cached in (nl._get_icon_poly_cached, nl._get_icon_poly_strings):
        cached.cache_clear()


@pytest.fixture
def pdk(monkeypatch):
    """PDK pics are the names in `pics` and `components`; only the latter build."""
    pdk = types.SimpleNamespace(pics=set(), components={}, built=[])

    def get_component(name):
        pdk.built.append(name)
        return pdk.components[name]

    monkeypatch.setattr(nl, "pl", types.SimpleNamespace(get_component=get_component))
    monkeypatch.setattr(nl, "is_pdk_pic", lambda name: name in pdk.pics | set(pdk.components))
    monkeypatch.setattr(nl, "most_common_layers", lambda: [WG, SLAB])
    monkeypatch.setattr(nl, "get_all_pics", lambda: set(pdk.components))
    monkeypatch.setattr(nl, "get_pdk_pics", lambda: list(pdk.components))
    return pdk


def boom(*args, **kwargs):
    raise RuntimeError("boom")


class Halt(BaseException):
    pass


def halt(*args, **kwargs):
    raise Halt("boom")


@pytest.mark.parametrize(
    ("name", "outline", "looked_up"),
    [
        ("straight_heater", DEFAULT, False),  # not a PDK pic, whatever its name says
        ("straight_rib", STRAIGHT, False),
        ("taper_strip", TAPER, False),
        ("trans_sc", TAPER, False),
        ("straight_taper", STRAIGHT, False),
        ("Straight_Taper", DEFAULT, True),  # case-sensitive; cannot be built
    ],
)
def test_name_rules(pdk, name, outline, looked_up) -> None:
    pdk.pics = {"straight_rib", "taper_strip", "trans_sc", "straight_taper", "Straight_Taper"}
    assert nl._get_icon_poly_cached(name) == outline
    assert pdk.built == ([name] if looked_up else [])


def test_filling_rectangle_is_the_unit_square_in_union_order(pdk) -> None:
    # The slab triangle comes first, but the waveguide layer ranks higher; its
    # two overlapping halves unite into the one rectangle filling the box.
    halves = [rect(10, 20, 13, 23), rect(12, 20, 14, 23)]
    triangle = polygon([(10, 20), (14, 20), (12, 23)], SLAB)
    pdk.components["mmi"] = FakeComponent([triangle], halves, ((10, 20), (14, 23)))
    union = gdstk.boolean(halves, [], operation="or")[0].points
    outline = nl._get_icon_poly_cached("mmi")
    assert outline == [((x - 10) / 4, (y - 20) / 3) for x, y in union.tolist()]
    assert sorted(outline) == [(0.0, 0.0), (0.0, 1.0), (1.0, 0.0), (1.0, 1.0)]
    assert all(type(v) is tuple and type(v[0]) is type(v[1]) is float for v in outline)


def test_only_the_first_union_polygon_is_drawn(pdk) -> None:
    pieces = [rect(0, 0, 1, 1), rect(3, 0, 4, 1)]
    pdk.components["pads"] = FakeComponent(pieces, bbox=((0, 0), (4, 1)))
    first = gdstk.boolean(pieces, [], operation="or")[0].points
    assert nl._get_icon_poly_cached("pads") == [(x / 4, y) for x, y in first.tolist()]


@pytest.mark.parametrize(
    "component",
    [
        FakeComponent([rect(0, 0, 5, 5, PAD)]),  # only on a layer the host does not list
        FakeComponent([]),
        FakeComponent([rect(0, 0, 4, 3)], bbox=((2, 0), (2, 3))),  # zero width
        FakeComponent([rect(0, 0, 4, 3)], bbox=((0, 1), (4, 1))),  # zero height
        FakeComponent([regular(101)], bbox=((-1e3, -1e3), (1e3, 1e3))),  # too many vertices
        FakeComponent([polygon([(0, 0), (10, 0), (5, 0.01)])]),  # simplified to 2 vertices
        None,  # cannot be built
    ],
)
def test_undrawable_components_get_the_default(pdk, component) -> None:
    if component is None:
        pdk.pics = {"cell"}
    else:
        pdk.components["cell"] = component
    assert nl._get_icon_poly_cached("cell") == DEFAULT
    assert pdk.built == ["cell"]


@pytest.mark.parametrize("n", [3, 100])
def test_vertex_count_bounds_are_inclusive(pdk, n: int) -> None:
    pdk.components["disk"] = FakeComponent([regular(n)], bbox=((-1e3, -1e3), (1e3, 1e3)))
    assert len(nl._get_icon_poly_cached("disk")) == n


@pytest.mark.parametrize(
    ("shape", "bbox", "upper", "lower"),
    [
        (rect(0, 0, 4, 2), ((0, 0), (4, 2)), (0.525, 1.025), (-0.025, 0.475)),
        (rect(0, 1, 4, 2), ((0, 0), (4, 4)), (0.525, 0.65), (0.35, 0.475)),  # from its ymin
    ],
)
def test_coupler_outline_is_doubled(pdk, shape, bbox, upper, lower) -> None:
    pdk.components["coupler"] = FakeComponent([shape], bbox=bbox)
    outline = nl._get_icon_poly_cached("coupler")
    top, bottom = outline[:4], outline[4:]
    assert [x for x, _ in top] == [x for x, _ in bottom]
    assert [a + b for (_, a), (_, b) in zip(top, bottom, strict=True)] == pytest.approx([1.0] * 4)
    assert sorted({y for _, y in top}) == pytest.approx(upper)
    assert sorted({y for _, y in bottom}) == pytest.approx(lower)


@pytest.mark.parametrize("function", ["_get_icon_poly_cached", "_get_icon_poly"])
def test_name_must_be_a_str(function: str) -> None:
    with pytest.raises(TypeError) as info:
        getattr(nl, function)(b"straight")
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got bytes)"


def test_outline_cache_and_its_bypass(pdk) -> None:
    pdk.components["mmi"] = FakeComponent([rect(0, 0, 2, 1)])
    pdk.pics = {"other"}  # a PDK pic missing from all pics: never cached
    first = nl._get_icon_poly("mmi")
    assert nl._get_icon_poly("mmi") is first
    assert nl._get_icon_poly_cached("mmi") is first
    bypass = nl._get_icon_poly_cached.__wrapped__("mmi")
    assert bypass == first and bypass is not first
    assert nl._get_icon_poly("other") is not nl._get_icon_poly("other")
    assert nl._get_icon_poly_cached.cache_info().currsize == 1


def test_get_icon_poly_result_must_be_a_list(monkeypatch) -> None:
    def fake(name):
        return ((0.0, 0.0),)

    fake.__wrapped__ = fake
    monkeypatch.setattr(nl, "_get_icon_poly_cached", fake)
    with pytest.raises(TypeError) as info:
        nl._get_icon_poly("x")
    assert str(info.value) == "Expected list, got tuple"


def test_polys_and_path_strings_follow_the_pdk_order(pdk, monkeypatch) -> None:
    pdk.pics = {"taper_a", "straight_b"}
    monkeypatch.setattr(nl, "get_pdk_pics", lambda: ["taper_a", "plain", "straight_b"])
    assert nl._get_icon_polys() == {"taper_a": TAPER, "plain": DEFAULT, "straight_b": STRAIGHT}
    strings = nl._get_icon_poly_strings()
    assert list(strings.items()) == [
        ("taper_a", "M 0.0 60.0 L 100.0 90.0 L 100.0 10.0 L 0.0 40.0 Z"),
        ("plain", "M 25.0 75.0 L 75.0 75.0 L 75.0 25.0 L 25.0 25.0 Z"),
        ("straight_b", "M 0.0 60.0 L 100.0 60.0 L 100.0 40.0 L 0.0 40.0 Z"),
    ]
    assert nl._get_icon_poly_strings() is strings


@pytest.mark.parametrize(
    ("outline", "path"),
    [
        ([(1e-7, 0.3)], "M 9.999999999999999e-06 70.0 Z"),
        ([(1 / 3, 2 / 3)], "M 33.33333333333333 33.33333333333334 Z"),
        ([(1e14, 0.0), [2, 1]], "M 1e+16 100.0 L 200 0 Z"),  # ints scale as Python ints
        ([("a\x00\ud800", 0.0)], "M " + "a\x00\ud800" * 100 + " 100.0 Z"),  # str() kept whole
    ],
)
def test_path_numbers_are_written_as_python_writes_them(monkeypatch, outline, path) -> None:
    monkeypatch.setattr(nl, "_get_icon_polys", lambda: {"cell": outline})
    assert nl._get_icon_poly_strings() == {"cell": path}


@pytest.mark.parametrize(
    ("target", "replacement"),
    [
        ("pl", types.SimpleNamespace(get_component=halt)),  # the lookup only swallows Exception
        ("most_common_layers", boom),
        ("gdstk", types.SimpleNamespace(boolean=boom)),
        ("_rdp", boom),
    ],
)
def test_errors_after_the_lookup_propagate_and_nothing_is_cached(
    pdk, monkeypatch, target, replacement
) -> None:
    pdk.components["mmi"] = FakeComponent([rect(0, 0, 2, 1)])
    monkeypatch.setattr(nl, target, replacement)
    with pytest.raises((RuntimeError, Halt), match="^boom$"):
        nl._get_icon_poly_strings()
    assert nl._get_icon_poly_cached.cache_info().currsize == 0
    assert nl._get_icon_poly_strings.cache_info().currsize == 0


def test_generic_pdk_icons() -> None:
    strings = nl._get_icon_poly_strings()
    assert list(strings) == list(nl.get_pdk_pics())
    assert strings["straight"] == "M 0.0 60.0 L 100.0 60.0 L 100.0 40.0 L 0.0 40.0 Z"
    for name in ("mmi1x2", "bend_euler", "coupler"):
        outline = nl._get_icon_poly(name)
        assert outline not in (DEFAULT, STRAIGHT, TAPER)
        assert 3 <= len(outline) <= (200 if name == "coupler" else 100)
        xs = [x for x, _ in outline]
        assert min(xs) >= 0.0 and max(xs) <= 1.0


def test_icon_stage_returns_the_netlist_unchanged() -> None:
    netlist = {"instances": {"a": {"component": "mmi1x2"}}}
    assert nl.patch_netlist_with_icon_info(netlist) is netlist
    assert netlist == {"instances": {"a": {"component": "mmi1x2"}}}
