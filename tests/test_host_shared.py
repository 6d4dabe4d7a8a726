"""Host services: the command environment, output, PDK import and project files."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest
import typer
from lumencad.core import shared
from natsort import natsorted, ns


def boom(exc: BaseException, **kwargs) -> None:
    with shared.cli_environment(**kwargs):
        print("progress")
        raise exc


@pytest.mark.parametrize(
    ("exc", "line"),
    [
        (None, ""),  # a normal end
        (ValueError("Path does not exist: x"), "error: Path does not exist: x\n"),
        (RuntimeError("first\n  second"), "error: first second\n"),
        (KeyError("pdk"), "error: KeyError: 'pdk'\n"),
        # Exits and interrupts pass through unchanged.
        (typer.Exit(2), ""),
        (KeyboardInterrupt(), ""),
        (SystemExit(3), ""),
    ],
)
def test_stdout_goes_to_stderr_inside_and_a_failure_is_one_line(capsys, exc, line) -> None:
    before, outcome = sys.stdout, None
    try:
        with shared.cli_environment(True, False):
            print("progress")
            if exc is not None:
                raise exc
    except BaseException as caught:
        outcome = caught
    print("result")
    assert sys.stdout is before
    if line:
        assert (type(outcome), outcome.exit_code, outcome.__cause__) == (typer.Exit, 1, exc)
    else:
        assert outcome is exc
    assert capsys.readouterr() == ("result\n", "progress\n" + line)


@pytest.mark.parametrize(("env", "debug"), [("", False), ("1", False), ("", True)])
def test_traceback_only_when_debugging(capsys, monkeypatch, env, debug) -> None:
    monkeypatch.setenv("LUMENCAD_DEBUG", env)
    with pytest.raises(typer.Exit):
        boom(ValueError("bad"), debug=debug)
    err = capsys.readouterr().err
    if env or debug:
        assert "Traceback (most recent call last)" in err
        assert err.endswith("ValueError: bad\nerror: bad\n")
    else:
        assert err == "error: bad\n"


def test_print_to_file_replaces_whole_file_keeps_mode_or_leaves_old_file(tmp_path: Path) -> None:
    target = tmp_path / "out" / "n.pic.yml"
    shared.print_to_file(str(target), "first version, rather long\n")
    target.chmod(0o640)
    shared.print_to_file(str(target), "second\n")
    with pytest.raises(UnicodeEncodeError):
        shared.print_to_file(target, "bad \udcff surrogate")
    assert target.read_text() == "second\n"
    assert target.stat().st_mode & 0o777 == 0o640
    assert os.listdir(target.parent) == ["n.pic.yml"]


@pytest.mark.parametrize("name", ["foo", "json", "", "../x", "no.such.module"])
def test_unknown_pdk_lists_available(name) -> None:
    with pytest.raises(ValueError) as info:
        shared.import_pdk(name)
    assert str(info.value) == f"Unknown PDK {name!r}. Available PDKs: generic"


def test_pdk_from_module(tmp_path: Path, monkeypatch, restore_pdk) -> None:
    (tmp_path / "fab_pdk.py").write_text("import polyloom\nPDK = polyloom.Pdk('fab')\n")
    (tmp_path / "broken_pdk.py").write_text("import missing_dependency_xyz\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    assert shared.import_pdk("fab_pdk").name == "fab"
    # A PDK module whose own imports fail reports that failure, not "unknown PDK".
    with pytest.raises(ModuleNotFoundError, match="missing_dependency_xyz"):
        shared.import_pdk("broken_pdk")


def test_find_project_dir(examples_dir: Path, tmp_path: Path, monkeypatch) -> None:
    monkeypatch.chdir(examples_dir / "pics" / "sub")
    assert shared.find_atelier_project_dir() == str(examples_dir)
    assert shared.get_pics_dir() == str(examples_dir / "pics")
    (tmp_path / "pyproject.toml").write_text("[project]\nname = 'not-lumencad'\n")
    monkeypatch.chdir(tmp_path)
    assert shared.find_atelier_project_dir() == str(tmp_path)
    # A command looking at a project's folder finds that project from anywhere.
    with shared.project_of(examples_dir / "pics" / "sub"):
        assert (shared.find_atelier_project_dir(), shared.get_pics_dir()) == (
            str(examples_dir),
            str(examples_dir / "pics"),
        )
        with shared.project_of(tmp_path):  # in no project: no change
            assert shared.find_atelier_project_dir() == str(examples_dir)
    assert shared.find_atelier_project_dir() == str(tmp_path)


def test_yaml_paths_natural_order_and_hidden_folders(tmp_path: Path) -> None:
    for rel in ["c10.pic.yml", "c2.pic.yml", ".hidden/x.pic.yml", "notes.yml", "a/b.pic.yml"]:
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text("instances: {}\n")
    paths = [os.path.relpath(p, tmp_path) for p in shared.get_yaml_paths(str(tmp_path))]
    assert paths == ["a/b.pic.yml", "c2.pic.yml", "c10.pic.yml"]
    given = shared.get_yaml_paths("ignored", paths=[tmp_path / "c2.pic.yml"] * 2)
    assert given == [str(tmp_path / "c2.pic.yml")]
    with pytest.raises(ValueError) as info:
        shared.get_yaml_paths(tmp_path, paths=[tmp_path / "notes.yml"])
    assert str(info.value) == f"Not a .pic.yml file: {tmp_path / 'notes.yml'}"
    assert shared.get_yaml_cell_name("a/mzi.v2.pic.yml") == "mzi.v2"
    with pytest.raises(ValueError, match=r"^Not a \.pic\.yml file: \.pic\.yml$"):
        shared.get_yaml_cell_name(".pic.yml")


def test_pic_paths_in_natural_path_order(tmp_path: Path) -> None:
    # Numbers in folders and stems, ties (x01, x1), stems with dots, names
    # and folders that only differ in their suffixes, non-ASCII digits.
    names = [
        "x10.pic.yml", "x9.pic.yml", "x01.pic.yml", "x1.pic.yml", "X2.pic.yml",
        "a.b.pic.yml", "a.pic.yml", "a/z.pic.yml", "a1/b.pic.yml", "a10/b.pic.yml",
        "a2/c3/d.pic.yml", "a2/c10.pic.yml", "v1.2.pic.yml", "v1.10.pic.yml",
        "7.pic.yml", "n\u0663.pic.yml", "n2.pic.yml", "é1.pic.yml", "e1.pic.yml",
    ]  # fmt: skip
    for name in names:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("")
    found = shared.get_yaml_paths(tmp_path)
    walked = [os.path.join(d, f) for d, _, files in os.walk(tmp_path) for f in files]
    assert found == natsorted(natsorted(walked), alg=ns.PATH)
    assert sorted(found) == sorted(str(tmp_path / name) for name in names)


def test_python_modules_and_cells_of_example(examples_dir: Path, restore_pdk) -> None:
    pics = examples_dir / "pics"
    modules = shared.import_python_modules(pics)
    assert [(m.__name__, m.__file__) for m in modules] == [
        ("pics.cells.mycells", str(pics / "cells" / "mycells.py"))
    ]
    cells = shared.get_cells(modules)
    # The imported PDK cell `straight` and the plain helper are not cells of the module.
    assert list(cells) == ["waveguide_array", "heated_straight"]
    assert shared.get_cells(modules[0]) == cells


def write_module(pics: Path, cell_name: str) -> Path:
    pics.mkdir(parents=True, exist_ok=True)
    source = (
        f"from polyloom import cell, Component\n@cell\ndef {cell_name}():\n    return Component()\n"
    )
    (pics / "lib.py").write_text(source)
    return pics


def cells_of(pics: Path) -> list[str]:
    return list(shared.get_cells(shared.import_python_modules(pics)))


def test_same_package_name_in_two_projects_and_changed_modules(tmp_path, restore_pdk) -> None:
    first = write_module(tmp_path / "p1" / "pics", "one")
    second = write_module(tmp_path / "p2" / "pics", "two")
    (second / "__init__.py").write_text("")  # a regular package must not shadow the next one
    assert [cells_of(first), cells_of(second), cells_of(first)] == [["one"], ["two"], ["one"]]
    # A changed module is imported again.
    lib = write_module(first, "three") / "lib.py"
    os.utime(lib, ns=(0, lib.stat().st_mtime_ns + 10**9))
    assert cells_of(first) == ["three"]


@pytest.mark.parametrize(
    ("folder_name", "reason"),
    [
        ("my-pics", "'my-pics' is not a valid Python package name."),
        ("json", "'json' is the name of a standard library module."),
        ("yaml", "package 'yaml' is already imported from {yaml}."),
    ],
)
def test_pics_folder_must_be_a_free_package_name(tmp_path: Path, folder_name, reason) -> None:
    import yaml

    folder = tmp_path / folder_name
    folder.mkdir()
    assert shared.import_python_modules(folder) == []  # nothing to import: fine
    (folder / "cells.py").write_text("")
    with pytest.raises(ValueError) as info:
        shared.import_python_modules(folder)
    message = f"Cannot import the Python modules of {folder}: " + reason.format(yaml=yaml.__file__)
    assert str(info.value) == message
    assert sys.modules["yaml"] is yaml
