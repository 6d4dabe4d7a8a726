"""Netlist extraction from layouts: connections where ports meet, nets, exposed ports."""

import polyloom as pl
import pytest


def _wire(name: str = "wire") -> pl.Component:
    c = pl.Component(name)
    c.add_polygon([(0, -0.25), (10, -0.25), (10, 0.25), (0, 0.25)], (1, 0))
    c.add_port("o1", (0, 0), 180)
    c.add_port("o2", (10, 0), 0)
    return c


def _placed(*placements) -> pl.Component:
    """Instances of one wire at (name, x, y, rotation)."""
    top = pl.Component("top")
    wire = _wire()
    for name, x, y, rotation in placements:
        inst = top.add_ref(wire, name)
        inst.rotation = rotation
        inst.move((x, y))
    return top


def test_touching_instances_connect_with_natural_key_order():
    top = _placed(("w10", 0, 0, 0), ("w2", 10, 0, 0), ("w3", 20, 0, 0))
    netlist = top.get_netlist()
    assert netlist["connections"] == {"w2,o1": "w10,o2", "w2,o2": "w3,o1"}
    assert netlist["instances"]["w2"] == {"component": "wire", "settings": {}}
    assert netlist["placements"]["w3"] == {"x": 20.0, "y": 0.0, "rotation": 0.0, "mirror": False}
    assert netlist["name"] == "top"


@pytest.mark.parametrize(
    ("first", "second", "connected"),
    [
        (("a", 0, 0, 0), ("b", 10, 0, 0), True),  # facing each other
        (("a", 0, 0, 0), ("b", 10, 0, 180), False),  # both ports face east
        (("a", 0, 0, 0), ("b", 10.0004, 0.0003, 0), True),  # within 1 nm
        (("a", 0, 0, 0), ("b", 10.002, 0, 0), False),  # 2 nm apart
        (("a", 0, 0, 0), ("b", 10, 0, 90), False),  # perpendicular
        # 9.9995 and 10.0004 fall into different 1 nm grid cells but lie 0.9 nm apart.
        (("a", -0.0005, 0, 0), ("b", 10.0004, 0, 0), True),
    ],
)
def test_connection_requires_meeting_and_facing(first, second, connected):
    assert bool(_placed(first, second).get_netlist()["connections"]) is connected


def test_three_ports_at_one_point_raise_without_allow_multiple():
    top = _placed(("a", 0, 0, 0), ("b", 10, 0, 0), ("c", 10, 0, 180))
    with pytest.raises(ValueError) as err:
        top.get_netlist()
    assert str(err.value) == (
        "More than two ports meet at (10.0, 0.0): 'a,o2', 'b,o1', 'c,o1' "
        "(use allow_multiple=True to report them as nets)"
    )


@pytest.mark.parametrize("x", [10, 10.0004], ids=["same point", "within 1 nm"])
def test_allow_multiple_reports_nets_and_keeps_pairs(x):
    top = _placed(("a", 0, 0, 0), ("b", 10, 0, 0), ("c", x, 0, 180), ("d", 20, 0, 0))
    netlist = top.get_netlist(allow_multiple=True)
    assert netlist["nets"] == [["a,o2", "b,o1", "c,o1"]]
    assert netlist["connections"] == {"b,o2": "d,o1"}
    assert _placed(("a", 0, 0, 0)).get_netlist(allow_multiple=True)["nets"] == []


def test_exposed_ports_map_to_the_instance_port_at_their_place():
    top = _placed(("a", 0, 0, 0), ("b", 10, 0, 0))
    top.add_port("in", port=top.insts[0].ports["o1"])
    top.add_port("out", port=top.insts[1].ports["o2"])
    top.add_port("loose", (50, 50), 0)
    assert top.get_netlist()["ports"] == {"in": "a,o1", "out": "b,o2"}


def test_extraction_scales_to_many_instances():
    """A long chain extracts one connection per joint (grid lookup, not all pairs)."""
    top = _placed(*[(f"w{i}", 10 * i, 0, 0) for i in range(2000)])
    connections = top.get_netlist()["connections"]
    assert len(connections) == 1999
    assert connections["w1998,o2"] == "w1999,o1"


@pytest.mark.parametrize("rotation", [0.0, 90.0, 180.0, 270.0, 30.0, -45.5])
@pytest.mark.parametrize("mirror", [False, True])
def test_ports_placed_in_cpp_as_transformed_ports_places_them(rotation, mirror):
    ports = (*_wire().ports, pl.Port("e", (0.1 + 0.2, 1 / 3), None, 0.5, (1, 0)))
    refs, centers, orientations = [], [], []
    c, s = pl.geometry.cos_sin(rotation)
    args = (pl.Port, "i7", ports, 0.1, -2.7, c, s, rotation, mirror)
    assert pl._geometry.place_ports(*args, refs, centers, orientations)
    moved = pl.port.transformed_ports(ports, (0.1, -2.7), rotation, mirror).values()
    assert refs == ["i7,o1", "i7,o2", "i7,e"]
    assert centers == [port.center for port in moved]
    assert orientations == [port.orientation for port in moved]
    # Anything but plain values is left to Python, with nothing appended.
    assert not pl._geometry.place_ports(
        pl.Port, "i7", ports, 1, 0.0, c, s, rotation, mirror, refs, centers, orientations
    )
    assert not pl._geometry.place_ports(
        pl.Port, "i7", ports * 2, 0.0, 0.0, c, s, rotation, mirror, refs, centers, orientations
    )
    assert len(refs) == len(centers) == len(orientations) == 3
