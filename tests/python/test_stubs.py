"""The type stubs of vurel._vurel checked against the module itself."""

from __future__ import annotations

import ast
import inspect
import types
from pathlib import Path

import pytest

import vurel
from cli_fixtures import compile_model
from vurel import _vurel

STUB = Path(vurel.__file__).with_name("_vurel.pyi")


def _stub_classes() -> dict[str, ast.ClassDef]:
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _stub_module_names() -> set[str]:
    tree = ast.parse(STUB.read_text())
    names = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    names |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    return names


def _functions(node: ast.ClassDef) -> dict[str, list[ast.FunctionDef]]:
    functions: dict[str, list[ast.FunctionDef]] = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            functions.setdefault(item.name, []).append(item)
    return functions


def _is_property(function: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def _stub_parameters(function: ast.FunctionDef) -> list[tuple[str, object]]:
    """(name, default) of each parameter after self/cls; a missing default is Parameter.empty."""
    arguments = function.args
    assert not arguments.posonlyargs and not arguments.kwonlyargs
    assert arguments.vararg is None and arguments.kwarg is None
    names = [argument.arg for argument in arguments.args][1:]
    defaults = [ast.literal_eval(default) for default in arguments.defaults]
    padded = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
    return list(zip(names, padded))


def _runtime_parameters(callable_) -> list[tuple[str, object]]:
    parameters = list(inspect.signature(callable_).parameters.values())
    if parameters and parameters[0].name in ("self", "cls"):
        parameters = parameters[1:]
    for parameter in parameters:
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, parameter
    return [(parameter.name, parameter.default) for parameter in parameters]


def test_stub_names_every_public_name_of_the_module():
    runtime = {name for name in vars(_vurel) if not name.startswith("_")} | {"__all__"}
    assert _stub_module_names() == runtime
    assert set(_vurel.__all__) == set(_stub_classes())


def test_model_methods_and_signatures_match():
    stub = _functions(_stub_classes()["Model"])
    runtime = {name for name in vars(_vurel.Model) if not name.startswith("_")}
    assert set(stub) - {"__new__"} == runtime
    assert _stub_parameters(stub["__new__"][0]) == _runtime_parameters(_vurel.Model) == [("path", inspect.Parameter.empty), ("delim", "")]
    for name in runtime:
        expected = _runtime_parameters(getattr(_vurel.Model, name))
        for overload in stub[name]:
            assert _stub_parameters(overload) == expected, name
        documented = [ast.get_docstring(overload) for overload in stub[name] if ast.get_docstring(overload)]
        assert documented == [getattr(_vurel.Model, name).__doc__], name


def test_pathdata_properties_are_read_only_and_match():
    stub = _functions(_stub_classes()["PathData"])
    runtime = {name for name in vars(_vurel.PathData) if not name.startswith("_")}
    assert set(stub) == runtime
    for name in runtime:
        assert all(_is_property(function) for function in stub[name])
        descriptor = vars(_vurel.PathData)[name]
        assert isinstance(descriptor, types.GetSetDescriptorType), name


def test_return_types_match_the_stub(tmp_path):
    model = _vurel.Model(str(compile_model(tmp_path)))
    assert isinstance(model.find_isym("a"), int) and model.find_isym("zz") is None
    assert isinstance(model.find_osym(3), str) and model.find_osym(999) is None
    words = model.phoneticize("cat")
    assert words and all(isinstance(text, str) for text in words)
    sampled = model.phoneticize_sampling("cat", nbest=2)
    assert len(sampled) == 2 and all(isinstance(text, str) for path in sampled for text in path)
    (path,) = model.phoneticize_paths("cat")
    assert isinstance(path, _vurel.PathData) and isinstance(path.path_weight, float)
    for name in ("path_weights",):
        assert all(isinstance(value, float) for value in getattr(path, name))
    for name in ("ilabels", "olabels", "uniques"):
        values = getattr(path, name)
        assert values and all(isinstance(value, int) for value in values)
    with pytest.raises(AttributeError):
        path.uniques = []  # type: ignore[misc]
