"""The built-in generic PDK: every cell builds with ports and writes readable GDS; models."""

import klayout.db as kdb
import numpy as np
import polyloom as pl
import pytest
from polyloom.generic import PDK

pytestmark = pytest.mark.usefixtures("generic_pdk_active")


EXPECTED_PORTS = {
    "straight": ["o1", "o2"],
    "bend_euler": ["o1", "o2"],
    "bend_circular": ["o1", "o2"],
    "taper": ["o1", "o2"],
    "mmi1x2": ["o1", "o2", "o3"],
    "mmi2x2": ["o1", "o2", "o3", "o4"],
    "coupler": ["o1", "o2", "o3", "o4"],
    "ring_single": ["o1", "o2"],
    "grating_coupler_elliptical": ["o1"],
    "pad": ["e1", "e2", "e3", "e4"],
    "mzi": ["o1", "o2"],
}


def test_cell_list():
    # Projects may register more cells after these; the built-in ones come first.
    assert list(PDK.cells)[: len(EXPECTED_PORTS)] == list(EXPECTED_PORTS)


@pytest.mark.parametrize("name", list(EXPECTED_PORTS))
def test_cell_builds_and_writes_gds_that_klayout_reads(name, tmp_path):
    c = pl.get_component(name)
    assert (c.name, c.function_name) == (name, name)
    assert [p.name for p in c.ports] == EXPECTED_PORTS[name]
    path = tmp_path / f"{name}.gds"
    c.write_gds(path)
    layout = kdb.Layout()
    layout.read(str(path))
    assert layout.top_cell().name == name
    layers = {(info.layer, info.datatype) for info in layout.layer_infos()}
    assert layers == set(c.layers)
    # Every port of a device lies within (on the outline of) its drawn geometry.
    for port in c.ports:
        assert (c.bbox[0] - 1e-9 <= port.center).all() and (port.center <= c.bbox[1] + 1e-9).all()


@pytest.mark.parametrize(
    ("name", "settings", "layers"),
    [
        ("straight", {}, [(1, 0)]),
        ("mmi1x2", {}, [(1, 0)]),
        ("pad", {}, [(45, 0), (40, 0)]),
        *[
            (name, {"cross_section": "rib"}, [(1, 0), (3, 0)])
            for name in ["straight", "bend_euler", "taper", "mmi1x2", "coupler", "ring_single"]
        ],
    ],
)
def test_cell_layers(name, settings, layers):
    """The rib cross-section adds its slab to every waveguide cell."""
    assert pl.get_component(name, **settings).layers == layers


@pytest.mark.parametrize(
    ("name", "settings", "port", "expected"),
    [
        ("straight", {"length": 7.5}, "o2", ((7.5, 0.0), 0.0)),
        ("bend_euler", {"radius": 5}, "o2", ((5.0, 5.0), 90.0)),
        ("bend_euler", {"angle": -90}, "o2", ((10.0, -10.0), 270.0)),
        ("bend_circular", {"angle": 180}, "o2", ((0.0, 20.0), 180.0)),
        ("mmi1x2", {}, "o3", ((15.5, -0.625), 0.0)),
        ("coupler", {"dy": 6, "length": 10, "dx": 5}, "o3", ((10.0, 3.0), 0.0)),
        ("pad", {"size": (80, 40)}, "e4", ((0.0, -20.0), 270.0)),
    ],
)
def test_port_positions(name, settings, port, expected):
    p = pl.get_component(name, **settings).ports[port]
    assert (p.center, p.orientation) == expected


def test_mzi_is_hierarchical_and_arms_differ_by_delta_length():
    c = pl.get_component("mzi", delta_length=20)
    netlist = c.get_netlist()
    components = {record["component"] for record in netlist["instances"].values()}
    assert {"mmi1x2", "bend_euler"} <= components
    assert netlist["ports"] == {"o1": "splitter,o1", "o2": "combiner,o1"}
    assert len(netlist["connections"]) == 16  # two arms of 7 parts: 8 joints each

    part = {i.name: i.component for i in c.insts}
    top = sum(part[n].info["length"] for n in ["b1", "sy1", "b2", "sx1", "b3", "sy2", "b4"])
    bottom = sum(part[n].info["length"] for n in ["b5", "sy3", "b6", "sx2", "b7", "sy4", "b8"])
    assert bottom - top == pytest.approx(20.0)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"length": -1}, "length must not be negative, got -1"),
        (
            {"cross_section": "nitride"},
            "Cross-section 'nitride' not found in PDK 'generic'; known: strip, rib, metal_routing",
        ),
    ],
)
def test_bad_cell_settings(settings, message):
    with pytest.raises(ValueError) as err:
        pl.get_component("straight", **settings)
    assert str(err.value) == message


WL = np.linspace(1.5, 1.6, 5)


@pytest.mark.parametrize(
    ("model", "kwargs", "inputs"),
    [
        ("coupler", {"coupling": 0.3}, ["o1", "o2"]),
        ("mmi2x2", {}, ["o1", "o2"]),
        ("mmi1x2", {}, ["o1"]),
        ("straight", {"length": 25.0}, ["o1", "o2"]),
    ],
)
def test_lossless_models_conserve_power_and_are_reciprocal(model, kwargs, inputs):
    s = PDK.models[model](wl=WL, **kwargs)
    for a in inputs:
        total = sum(np.abs(v) ** 2 for (i, _), v in s.items() if i == a)
        assert total == pytest.approx(np.ones_like(WL))
    for (a, b), value in s.items():
        np.testing.assert_array_equal(s[(b, a)], value)


@pytest.mark.parametrize(
    ("model", "kwargs", "pair", "expected"),
    [
        (
            "straight",
            {"length": 10.0, "neff": 2.34, "loss": 3.0},
            ("o1", "o2"),
            10 ** (-3.0 * 10.0e-4 / 20) * np.exp(-2j * np.pi * 2.34 * 10.0 / 1.55),
        ),
        ("coupler", {"coupling": 0.25}, ("o1", "o4"), np.sqrt(0.75)),
        ("coupler", {"coupling": 0.25}, ("o1", "o3"), 0.5j),
    ],
)
def test_model_values(model, kwargs, pair, expected):
    """Straight: phase and loss; coupler: through amplitude and quadrature cross phase."""
    assert PDK.models[model](wl=1.55, **kwargs)[pair] == pytest.approx(expected)
