"""PDK helpers after a project registered its cells, and cross-section checks."""

from __future__ import annotations

from pathlib import Path

import polyloom
import pytest
from lumencad.core import pdk as hp
from lumencad.core import shared
from polyloom.generic import PDK as GENERIC
from polyloom.generic.cells import CELLS

GENERIC_CELLS = list(CELLS)
PICS = ["hierarchical", "mzi_delay", "routed", "ring_filter", "touching"]
PYTHON_CELLS = ["waveguide_array", "heated_straight"]


@pytest.fixture
def clean_generic(restore_pdk) -> None:
    """The generic PDK with its own cells only (other tests may have registered more)."""
    GENERIC.cells.clear()
    GENERIC.cells.update(CELLS)
    GENERIC.extra_cells.clear()
    GENERIC.activate()


def test_example_project_on_top_of_the_pdk(capsys, examples_dir: Path, clean_generic) -> None:
    assert list(shared.register_cells(examples_dir / "pics", verbose=True)) == PICS + PYTHON_CELLS
    out, err = capsys.readouterr()
    pics = examples_dir / "pics"
    assert (out, err.splitlines()[1], err.splitlines()[-1]) == (
        "",
        f"registered pic 'mzi_delay' from {pics / 'mzi_delay.pic.yml'}",
        f"registered python cell 'heated_straight' from {pics / 'cells' / 'mycells.py'}",
    )
    assert hp.get_pdk_pics() == list(GENERIC.cells) == GENERIC_CELLS
    assert hp.get_all_pics() == GENERIC_CELLS + PICS + PYTHON_CELLS
    names = ["mmi1x2", "mzi_delay", "ring_filter", "waveguide_array", "nope"]
    assert [hp.is_pdk_pic(n) for n in names] == [True, False, False, False, False]
    assert [hp.is_hierarchical_pic(n) for n in names] == [False, True, True, False, False]


def test_python_cell_replacing_a_pic_is_not_hierarchical(tmp_path: Path, clean_generic) -> None:
    pics = tmp_path / "pics"
    pics.mkdir()
    (pics / "ring.pic.yml").write_text("instances:\n  s: straight\n")
    (pics / "same.py").write_text(
        "from polyloom import cell, get_component\n"
        "@cell\ndef ring():\n    return get_component('straight').dup()\n"
    )
    shared.register_cells(pics)
    assert hp.is_hierarchical_pic("ring") is False
    assert polyloom.get_component("ring").function_name == "ring"


def test_register_without_project_does_nothing(tmp_path: Path, monkeypatch, clean_generic) -> None:
    monkeypatch.chdir(tmp_path)
    assert shared.register_cells() == {}
    assert hp.get_all_pics() == GENERIC_CELLS


def test_helpers_follow_the_active_pdk(restore_pdk) -> None:
    fab = polyloom.Pdk(
        "fab", cells={"pad": CELLS["pad"]}, layers={"M": (9, 1)}, layer_priority=[(8, 0), [9, 1]]
    ).activate()
    assert hp.get_pdk_pics() == ["pad"]
    # Registered straight on the PDK (as the pics builder does), not through register_cells.
    fab.register_cells(extra=CELLS["straight"])
    assert (hp.get_pdk_pics(), hp.get_all_pics()) == (["pad"], ["pad", "extra"])
    assert (hp.is_pdk_pic("pad"), hp.is_pdk_pic("extra")) == (True, False)
    assert hp.most_common_layers() == [(8, 0), (9, 1)]
    # A cell that replaces one of the PDK's own is no longer the PDK's.
    fab.register_cells(pad=CELLS["straight"])
    assert (hp.is_pdk_pic("pad"), hp.get_pdk_pics()) == (False, [])


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("strip", "strip"),
        (None, None),
        ({"width": 1, "layer": "WG"}, {"layer": [1, 0], "width": 1.0}),
        (
            {"width": 0.5, "cladding_offsets": [3], "cladding_layers": ["SLAB"], "radius": 5},
            {"cladding_layers": [[3, 0]], "cladding_offsets": [3.0], "radius": 5.0, "width": 0.5},
        ),
    ],
)
def test_check_cross_section_normalises(value, expected) -> None:
    result = hp.check_cross_section(value)
    assert result == expected
    if isinstance(expected, dict):
        assert list(result) == sorted(result)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ("foo", "Unknown cross-section 'foo'. Known: metal_routing, rib, strip"),
        (3, "Unknown cross-section 3. Known: metal_routing, rib, strip"),
        ({"layer": "WG"}, "Missing 'width' in cross-section {'layer': 'WG'}."),
        (
            {"width": 1, "colour": "red"},
            "Unknown key 'colour' in cross-section {'width': 1, 'colour': 'red'}. Known keys: "
            "cladding_layers, cladding_offsets, layer, name, port_names, radius, width",
        ),
        (
            {"width": 1, "layer": [1, 0, 0]},
            "Invalid layer [1, 0, 0] in cross-section {'width': 1, 'layer': [1, 0, 0]}: "
            "expected a name or [layer, datatype].",
        ),
    ],
)
def test_check_cross_section_rejects(value, message) -> None:
    with pytest.raises(ValueError) as info:
        hp.check_cross_section(value)
    assert str(info.value) == message


def test_check_cross_section_applies_layout_rules() -> None:
    with pytest.raises(ValueError, match=r"^Invalid cross-section \{'width': -1\}: .+"):
        hp.check_cross_section({"width": -1})
