"""Cells, their cache and names; PDK registries and lookups."""

import inspect
import os
import re
import subprocess
import sys

import polyloom as pl
import pytest
from polyloom.generic import PDK as GENERIC

pytestmark = pytest.mark.usefixtures("generic_pdk_active")


@pl.cell
def box(size: float = 2.0, layer: tuple = (1, 0), label: str = "x") -> pl.Component:
    c = pl.Component()
    c.add_polygon([(0, 0), (size, 0), (size, size), (0, size)], layer)
    c.add_port("o1", (0, size / 2), 180)
    return c


def test_cell_is_marked_and_keeps_its_signature():
    assert pl.is_cell(box) and box._is_cell is True
    assert not pl.is_cell(lambda: None)
    assert box.__name__ == "box" and box.__module__ == __name__
    assert list(inspect.signature(box).parameters) == ["size", "layer", "label"]


@pytest.mark.parametrize(
    ("kwargs", "name"),
    [
        ({}, "box"),
        ({"size": 2}, "box"),
        ({"size": 10}, "box_size10"),
        ({"size": 2.5}, "box_size2p5"),
        ({"size": -1.25}, "box_sizem1p25"),
        ({"layer": (3, 0), "size": 4}, "box_size4_layer3_0"),
        ({"label": "a_b"}, "box_labela_b"),
        # Values that differ only in the decimal point keep distinct names.
        ({"size": 15}, "box_size15"),
        ({"size": 1.5}, "box_size1p5"),
        ({"size": 0.15}, "box_size0p15"),
    ],
)
def test_component_name_encodes_non_default_arguments(kwargs, name):
    assert box(**kwargs).name == name


def test_unsafe_text_arguments_get_a_hash_so_names_stay_distinct():
    name = box(label="a b").name
    assert re.fullmatch(r"box_labela_b_[0-9a-f]{8}", name)
    assert name != box(label="a.b").name != box(label="a_b").name


def test_cache_returns_same_object_for_same_arguments():
    assert box() is box(size=2.0) is box(2)
    assert box(size=3) is not box(size=4)
    assert box(size=3).settings == {"size": 3, "layer": [1, 0], "label": "x"}
    assert box(size=3).function_name == "box"


def test_every_spelling_of_a_call_gets_the_cached_component():
    first = box(3)
    assert box(3) is first and box(size=3) is first and box(3.0, label="x") is first
    listed = box(layer=[5, 0])  # not a plain value: bound and frozen every time
    assert box(layer=[5, 0]) is listed and listed.name == "box_layer5_0"
    for _ in range(2):  # a call that fails is never remembered
        with pytest.raises(TypeError) as err:
            box(sise=3)
        assert str(err.value) == "box(): got an unexpected keyword argument 'sise'"
    box.cache_clear()
    assert box.cache_size() == 0
    assert box(3) is not first and box(size=3) is box(3)


def test_cell_must_return_a_component():
    @pl.cell
    def broken() -> pl.Component:
        return "nope"

    with pytest.raises(TypeError, match="Cell 'broken' must return a Component, got str"):
        broken()


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("strait", "Cell 'strait' not found in PDK 'generic'. Did you mean: straight?"),
        ("mmi1x3", "Cell 'mmi1x3' not found in PDK 'generic'. Did you mean: mmi1x2, mmi2x2?"),
        ("zzz", "Cell 'zzz' not found in PDK 'generic'."),
    ],
)
def test_unknown_cell_message(name, message):
    with pytest.raises(ValueError) as err:
        GENERIC.get_component(name)
    assert str(err.value) == message


def test_get_component_passes_components_through_and_uses_settings():
    c = pl.Component()
    assert pl.get_component(c) is c
    assert pl.get_component("straight", length=3).ports["o2"].center == (3.0, 0.0)
    assert (
        pl.get_component({"component": "straight", "settings": {"length": 4}}).name
        == "straight_length4"
    )


def test_generic_pdk_is_active_by_default():
    script = "import polyloom; print(polyloom.get_active_pdk().name)"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert out.stdout == "generic\n"
    assert GENERIC.layer_priority[:4] == [(1, 0), (3, 0), (41, 0), (45, 0)]
    assert GENERIC.cross_sections["rib"].cladding_layers == ((3, 0),)


def test_activate_and_register_cells():
    mine = pl.Pdk("mine", cells={"box": box}, layers={"WG": (1, 0)})
    try:
        mine.activate()
        assert pl.get_active_pdk() is mine
        assert pl.get_component("box").name == "box"
        with pytest.raises(ValueError, match="Cell 'straight' not found in PDK 'mine'"):
            pl.get_component("straight")
    finally:
        GENERIC.activate()


def test_register_cells_replaces_and_clears_cache():
    @pl.cell
    def part() -> pl.Component:
        return pl.Component()

    pdk = pl.Pdk("tmp", cells={"part": part})
    first = pdk.get_component("part")
    assert part.cache_size() == 1
    pdk.register_cells(part=lambda: pl.Component("other"))
    assert part.cache_size() == 0
    assert pdk.get_component("part").name == "other"
    assert first.name == "part"
    with pytest.raises(TypeError, match="Cell 'bad' must be callable, got int"):
        pdk.register_cells(bad=1)


def test_registered_cells_are_buildable_but_not_the_pdks_own():
    mine = pl.Pdk("mine", cells={"box": box})
    other = lambda: pl.Component("other")  # noqa: E731
    mine.register_cells(boxes=other, box=other)
    assert (mine.cells, mine.extra_cells) == ({"box": other}, {"boxes": other})
    assert mine.all_cells() == {"box": other, "boxes": other}
    assert mine.get_component("boxes").name == "other"
    with pytest.raises(ValueError) as info:
        mine.get_component("boxs")
    assert str(info.value) == "Cell 'boxs' not found in PDK 'mine'. Did you mean: boxes, box?"


def test_cells_built_by_a_pdk_resolve_names_against_it():
    """A PDK that is not active still builds its composite cells from its own cells."""

    def wrapper() -> pl.Component:
        c = pl.Component("wrapper")
        c << pl.get_component("box")
        return c

    other = pl.Pdk("other", cells={"box": box, "wrapper": wrapper})
    assert other.get_component("wrapper").insts[0].component is box()
    assert pl.get_active_pdk() is not other


def test_cross_section_from_a_mapping():
    # An unknown name is covered by test_generic_pdk (a cell's cross_section setting).
    xs = GENERIC.get_cross_section({"width": 0.8, "layer": [1, 0]})
    assert (xs.width, xs.layer) == (0.8, (1, 0))
