"""Ports, instances and their transforms: exact values after rotation, mirror and connect."""

import numpy as np
import polyloom as pl
import pytest

pytestmark = pytest.mark.usefixtures("generic_pdk_active")


def _probe() -> pl.Component:
    """A component with an east-facing port at (1, 0) and a north-facing port at (2, 3)."""
    c = pl.Component("probe")
    c.add_polygon([(0, -1), (2, -1), (2, 3), (0, 3)], (1, 0))
    c.add_port("a", (1.0, 0.0), 0.0)
    c.add_port("b", (2.0, 3.0), 90.0)
    return c


@pytest.mark.parametrize(
    ("rotation", "mirror", "a", "b"),
    [
        (0, False, ((1.0, 0.0), 0.0), ((2.0, 3.0), 90.0)),
        (90, False, ((0.0, 1.0), 90.0), ((-3.0, 2.0), 180.0)),
        (180, False, ((-1.0, 0.0), 180.0), ((-2.0, -3.0), 270.0)),
        (270, False, ((0.0, -1.0), 270.0), ((3.0, -2.0), 0.0)),
        (-90, False, ((0.0, -1.0), 270.0), ((3.0, -2.0), 0.0)),
        (0, True, ((1.0, 0.0), 0.0), ((2.0, -3.0), 270.0)),
        (90, True, ((0.0, 1.0), 90.0), ((3.0, 2.0), 0.0)),
        (45, False, ((0.707106781, 0.707106781), 45.0), ((-0.707106781, 3.535533906), 135.0)),
    ],
)
def test_instance_ports_follow_rotation_and_mirror(rotation, mirror, a, b):
    inst = pl.Component() << _probe()
    inst.mirrored, inst.rotation = mirror, rotation
    assert [(p.center, p.orientation) for p in inst.ports] == [a, b]


def test_port_text_form_immutability_and_collection_lookup():
    port = pl.Port("o1", [1, 2], 90)
    assert (str(port), port.center, type(port.center)) == ("o1", (1.0, 2.0), tuple)
    with pytest.raises(AttributeError):
        port.center = (0, 0)
    c = _probe()
    c.add_port("a0", (0, 0), 180)
    ports = c.ports
    assert [p.name for p in ports] == ["a", "b", "a0"]
    assert len(ports) == 3
    assert "b" in ports and "zz" not in ports
    assert ports["a0"].orientation == 180.0
    assert [ports[i].name for i in (0, -1)] == ["a", "a0"]
    with pytest.raises(KeyError) as err:
        ports["zz"]
    assert str(err.value) == "Port 'zz' not found of component 'probe'; available: a, b, a0"


def test_ports_follow_later_changes_of_component_and_instance():
    c = _probe()
    inst = pl.Component() << c
    assert [p.name for p in c.ports] == ["a", "b"] and inst.ports["a"].center == (1.0, 0.0)
    c.add_port("c", (0, 0), 180)
    inst.move((1, 1))
    assert [p.name for p in c.ports] == ["a", "b", "c"]
    moved = [("a", (2.0, 1.0)), ("b", (3.0, 4.0)), ("c", (1.0, 1.0))]
    assert [(p.name, p.center) for p in inst.ports] == moved
    inst.name = "renamed"
    c.name = "probe2"
    with pytest.raises(KeyError, match="^Port 'z' not found of instance 'renamed'"):
        inst.ports["z"]
    with pytest.raises(KeyError, match="^Port 'z' not found of component 'probe2'"):
        c.ports["z"]


def test_a_component_cannot_contain_itself():
    inner, outer = pl.Component("inner"), pl.Component("outer")
    outer << inner
    for parent, child in ((inner, inner), (inner, outer)):
        with pytest.raises(ValueError) as err:
            parent << child
        assert str(err.value) == f"Component {child.name!r} cannot contain itself"


@pytest.mark.parametrize(
    ("steps", "expected"),
    [
        ([("rotate", 90, (1.0, 1.0))], ((2.0, 0.0), 90.0, False)),
        ([("move", (3.0, -1.0)), ("rotate", 180, (0.0, 0.0))], ((-3.0, 1.0), 180.0, False)),
        ([("move", (3.0, 2.0)), ("mirror_x", 1.0)], ((3.0, 0.0), 0.0, True)),
        ([("move", (3.0, 2.0)), ("mirror_y", 1.0)], ((-1.0, 2.0), 180.0, True)),
        ([("rotate", 90, (0.0, 0.0)), ("mirror_x", 0.0)], ((0.0, 0.0), 270.0, True)),
        ([("move", (3.0, 2.0)), ("mirror", (0.0, 0.0), (1.0, 1.0))], ((2.0, 3.0), 90.0, True)),
    ],
)
def test_instance_transforms_compose_exactly(steps, expected):
    inst = pl.Component() << _probe()
    for step in steps:
        getattr(inst, step[0])(*step[1:])
    assert ((inst.x, inst.y), inst.rotation, inst.mirrored) == expected


@pytest.mark.parametrize(
    "steps", [[("rotate", 90)], [("mirror_x",)], [("mirror_y", 2.0), ("rotate", 270)]]
)
def test_port_positions_agree_with_flattened_geometry(steps):
    """Ports and polygons of an instance go through the same transform."""
    top = pl.Component()
    inst = top << _probe()
    inst.move((5, 7))
    for step in steps:
        getattr(inst, step[0])(*step[1:])
    probe = pl.Component()
    probe.add_polygon([(1, 0), (1.5, 0), (1.5, 0.5)], (2, 0))  # marks port "a"
    marker = top << probe
    marker.x, marker.y, marker.rotation, marker.mirrored = (
        inst.x,
        inst.y,
        inst.rotation,
        inst.mirrored,
    )
    flat = top.dup().flatten()
    mark = [p for p in flat.polygons if p.layer == 2][0]
    assert tuple(np.round(mark.points[0], 9)) == inst.ports["a"].center


@pytest.mark.parametrize("rotation", [0, 90, 180, 270, 30])
@pytest.mark.parametrize("mirror", [False, True])
def test_connect_places_port_on_target_facing_it(rotation, mirror):
    top = pl.Component()
    anchor = top << _probe()
    anchor.rotation = rotation
    anchor.move((10, -4))
    mover = top << _probe()
    mover.connect("b", anchor.ports["a"], mirror=mirror)
    placed, target = mover.ports["b"], anchor.ports["a"]
    assert placed.center == pytest.approx(target.center, abs=1e-9)
    assert (placed.orientation - target.orientation) % 360 == pytest.approx(180.0)
    assert mover.mirrored is mirror
    if rotation % 90 == 0:
        assert placed.center == target.center


def test_connect_unknown_port_message():
    inst = pl.Component().add_ref(_probe(), "p1")
    with pytest.raises(ValueError) as err:
        inst.connect("zz", pl.Port("x", (0, 0), 0))
    message = "Port 'zz' not found on instance 'p1' (component 'probe'); available: a, b"
    assert str(err.value) == message


def test_bbox_covers_rotated_instances_and_is_zero_when_empty():
    assert pl.Component().bbox.tolist() == [[0.0, 0.0], [0.0, 0.0]]
    top = pl.Component()
    top.add_polygon([(0, 0), (1, 0), (1, 1)], (1, 0))
    inst = top << _probe()
    inst.rotate(90).move((10, 0))
    assert top.bbox.tolist() == [[0.0, 0.0], [11.0, 2.0]]


def test_dup_is_independent_and_flatten_collects_hierarchy():
    inner = _probe()
    top = pl.Component("top")
    top.add_ref(inner, "i1").move((5, 0))
    top.add_ref(inner, "i2").rotate(180)
    copy = top.dup()
    copy.flatten()
    assert [len(top.insts), len(top.polygons)] == [2, 0]
    assert [len(copy.insts), len(copy.polygons)] == [0, 2]
    assert (copy.bbox.tolist(), copy.name) == (top.bbox.tolist(), "top")


def test_instance_names_default_to_component_and_stay_unique():
    top = pl.Component()
    c = _probe()
    names = [(top << c).name for _ in range(3)]
    assert names == ["probe", "probe_1", "probe_2"]
    with pytest.raises(ValueError, match="Instance name 'probe' is already used"):
        top.insts[2].name = "probe"
    # A rename frees the old name and claims the new one, in copies too.
    top.insts[0].name = "first"
    assert (top << c).name == "probe"
    with pytest.raises(ValueError, match="Instance name 'first' is already used"):
        top.dup().insts[1].name = "first"


def test_cached_components_are_locked():
    straight = pl.get_component("straight")
    with pytest.raises(ValueError, match="locked"):
        straight.add_polygon([(0, 0), (1, 0), (1, 1)], (1, 0))
    with pytest.raises(ValueError, match="locked"):
        straight.flatten()
    assert straight.dup().flatten() is not straight
