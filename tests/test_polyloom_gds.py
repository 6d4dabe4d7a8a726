"""GDS output: hierarchy, layers and transforms survive a round trip; writes are atomic."""

import errno
import math
import os
import subprocess

import gdstk
import klayout.db as kdb
import polyloom as pl
import polyloom.gds
import pytest


def _leaf(name: str, layer: tuple[int, int]) -> pl.Component:
    c = pl.Component(name)
    c.add_polygon([(0, 0), (4, 0), (4, 1), (0, 1)], layer)
    c.add_port("o1", (0, 0.5), 180)
    return c


def _hierarchy() -> pl.Component:
    top = pl.Component("top")
    leaf = _leaf("leaf", (1, 0))
    top.add_ref(leaf, "a").move((10, 0))
    turned = top.add_ref(leaf, "b")
    turned.rotate(90)
    turned.mirror_x()
    top.add_ref(_leaf("metal", (45, 0)), "m").move((0, 20))
    top.add_polygon([(0, 0), (1, 0), (1, 1)], (66, 0))
    return top


def test_readers_see_cells_references_transforms_layers_and_bbox(tmp_path):
    path, top = tmp_path / "top.gds", _hierarchy()
    top.write_gds(path)
    library = gdstk.read_gds(str(path))
    assert (library.unit, library.precision) == (1e-6, 1e-9)
    cells = {cell.name: cell for cell in library.cells}
    assert sorted(cells) == ["leaf", "metal", "top"]
    refs = {
        (ref.cell.name, ref.origin, round(math.degrees(ref.rotation)), ref.x_reflection)
        for ref in cells["top"].references
    }
    assert refs == {
        ("leaf", (10.0, 0.0), 0, False),
        ("leaf", (0.0, 0.0), 270, True),
        ("metal", (0.0, 20.0), 0, False),
    }
    assert [(p.layer, p.datatype) for p in cells["top"].polygons] == [(66, 0)]
    layout = kdb.Layout()
    layout.read(str(path))
    assert layout.top_cell().name == "top"
    layers = sorted((info.layer, info.datatype) for info in layout.layer_infos())
    assert layers == [(1, 0), (45, 0), (66, 0)]
    box = layout.top_cell().dbbox()
    assert [box.left, box.bottom, box.right, box.top] == top.bbox.ravel().tolist()


def test_distinct_components_with_one_name_get_unique_cell_names(tmp_path):
    top = pl.Component("top")
    top << _leaf("twin", (1, 0))
    top << _leaf("twin", (3, 0))
    top.write_gds(str(tmp_path / "twins.gds"))  # a str path as well as a Path
    names = sorted(cell.name for cell in gdstk.read_gds(str(tmp_path / "twins.gds")).cells)
    assert names == ["top", "twin", "twin$1"]


@pytest.mark.parametrize("old", [b"old", None], ids=["existing", "new"])
def test_failed_write_leaves_old_state_and_no_temp_file(tmp_path, monkeypatch, old):
    path = tmp_path / "keep.gds"
    if old is not None:
        path.write_bytes(old)

    class Exploding:
        def write_gds(self, name):
            with open(name, "wb") as handle:
                handle.write(b"partial")
            raise OSError("disk full")

    monkeypatch.setattr(polyloom.gds, "to_library", lambda top: Exploding())
    with pytest.raises(OSError, match="disk full"):
        _hierarchy().write_gds(path)
    assert os.listdir(tmp_path) == ([] if old is None else ["keep.gds"])
    if old is not None:
        assert path.read_bytes() == old


def test_write_into_missing_folder_names_it(tmp_path):
    missing = tmp_path / "nope"
    with pytest.raises(FileNotFoundError, match=f"Folder '{missing}' does not exist"):
        _hierarchy().write_gds(missing / "x.gds")


def _big(polygons: int) -> pl.Component:
    """A flat component whose GDS file takes about 64 bytes per polygon."""
    c = pl.Component("big")
    for i in range(polygons):
        c.add_polygon([(i, 0), (i + 1, 0), (i + 1, 1), (i, 1)], (1, 0))
    return c


def _gds_files(folder) -> list[str]:
    return sorted(os.listdir(folder))


@pytest.mark.parametrize(
    "cut",
    [
        lambda data: data[:-4],  # whole records, but ENDLIB is missing
        lambda data: data[:-2],  # ENDLIB header cut in two
        lambda data: data[:-1],  # odd size
        lambda data: data[:-6],  # inside ENDSTR
        lambda data: b"",
        lambda data: b"\x00\x07" + data[2:],  # odd record length
        lambda data: data + bytes(4),  # zero-length record after ENDLIB
    ],
    ids=["no-endlib", "half-endlib", "odd-size", "mid-record", "empty", "odd-record", "padding"],
)
@pytest.mark.parametrize("old", [b"old", None], ids=["existing", "new"])
def test_short_write_raises_and_keeps_old_state(tmp_path, monkeypatch, cut, old):
    """gdstk returns normally after a short write; the file's records tell."""
    path = tmp_path / "keep.gds"
    if old is not None:
        path.write_bytes(old)
    real_to_library = polyloom.gds.to_library

    class Truncating:
        def __init__(self, library: gdstk.Library) -> None:
            self.library = library

        def write_gds(self, name: str) -> None:
            self.library.write_gds(name)
            with open(name, "rb") as handle:
                data = handle.read()
            with open(name, "wb") as handle:
                handle.write(cut(data))

    monkeypatch.setattr(polyloom.gds, "to_library", lambda top: Truncating(real_to_library(top)))
    with pytest.raises(OSError) as err:
        _hierarchy().write_gds(path)
    assert (err.value.errno, str(err.value)) == (5, f"[Errno 5] Input/output error: '{path}'")
    assert _gds_files(tmp_path) == ([] if old is None else ["keep.gds"])
    if old is not None:
        assert path.read_bytes() == old


@pytest.mark.parametrize("mode", [0o600, 0o664, 0o444], ids=oct)
def test_replacing_keeps_permission_bits(tmp_path, mode):
    path = tmp_path / "mode.gds"
    path.write_bytes(b"old")
    path.chmod(mode)
    _hierarchy().write_gds(path)
    assert (path.stat().st_mode & 0o7777, _gds_files(tmp_path)) == (mode, ["mode.gds"])
    assert sorted(cell.name for cell in gdstk.read_gds(str(path)).cells) == [
        "leaf",
        "metal",
        "top",
    ]


@pytest.fixture
def small_tmpfs(tmp_path):
    """A 64 KiB tmpfs folder (needs the right to mount; skipped without it)."""
    folder = tmp_path / "small"
    folder.mkdir()
    try:
        mounted = subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(folder)],
            capture_output=True,
            text=True,
        )
    except OSError as error:
        pytest.skip(f"cannot run mount: {error}")
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {mounted.stderr.strip()}")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


@pytest.mark.parametrize("old", [b"old", None], ids=["existing", "new"])
def test_full_file_system_is_reported_with_its_reason(small_tmpfs, old):
    path = small_tmpfs / "full.gds"
    if old is not None:
        path.write_bytes(old)
    with pytest.raises(OSError) as err:
        _big(3000).write_gds(path)  # about 190 KiB
    assert err.value.errno == errno.ENOSPC
    assert str(err.value) == f"[Errno 28] No space left on device: '{path}'"
    assert _gds_files(small_tmpfs) == ([] if old is None else ["full.gds"])
    if old is not None:
        assert path.read_bytes() == old
    _big(10).write_gds(path)  # the space is free again
    assert [cell.name for cell in gdstk.read_gds(str(path)).cells] == ["big"]
