"""Services that lumencad's commands share: error handling, PDK import, project cells."""

from __future__ import annotations

import contextlib
import contextvars
import importlib
import importlib.machinery
import importlib.util
import os
import sys
import tempfile
import traceback
from collections.abc import Callable, Iterable, Iterator
from importlib.metadata import entry_points
from pathlib import Path
from types import ModuleType
from typing import Any

import typer
from natsort import natsort_keygen, natsorted, ns

from lumencad.settings import DEFAULT_PICS, PYPROJECT, find_project_config, read_project_config

__all__ = [
    "PDK_ENTRY_POINT_GROUP",
    "PIC_SUFFIX",
    "available_pdks",
    "cli_environment",
    "find_atelier_project_dir",
    "get_cells",
    "get_pics_dir",
    "get_yaml_cell_name",
    "get_yaml_paths",
    "import_pdk",
    "import_python_modules",
    "print_to_file",
    "project_of",
    "register_cells",
]

PDK_ENTRY_POINT_GROUP = "lumencad.pdks"
PIC_SUFFIX = ".pic.yml"
DEBUG_ENV_VAR = "LUMENCAD_DEBUG"

# Exceptions that already carry their own way of ending a command.
_PASS_THROUGH = (typer.Exit, typer.Abort, typer.TyperException)


# --- command environment -------------------------------------------------


def _one_line(exc: BaseException) -> str:
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    if isinstance(exc, LookupError) and not isinstance(exc, UnicodeError):
        # KeyError('x') prints as "'x'", which says nothing on its own.
        return f"{type(exc).__name__}: {text}" if text else type(exc).__name__
    return text or type(exc).__name__


def _debug_enabled(debug: bool) -> bool:
    return debug or os.environ.get(DEBUG_ENV_VAR, "").strip() == "1"


@contextlib.contextmanager
def cli_environment(stdout_to_stderr: bool = False, debug: bool = False) -> Iterator[None]:
    """Run a command's work: report failures as one line and exit with code 1.

    With ``stdout_to_stderr`` everything printed to standard output inside
    the block goes to standard error, so that a command whose result goes to
    standard output keeps it clean. An exception escaping the block is printed
    as ``error: <message>`` on standard error (after its traceback when
    ``debug`` is true or ``LUMENCAD_DEBUG=1``) and becomes ``typer.Exit(1)``.
    Exit requests and interrupts pass through untouched.
    """
    saved_stdout = sys.stdout
    if stdout_to_stderr:
        saved_stdout.flush()
        sys.stdout = sys.stderr
    try:
        yield
    except _PASS_THROUGH:
        raise
    except Exception as exc:
        sys.stdout = saved_stdout
        if _debug_enabled(debug):
            traceback.print_exception(exc, file=sys.stderr)
        print(f"error: {_one_line(exc)}", file=sys.stderr, flush=True)
        raise typer.Exit(1) from exc
    finally:
        if stdout_to_stderr:
            sys.stdout.flush()
        sys.stdout = saved_stdout


# --- PDKs ------------------------------------------------------------------


def _pdk_entry_points() -> dict[str, Any]:
    return {ep.name: ep for ep in entry_points(group=PDK_ENTRY_POINT_GROUP)}


def available_pdks() -> list[str]:
    """Names of the PDKs that ``import_pdk`` knows without guessing module names."""
    return natsorted({"generic", *_pdk_entry_points()})


def _as_pdk(obj: Any, origin: str) -> Any:
    if isinstance(obj, ModuleType):
        obj = getattr(obj, "PDK", None)
    if not all(hasattr(obj, attr) for attr in ("cells", "register_cells", "activate")):
        raise ValueError(f"{origin} does not provide a PDK (got {type(obj).__name__}).")
    return obj


def _is_module_name(name: str) -> bool:
    return bool(name) and all(part.isidentifier() for part in name.split("."))


def import_pdk(name: str) -> Any:
    """The PDK called ``name``.

    "generic" is polyloom's built-in PDK; other names are looked up in the
    entry-point group ``lumencad.pdks``, then imported as a module exposing
    ``PDK``. The PDK is returned, not activated.
    """
    if not isinstance(name, str):
        raise TypeError(f"PDK name must be a string, got {type(name).__name__}.")
    from lumencad.core.pdk import note_pdk

    if name == "generic":
        from polyloom.generic import PDK

        return note_pdk(PDK).pdk
    entry_point = _pdk_entry_points().get(name)
    if entry_point is not None:
        origin = f"Entry point {name!r} of {PDK_ENTRY_POINT_GROUP!r}"
        return note_pdk(_as_pdk(entry_point.load(), origin)).pdk
    if _is_module_name(name):
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as exc:
            # Only a missing PDK module means "unknown"; a PDK whose own
            # imports fail reports that failure.
            if exc.name is None or not (name == exc.name or name.startswith(exc.name + ".")):
                raise
        else:
            if hasattr(module, "PDK"):
                return note_pdk(_as_pdk(module, f"Module {name!r}")).pdk
    raise ValueError(f"Unknown PDK {name!r}. Available PDKs: {', '.join(available_pdks())}")


# --- project folders ---------------------------------------------------------


# The root of the project a command is looking at, while it looks (see project_of).
_project_dir: contextvars.ContextVar[str | None] = contextvars.ContextVar(
    "lumencad_project_dir", default=None
)


def find_atelier_project_dir() -> str:
    """The project root: inside ``project_of(path)``, that project's root; else the
    nearest folder from the working directory upwards whose ``pyproject.toml``
    has a ``[tool.lumencad]`` table; else the working directory."""
    current = _project_dir.get()
    if current is not None:
        return current
    config = find_project_config()
    return str(config.dir) if config is not None else os.getcwd()


@contextlib.contextmanager
def project_of(path: str | os.PathLike[str]) -> Iterator[None]:
    """Within the block, the project is the one that holds ``path``.

    That is the nearest folder from ``path`` upwards whose ``pyproject.toml`` has
    a ``[tool.lumencad]`` table: ``find_atelier_project_dir()`` returns it, and
    ``register_cells()`` registers its pics. A command given a project's folder
    thus finds that project's build outputs wherever it is run from. When no
    such folder holds ``path``, nothing changes.
    """
    config = find_project_config(path)
    if config is None:
        yield
        return
    token = _project_dir.set(str(config.dir))
    try:
        yield
    finally:
        _project_dir.reset(token)


def get_pics_dir(project_dir: str | os.PathLike[str] | None = None) -> str:
    """The pics folder of a project (default: ``find_atelier_project_dir()``):
    the ``pics`` setting of its ``[tool.lumencad]`` table, else "pics"."""
    project_dir = os.path.abspath(
        project_dir if project_dir is not None else find_atelier_project_dir()
    )
    pyproject = os.path.join(project_dir, PYPROJECT)
    config = read_project_config(Path(pyproject)) if os.path.isfile(pyproject) else None
    pics = config.pics if config is not None else DEFAULT_PICS
    return os.path.join(project_dir, pics)


def _existing_folder(folder: str | os.PathLike[str]) -> str:
    folder = os.path.abspath(os.fspath(folder))
    if not os.path.exists(folder):
        raise ValueError(f"Path does not exist: {folder}")
    if not os.path.isdir(folder):
        raise ValueError(f"Not a folder: {folder}")
    return folder


def _walk_sorted(folder: str) -> Iterator[tuple[str, list[str]]]:
    """(directory, file names) pairs under ``folder``, skipping hidden and cache folders."""
    for dirpath, dirnames, filenames in os.walk(folder):
        dirnames[:] = natsorted(d for d in dirnames if not d.startswith(".") and d != "__pycache__")
        yield dirpath, natsorted(f for f in filenames if not f.startswith("."))


def get_yaml_paths(
    folder: str | os.PathLike[str], paths: Iterable[str | os.PathLike[str]] | None = None
) -> list[str]:
    """Absolute paths of the pic files under ``folder``, in natural order.

    With ``paths``, those paths instead (in their order, each once), after
    checking that each is an existing pic file.
    """
    if paths is not None:
        result: list[str] = []
        for path in paths:
            path = os.path.abspath(os.fspath(path))
            if not os.path.isfile(path):
                raise ValueError(f"Pic file does not exist: {path}")
            if not path.endswith(PIC_SUFFIX):
                raise ValueError(f"Not a {PIC_SUFFIX} file: {path}")
            if path not in result:
                result.append(path)
        return result
    folder = _existing_folder(folder)
    found = [
        os.path.join(dirpath, name)
        for dirpath, filenames in _walk_sorted(folder)
        for name in filenames
        if name.endswith(PIC_SUFFIX)
    ]
    # Only regular files: reading a FIFO or a device named like a pic blocks.
    found = [path for path in found if os.path.isfile(path)]
    # Natural path order. Every path starts with `folder`, so the order of
    # the paths below it is the same.
    start = len(os.path.join(folder, ""))
    key = _PicPathKey()
    return sorted(found, key=lambda path: key(path[start:]))


class _PicPathKey:
    """natsort's ``ns.PATH`` key of a relative pic path, built from the keys of
    its components: a path is keyed per folder and, for its file name, per
    stem and suffix, so the key of each folder and suffix is computed once.
    Names whose suffixes natsort would split otherwise (a stem holding a dot)
    get natsort's own key."""

    def __init__(self) -> None:
        self._component = natsort_keygen()
        self._path = natsort_keygen(alg=ns.PATH)
        self._suffixes = tuple(self._component(part) for part in (".pic", ".yml"))
        self._folders: dict[str, Any] = {}

    def __call__(self, relative: str) -> Any:
        *folders, name = relative.split(os.sep)
        stem = name[: -len(PIC_SUFFIX)]
        if not stem or "." in stem or not all(folders):
            return self._path(relative)
        return (
            *(self._folder(part) for part in folders),
            self._component(stem),
            *self._suffixes,
        )

    def _folder(self, part: str) -> Any:
        key = self._folders.get(part)
        if key is None:
            key = self._folders[part] = self._component(part)
        return key


def get_yaml_cell_name(path: str | os.PathLike[str]) -> str:
    """The cell a pic file defines: its file name without ".pic.yml"."""
    name = os.path.basename(os.fspath(path))
    if not name.endswith(PIC_SUFFIX) or name == PIC_SUFFIX:
        raise ValueError(f"Not a {PIC_SUFFIX} file: {os.fspath(path)}")
    return name[: -len(PIC_SUFFIX)]


# --- python cells --------------------------------------------------------------


def _is_cell_function(obj: Any) -> bool:
    from polyloom import is_cell

    return is_cell(obj)


def _module_paths(package_dir: str, package: str) -> list[tuple[str, str]]:
    """(dotted module name, file) of every importable module under ``package_dir``."""
    modules = []
    for dirpath, filenames in _walk_sorted(package_dir):
        rel = os.path.relpath(dirpath, package_dir)
        parts = [] if rel == "." else rel.split(os.sep)
        if not all(p.isidentifier() for p in parts):
            continue  # not importable as a package
        for name in filenames:
            stem, ext = os.path.splitext(name)
            if ext != ".py" or stem == "__init__" or not stem.isidentifier():
                continue
            modules.append((".".join([package, *parts, stem]), os.path.join(dirpath, name)))
    return natsorted(modules, key=lambda item: item[1], alg=ns.PATH)


# Set on the pics packages that _claim_package creates.
_PICS_MARK = "__lumencad_pics__"


def _same_file(a: str | None, b: str) -> bool:
    return a is not None and os.path.abspath(a) == os.path.abspath(b)


def _forget_package(package: str) -> None:
    for name in [m for m in sys.modules if m == package or m.startswith(package + ".")]:
        del sys.modules[name]


def _claim_package(package: str, package_dir: str) -> None:
    """Bind the top-level package ``package`` to ``package_dir``.

    The package is set up from that folder directly rather than found on
    ``sys.path``: a same-named regular package of another project would win
    the search over a folder without ``__init__.py``. A pics package that an
    earlier call set up from another folder is dropped with its submodules;
    any other module of that name is left alone and the call fails.
    """
    what = f"Cannot import the Python modules of {package_dir}"
    if package in sys.stdlib_module_names:
        raise ValueError(f"{what}: {package!r} is the name of a standard library module.")
    cached = sys.modules.get(package)
    if cached is not None:
        locations = list(getattr(cached, "__path__", None) or [])
        if len(locations) == 1 and _same_file(locations[0], package_dir):
            return
        if not getattr(cached, _PICS_MARK, False):
            where = getattr(cached, "__file__", None) or locations or "elsewhere"
            raise ValueError(f"{what}: package {package!r} is already imported from {where}.")
        _forget_package(package)
    init = os.path.join(package_dir, "__init__.py")
    if os.path.isfile(init):
        spec = importlib.util.spec_from_file_location(
            package, init, submodule_search_locations=[package_dir]
        )
    else:
        spec = importlib.machinery.ModuleSpec(package, None, is_package=True)
        spec.submodule_search_locations = [package_dir]
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    setattr(module, _PICS_MARK, True)
    sys.modules[package] = module
    try:
        if spec.loader is not None:
            spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[package]
        raise
    importlib.invalidate_caches()


def _import_fresh(name: str, path: str) -> ModuleType:
    """Import module ``name`` from ``path``; import it anew when the file changed."""
    mtime = os.stat(path).st_mtime_ns
    module = sys.modules.get(name)
    if module is not None and (
        not _same_file(getattr(module, "__file__", None), path)
        or getattr(module, "__lumencad_mtime__", None) != mtime
    ):
        # A fresh module object, so that names the old source defined are gone;
        # its cached bytecode may look current when the size and second match.
        del sys.modules[name]
        with contextlib.suppress(OSError):
            os.unlink(importlib.util.cache_from_source(path))
        importlib.invalidate_caches()
        module = None
    if module is None:
        module = importlib.import_module(name)
    module.__lumencad_mtime__ = mtime
    return module


def import_python_modules(folder: str | os.PathLike[str]) -> list[ModuleType]:
    """Import every Python module under the pics folder ``folder``.

    Modules are imported as package ``<folder name>.<sub>...`` with the
    folder's parent on ``sys.path``; ``__init__.py`` files are imported as
    their packages but not listed. Returns the modules in natural path order.
    """
    folder = _existing_folder(folder)
    modules = _module_paths(folder, os.path.basename(folder))
    if not modules:
        return []
    package = os.path.basename(folder)
    if not package.isidentifier():
        raise ValueError(
            f"Cannot import the Python modules of {folder}: "
            f"{package!r} is not a valid Python package name."
        )
    parent = os.path.dirname(folder)
    if parent not in sys.path:
        sys.path.insert(0, parent)
    _claim_package(package, folder)
    return [_import_fresh(name, path) for name, path in modules]


def get_cells(modules: ModuleType | Iterable[ModuleType]) -> dict[str, Callable[..., Any]]:
    """Cell functions defined in ``modules`` (one module or several), by name.

    Only functions marked by polyloom's ``@cell`` that the module itself
    defines count (not ones it imports), in definition order. Two modules
    defining cells of the same name raise ValueError naming both files: one
    of them would silently go missing.
    """
    if isinstance(modules, ModuleType):
        modules = [modules]
    cells: dict[str, Callable[..., Any]] = {}
    sources: dict[str, ModuleType] = {}
    for module in modules:
        for obj in list(vars(module).values()):
            if (
                _is_cell_function(obj)
                and getattr(obj, "__module__", None) == module.__name__
                and cells.get(obj.__name__) is not obj
            ):
                first = sources.setdefault(obj.__name__, module)
                if first is not module:
                    raise ValueError(
                        f"Duplicate cell {obj.__name__!r}: defined in {_module_file(first)} "
                        f"and in {_module_file(module)}."
                    )
                cells[obj.__name__] = obj
    return cells


def _module_file(module: ModuleType) -> str:
    return getattr(module, "__file__", None) or module.__name__


def register_cells(
    picsdir: str | os.PathLike[str] | None = None, verbose: bool = False
) -> dict[str, Callable[..., Any]]:
    """Register a project's pics and Python cells in the active PDK.

    ``picsdir`` defaults to the pics folder of ``find_atelier_project_dir()``;
    when that folder is missing, nothing is registered. Pics come first, then
    Python cells; a Python cell replaces a pic of the same name. Returns the
    registered factories by name.
    """
    import polyloom
    from polyloom.read.from_yaml_template import cell_from_yaml_template

    from lumencad.core.pdk import note_pdk, remember_project_cells

    if picsdir is None:
        folder = get_pics_dir(find_atelier_project_dir())
        if not os.path.isdir(folder):
            return {}
    else:
        folder = os.path.abspath(os.fspath(picsdir))
        if os.path.isfile(folder):
            folder = os.path.dirname(folder)
        folder = _existing_folder(folder)

    pics: dict[str, Callable[..., Any]] = {}
    sources: dict[str, str] = {}
    for path in get_yaml_paths(folder):
        name = get_yaml_cell_name(path)
        factory = cell_from_yaml_template(path, name)
        factory.__name__ = name
        pics[name] = factory
        sources[name] = path
    python_cells = get_cells(import_python_modules(folder))
    for name, func in python_cells.items():
        pics.pop(name, None)
        sources[name] = sys.modules[func.__module__].__file__ or func.__module__

    cells = {**pics, **python_cells}
    pdk = polyloom.get_active_pdk()
    note_pdk(pdk)  # before registering: what it holds now are its own cells
    pdk.register_cells(**cells)
    remember_project_cells(pdk, pics=pics, python_cells=python_cells)
    if verbose:
        for name in cells:
            kind = "pic" if name in pics else "python cell"
            print(f"registered {kind} {name!r} from {sources[name]}", file=sys.stderr)
    return cells


# --- output --------------------------------------------------------------------


def print_to_file(outpath: str | os.PathLike[str], content: str) -> None:
    """Write ``content`` to "stdout", "stderr", or a file.

    A file is replaced atomically: the text goes to a temporary file in the
    same folder first, so a failure never leaves a half-written file.
    """
    if not isinstance(content, str):
        raise TypeError(f"content must be a string, got {type(content).__name__}.")
    target = os.fspath(outpath)
    if target in ("stdout", "stderr"):
        stream = sys.stdout if target == "stdout" else sys.stderr
        stream.write(content)
        stream.flush()
        return
    target = os.path.abspath(target)
    if os.path.isdir(target):
        raise ValueError(f"Output path is a folder: {target}")
    folder = os.path.dirname(target)
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(content)
        os.chmod(tmp, _file_mode(target))
        os.replace(tmp, target)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _file_mode(target: str) -> int:
    """Keep an existing file's mode; a new file gets 0o666 less the umask."""
    try:
        return os.stat(target).st_mode & 0o7777
    except FileNotFoundError:
        return 0o666 & ~_current_umask()


def _current_umask() -> int:
    # Reading the umask through os.umask briefly changes it for every thread;
    # Linux reports it in /proc without touching it.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    umask = os.umask(0o022)
    os.umask(umask)
    return umask
