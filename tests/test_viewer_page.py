"""The viewer page rewrite and the change polling behind it."""

from __future__ import annotations

import ast
import os
import tempfile
from pathlib import Path

import pytest
from lumencad.core.cli import patch_netlist as pn

VIEWER = Path(__file__).resolve().parent / "expected" / "viewer"
WINDOWS_PATH = "C:\\chips\\top level.gds"
REQUEST = 'encodeURIComponent("'


def script_string(page: str) -> str:
    """The body of the string literal the polling script sends as the path."""
    start = page.index(REQUEST) + len(REQUEST)
    return page[start : page.index('"));', start)]


# --- the page ---------------------------------------------------------------------


@pytest.mark.parametrize(
    ("theme", "expected"), [("light", "page_light.html"), ("dark", "page_dark.html")]
)
def test_page_replacements(theme: str, expected: str) -> None:
    page = (VIEWER / "page.html").read_text()
    assert pn.modify_body(page, theme, WINDOWS_PATH) == (VIEWER / expected).read_text()


def test_every_head_and_body_end_gets_its_block() -> None:
    page = pn.modify_body("</head></head></body></body>", "light", "f.gds")
    assert (page.count("<style>"), page.count("<script>")) == (2, 2)


@pytest.mark.parametrize(
    "name", ["top.gds", "sub dir/top_1.gds", "C:\\x\\y-z.oas", "\\\\server\\share\\a.gds", "a\tb"]
)
def test_ordinary_paths_stand_as_they_are_with_backslashes_doubled(name: str) -> None:
    page = pn.modify_body("<body></body>", "light", name)
    assert script_string(page) == name.replace("\\", "\\\\")


@pytest.mark.parametrize(
    "name",
    [
        'a"b.gds',
        "it's.gds",
        "two\nlines.gds",
        "cr\r.gds",
        "</script><script>alert(1)</script>.gds",
        "<!-- a -->.gds",
        "a&amp;b#c?d%20e+f.gds",
        "ls\u2028ps\u2029.gds",
        'x\\"); alert(1); ("',
        "nul\x00bell\x07.gds",
        "my shadow file.gds",
        "é中😀.gds",
    ],
)
def test_hostile_names_stay_inside_the_script_string(name: str) -> None:
    page = pn.modify_body("<head></head><body></body>", "light", name)
    literal = script_string(page)
    # A JavaScript string literal whose escapes Python reads alike.
    assert ast.literal_eval(f'"{literal}"') == name
    assert not any(c in literal for c in "<>&\n\r\u2028\u2029")
    assert (page.count("<script>"), page.count("</script>")) == (1, 1)
    assert page.endswith("</script>\n</body>")


# --- change polling -------------------------------------------------------------------


@pytest.fixture
def temp_root(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """The system temporary folder, moved into the test's own folder."""
    root = tmp_path / "tmp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


def answer(changed: bool, ts: int, prevts: int, path: Path | str) -> dict:
    return {"changed": changed, "ts": ts, "prevts": prevts, "path": str(path)}


def test_polling_sequence(tmp_path: Path, temp_root: Path) -> None:
    project = tmp_path / "project"
    watched = project / "sub" / "top.gds"
    stamp = temp_root / "layoutserver" / "sub" / "top.txt"

    result = pn.changed(str(project), "sub/top.gds")
    assert (result, list(result)) == (
        answer(False, 0, 0, watched),
        ["changed", "ts", "prevts", "path"],
    )
    assert watched.parent.is_dir() and stamp.parent.is_dir() and not stamp.exists()

    watched.write_bytes(b"GDS")
    os.utime(watched, (1_700_000_000.75, 1_700_000_000.75))
    assert pn.changed(str(project), "sub/top.gds") == answer(True, 1_700_000_000, 0, watched)
    assert stamp.read_text() == "1700000000"
    assert pn.changed(str(project), "sub/top.gds") == answer(
        False, 1_700_000_000, 1_700_000_000, watched
    )

    os.utime(watched, (1_700_000_100, 1_700_000_100))
    assert pn.changed(str(project), "sub/top.gds") == answer(
        True, 1_700_000_100, 1_700_000_000, watched
    )
    watched.unlink()
    assert pn.changed(str(project), "sub/top.gds") == answer(True, 0, 1_700_000_100, watched)
    assert stamp.read_text() == "0"
    assert pn.changed(str(project), "sub/top.gds") == answer(False, 0, 0, watched)


def test_one_stamp_per_name_less_its_extension(tmp_path: Path, temp_root: Path) -> None:
    for project, name in ((tmp_path / "a", "top.gds"), (tmp_path / "b", "top.oas")):
        project.mkdir()
        (project / name).write_bytes(b"x")
        os.utime(project / name, (1_600_000_000, 1_600_000_000))
    assert pn.changed(str(tmp_path / "a"), "top.gds")["changed"] is True
    # Another project, another extension: the same stamp, already reported.
    assert pn.changed(str(tmp_path / "b"), "top.oas") == answer(
        False, 1_600_000_000, 1_600_000_000, tmp_path / "b" / "top.oas"
    )
    assert [p.name for p in (temp_root / "layoutserver").iterdir()] == ["top.txt"]


@pytest.mark.parametrize("name", ["x", "a.gd", "abcd"])
def test_short_names_share_the_stamp_dot_txt(tmp_path: Path, temp_root: Path, name: str) -> None:
    (tmp_path / name).write_bytes(b"x")
    os.utime(tmp_path / name, (5, 5))
    assert pn.changed(str(tmp_path), name) == answer(True, 5, 0, tmp_path / name)
    assert (temp_root / "layoutserver" / ".txt").read_text() == "5"


@pytest.mark.parametrize(
    ("stored", "outcome"),
    [(" 42\n", 42), ("7", 7), ("abc", "invalid literal for int() with base 10: 'abc'")],
)
def test_stored_stamp_is_read_stripped(tmp_path: Path, temp_root: Path, stored, outcome) -> None:
    stamp = temp_root / "layoutserver" / "top.txt"
    stamp.parent.mkdir()
    stamp.write_text(stored)
    if isinstance(outcome, int):
        assert pn.changed(str(tmp_path), "top.gds") == answer(
            True, 0, outcome, tmp_path / "top.gds"
        )
        assert stamp.read_text() == "0"
    else:
        with pytest.raises(ValueError) as info:
            pn.changed(str(tmp_path), "top.gds")
        assert str(info.value) == outcome
        assert stamp.read_text() == stored


def test_stamp_is_replaced_whole(tmp_path: Path, temp_root: Path) -> None:
    (tmp_path / "top.gds").write_bytes(b"x")
    os.utime(tmp_path / "top.gds", (1_000, 1_000))
    pn.changed(str(tmp_path), "top.gds")
    stamp = temp_root / "layoutserver" / "top.txt"
    os.utime(tmp_path / "top.gds", (2_000, 2_000))
    # A poller that opened the stamp just before the write reads the old
    # value whole, never an emptied file.
    with open(stamp) as reader:
        assert pn.changed(str(tmp_path), "top.gds")["prevts"] == 1_000
        assert reader.read() == "1000"
    assert stamp.read_text() == "2000"
    assert [p.name for p in stamp.parent.iterdir()] == ["top.txt"]


@pytest.mark.parametrize(
    ("name", "message"),
    [
        (name, f"File name {name!r} is not inside the project folder.")
        for name in ("/etc/top.gds", "../top.gds", "../../x/top.gds", "a/../../top.gds", "..")
    ]
    + [("a\x00/../../b.gds", "File name 'a\\x00/../../b.gds' holds a null character.")],
)
def test_names_leaving_the_project_are_refused_untouched(
    tmp_path: Path, temp_root: Path, name: str, message: str
) -> None:
    project = tmp_path / "deep" / "project"
    with pytest.raises(ValueError) as info:
        pn.changed(str(project), name)
    assert str(info.value) == message
    assert list(temp_root.iterdir()) == [] and not (tmp_path / "deep").exists()


def test_names_that_stay_inside_after_normalising(tmp_path: Path, temp_root: Path) -> None:
    assert pn.changed(str(tmp_path), "a/../b/./top.gds") == answer(
        False, 0, 0, f"{tmp_path}/a/../b/./top.gds"
    )
    assert (tmp_path / "a").is_dir() and (temp_root / "layoutserver" / "b").is_dir()


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: pn.changed(None, "x.gds"),
            "'project_dir' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda: pn.modify_body("<body></body>", "light", 5),
            "'file' has incorrect type (expected str, got int)",
        ),
    ],
)
def test_text_arguments(call, message: str) -> None:
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument {message}"
