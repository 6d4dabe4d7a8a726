"""What the builders' per-cell loop leaves on disk when writing goes wrong: short and
failed writes, a full disk, permission bits, links at log paths, temporary files of
killed runs, and names the locale cannot encode."""

from __future__ import annotations

import errno
import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

import gdstk
import pytest
from builder_helpers import PACKAGE_ROOT, SUCCESS_LOG, make_project, run
from conftest import FakeComponent
from lumencad.core.cli import build_pics as bp

pytestmark = [
    pytest.mark.usefixtures("restore_pdk"),
    pytest.mark.filterwarnings("ignore:(importing a fake PDK|building )"),
]

INCOMPLETE = "OSError: Incomplete GDS output for {gds}: "


def files_under(folder: Path) -> dict[Path, bytes]:
    return {p: p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


@pytest.mark.parametrize(
    ("outcome", "line", "on_error"),
    [
        ("write fails", "OSError: disk full while writing b", "continue"),
        (
            "short write",
            INCOMPLETE + "the file ends inside the record at byte {endlib}",
            "continue",
        ),
        ("short write", INCOMPLETE + "the file ends inside the record at byte {endlib}", "stop"),
        (FakeComponent("b", mangle=lambda d: b""), INCOMPLETE + "the file is empty", "continue"),
        (
            FakeComponent("b", mangle=lambda d: d + bytes(4)),
            INCOMPLETE + "the record at byte {size} has an invalid length 0",
            "continue",
        ),
        (
            FakeComponent("b", mangle=lambda d: d[:-4] + b"\x00\x05\x04\x00"),
            INCOMPLETE + "the record at byte {endlib} has an invalid length 5",
            "continue",
        ),
        (
            FakeComponent("b", mangle=lambda d: d[:-4]),
            INCOMPLETE + "the last record, at byte {endstr}, is not ENDLIB",
            "continue",
        ),
        ("ports fail", "TypeError: Object of type set is not JSON serializable", "continue"),
    ],
)
def test_a_failed_write_fails_the_cell_and_keeps_the_old_files(
    tmp_path, fake_pdk, monkeypatch, outcome, line, on_error
) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml", "b.pic.yml", "c.pic.yml"])
    pdk = fake_pdk()
    assert run(pics_dir)[0] == 0
    gds, log = tmp_path / "proj" / "build" / "gds", tmp_path / "proj" / "build" / "log"
    before = files_under(gds)

    if outcome == "ports fail":
        outcome = "ok"
        ports = {"o1": "w", "o2": "e"}
        monkeypatch.setattr(bp, "_try_get_ports", lambda c: {"o1": {1}} if c.name == "b" else ports)
    pdk.outcomes["b"] = outcome
    # A GDS file ends with ENDSTR and ENDLIB, four bytes each.
    size = len(before[gds / "b.gds"])
    line = line.format(gds=gds / "b.gds", size=size, endlib=size - 4, endstr=size - 8)
    failed = f"FAILED b: {line} (log: {log}/b.log)\n"
    built_a = f"[picyml] a... SUCCESS. -> {gds}/a.gds\n[picyml] b... FAILED.\n"
    if on_error == "stop":
        text = line.split(": ", 1)[1]
        assert run(pics_dir, on_error) == (1, built_a, f"{failed}{text}\n1 cell built, 1 failed.\n")
    else:
        console = built_a + f"[picyml] c... SUCCESS. -> {gds}/c.gds\n"
        assert run(pics_dir, on_error) == (0, console, failed + "2 cells built, 1 failed.\n")

    assert files_under(gds) == before  # old files kept, no temporary file left
    assert gdstk.read_gds(str(gds / "b.gds")).cells[0].name == "b"
    written = (log / "b.log").read_text()
    start = "building b\n" + SUCCESS_LOG.format("b") + "writing b\nERROR\n"
    assert written.startswith(start) and written.endswith(f"{line}\n")


@pytest.fixture
def small_disk() -> Iterator[Callable[[Path], None]]:
    """Mounts a 1 MiB file system on a folder (skips where mounting is not allowed)."""
    mounted: list[Path] = []

    def mount(folder: Path) -> None:
        command = ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(folder)]
        if shutil.which("mount") is None or subprocess.run(command, capture_output=True).returncode:
            pytest.skip("cannot mount a small file system here")
        mounted.append(folder)

    yield mount
    for folder in mounted:
        subprocess.run(["umount", "-l", str(folder)], check=True)


def fill(path: Path) -> None:
    """Writes to `path` until the file system is full, to the last byte."""
    with open(path, "wb", buffering=0) as f:
        for chunk in (b"\0" * 65536, b"\0"):
            try:
                while True:
                    f.write(chunk)
            except OSError as exc:
                if exc.errno != errno.ENOSPC:
                    raise


def test_a_full_disk_fails_the_cells_and_keeps_earlier_layouts(examples_dir, tmp_path, small_disk):
    shutil.copytree(examples_dir, tmp_path / "ex", ignore=shutil.ignore_patterns("build"))
    out = tmp_path / "ex" / "build" / "gds"
    out.mkdir(parents=True)
    small_disk(out)  # the logs stay on the roomy disk

    def build() -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [sys.executable, "-m", "lumencad", "build-pics", "ex/pics", "--pdk", "generic"],
            capture_output=True,
            text=True,
            env={**os.environ, "PYTHONPATH": PACKAGE_ROOT},
            cwd=tmp_path,
        )

    first = build()
    assert (first.returncode, first.stderr) == (0, "7 cells built, 0 failed.\n")
    layouts = files_under(out)
    fill(out / "filler")
    second = build()

    console, errors = "", ""
    for entry in first.stdout.splitlines():
        announced, gds_path = entry.split(" SUCCESS. -> ")
        name = Path(gds_path).stem
        log = tmp_path / "ex" / "build" / "log" / Path(gds_path).parent.relative_to(out) / name
        console += f"{announced} FAILED.\n"
        errors += f"FAILED {name}: OSError: [Errno 28] No space left on device: '{gds_path}' "
        errors += f"(log: {log}.log)\n"
    assert (second.returncode, second.stdout, second.stderr) == (
        0,
        console,
        errors + "0 cells built, 7 failed.\n",
    )
    assert files_under(out) == {**layouts, out / "filler": (out / "filler").read_bytes()}
    for gds_path in (p for p in layouts if p.suffix == ".gds"):
        assert gdstk.read_gds(str(gds_path)).top_level()[0].name == gds_path.stem


def test_replaced_files_keep_their_permission_bits(tmp_path: Path, fake_pdk) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml"])
    fake_pdk()
    assert run(pics_dir)[0] == 0
    files = [tmp_path / "proj" / "build" / "gds" / rel for rel in ("a.gds", "ports/a.json")]
    for path, mode in zip(files, (0o640, 0o604), strict=True):
        path.chmod(mode)
    inodes = [p.stat().st_ino for p in files]
    assert run(pics_dir)[0] == 0
    assert [p.stat().st_mode & 0o7777 for p in files] == [0o640, 0o604]
    assert all(p.stat().st_ino != inode for p, inode in zip(files, inodes, strict=True))


@pytest.mark.parametrize("when", ["before the build", "while building"])
def test_a_link_at_a_log_path_is_replaced_not_followed(tmp_path: Path, fake_pdk, when) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml"])
    victim = tmp_path / "victim.txt"
    victim.write_text("keep me\n")
    log = tmp_path / "proj" / "build" / "log" / "a.log"

    def plant() -> str:
        log.unlink(missing_ok=True)
        log.symlink_to(victim)
        return "ok"

    expected = "building a\n" + SUCCESS_LOG.format("a") + "writing a\n"
    if when == "before the build":
        log.parent.mkdir(parents=True)
        plant()
        fake_pdk()
    else:  # the log was opened before the link came: it goes on into the unlinked file
        pdk = fake_pdk({"a": plant})
        assert run(pics_dir)[0] == 0
        assert (victim.read_text(), log.is_symlink()) == ("keep me\n", True)
        pdk.outcomes["a"] = "ok"
    assert run(pics_dir)[0] == 0
    assert (victim.read_text(), log.is_symlink(), log.read_text()) == ("keep me\n", False, expected)


def test_temporary_files_of_dead_processes_are_removed(tmp_path: Path, fake_pdk) -> None:
    pics_dir = make_project(tmp_path, ["a.pic.yml", "sub/b.pic.yml"])
    fake_pdk()
    assert run(pics_dir)[0] == 0
    finished = subprocess.run(
        [sys.executable, "-c", "import os; print(os.getpid())"],
        check=True,
        capture_output=True,
        text=True,
    )
    dead, alive = int(finished.stdout), os.getppid()
    build = tmp_path / "proj" / "build"
    stale = [
        f"gds/.a.tmp-{dead}.gds",
        f"gds/ports/.a.tmp-{dead}.json",
        f"gds/sub/.b.tmp-{dead}.gds",
        f"gds/.space-probe.tmp-{dead}",
    ]
    kept = [
        f"gds/.a.tmp-{alive}.gds",  # a run still going on
        f"gds/a.tmp-{dead}.gds",  # not hidden: not a temporary name
        f"gds/.a.tmp-{dead}.gds.bak",
        f"log/.a.tmp-{dead}.log",  # not an output folder
    ]
    for rel in stale + kept:
        (build / rel).write_text("")
    assert run(pics_dir)[0] == 0
    assert [rel for rel in stale + kept if (build / rel).exists()] == kept


CAFE = "caf\udcc3\udca9"  # the name of a file "café" as read under the C locale

CELL_WITH_UNENCODABLE_NAME = f"""
from polyloom import cell
from polyloom.generic.cells import straight


@cell
def cafe():
    return straight()


cafe.__name__ = {CAFE!r}
"""


def test_a_cell_name_the_locale_cannot_encode_builds(tmp_path: Path) -> None:
    pics = tmp_path / "proj" / "pics"
    pics.mkdir(parents=True)
    (pics / "lib.py").write_text(CELL_WITH_UNENCODABLE_NAME)
    env = {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}
    env["PYTHONIOENCODING"] = "utf-8:surrogateescape"  # the console shows the file's bytes
    result = subprocess.run(
        [sys.executable, "-m", "lumencad", "build-pics", "proj/pics", "--pdk", "generic"],
        capture_output=True,
        env={**os.environ, **env, "PYTHONPATH": PACKAGE_ROOT},
        cwd=tmp_path,
    )
    gds = os.fsencode(tmp_path / "proj" / "build" / "gds") + b"/caf\xc3\xa9.gds"
    assert (result.returncode, result.stdout, result.stderr) == (
        0,
        b"[python] caf\xc3\xa9... SUCCESS. -> " + gds + b"\n",
        b"1 cell built, 0 failed.\n",
    )
    with open(os.fsencode(tmp_path / "proj" / "build" / "log") + b"/caf\xc3\xa9.log", "rb") as f:
        assert f.read() == b"SUCCESS: Succesfully built 'caf\\udcc3\\udca9.gds'.\n"
