"""The type stubs shipped with the compiled modules say what the modules hold."""

from __future__ import annotations

import ast
import importlib
import inspect
from pathlib import Path
from typing import Any

import pytest

MODULES = [
    "lumencad.core.netlist",
    "lumencad.core.cli.build_pics",
    "lumencad.core.cli.build_pdk",
    "lumencad.core.explore",
    "lumencad.core.cli.tree",
    "lumencad.core.cli.patch_netlist",
    "polyloom._geometry",
]


def stub_of(module: Any) -> ast.Module:
    path = Path(module.__file__).parent / (module.__name__.rpartition(".")[2] + ".pyi")
    return ast.parse(path.read_text())


def top_level_names(tree: ast.Module) -> set[str]:
    """The names a stub declares. As in any stub, only an import with "as" re-exports
    the name; a plain import (`from typing import Any`) serves the annotations."""
    names: set[str] = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Import | ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname)
    return names


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, str | None, object]]:
    """(name, annotation text, default) per parameter; `...` stands for any default."""
    args = node.args.args
    defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
    defaults += [
        Ellipsis if isinstance(d, ast.Constant) and d.value is Ellipsis else ast.literal_eval(d)
        for d in node.args.defaults
    ]
    return [
        (a.arg, ast.unparse(a.annotation) if a.annotation else None, default)
        for a, default in zip(args, defaults, strict=True)
    ]


def runtime_parameters(function: Any) -> list[tuple[str, str | None, object]]:
    signature = inspect.signature(function)
    return [
        (
            p.name,
            None if p.annotation is inspect.Parameter.empty else p.annotation,
            p.default,
        )
        for p in signature.parameters.values()
    ]


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name: str) -> None:
    module = importlib.import_module(name)
    tree = stub_of(module)
    assert top_level_names(tree) == {n for n in vars(module) if not n.startswith("__")}
    for node in tree.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        function = getattr(module, node.name)
        expected = runtime_parameters(function)
        stubbed = stub_parameters(node)
        for (name_, annotation, default), (_, stub_annotation, stub_default) in zip(
            expected, stubbed, strict=True
        ):
            assert (name_, stub_annotation) == (name_, annotation), node.name
            if stub_default is not Ellipsis:
                assert (name_, stub_default) == (name_, default), node.name
            else:  # a default that depends on the settings
                assert default is not inspect.Parameter.empty, node.name
        returns = inspect.signature(function).return_annotation
        stub_returns = ast.unparse(node.returns) if node.returns else None
        assert stub_returns == (None if returns is inspect.Signature.empty else returns), node.name


def test_packages_are_marked_typed() -> None:
    import lumencad
    import netweave
    import polyloom

    for package in (lumencad, polyloom, netweave):
        assert (Path(package.__file__).parent / "py.typed").is_file()
