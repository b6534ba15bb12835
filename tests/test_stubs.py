"""The type stubs name every public function and class of the built modules,
with the same parameters, and are installed as stub-only packages."""
import ast
import importlib
import inspect
import os
import sysconfig

import pytest

STUBS = os.path.join(os.path.dirname(__file__), os.pardir, "stubs")
MODULES = ["Hollark", "Wendrel", "Tessil", "Dravio", "Rimwell", "Tavelin", "Orbisk"]


def stub_definitions(name):
    """Public top-level functions and classes of a stub: name -> ast node."""
    with open(os.path.join(STUBS, f"{name}.pyi"), encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    return {node.name: node for node in tree.body
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")}


def stub_parameters(function):
    """(name, kind, has default) of each parameter of a stub's def."""
    args = function.args
    positional = [(a.arg, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs] + \
                 [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    first_default = len(positional) - len(args.defaults)
    return [(name, kind, k >= first_default) for k, (name, kind) in enumerate(positional)]


def runtime_parameters(callable_):
    return [(p.name, p.kind, p.default is not inspect.Parameter.empty)
            for p in inspect.signature(callable_).parameters.values()]


@pytest.mark.parametrize("name", MODULES)
def test_stubs_match_the_modules(name, orbisk):
    module = importlib.import_module(name)
    defined = {key: value for key, value in vars(module).items()
               if not key.startswith("_") and getattr(value, "__module__", None) == name}
    stubs = stub_definitions(name)
    assert sorted(defined) == sorted(stubs)
    for key, value in defined.items():
        node = stubs[key]
        if isinstance(value, type):
            methods = {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
            own = [m for m in vars(value) if callable(vars(value)[m]) and (m == "__init__" or not m.startswith("__"))]
            assert sorted(own) == sorted(methods), key
            for method in own:
                assert stub_parameters(methods[method]) == runtime_parameters(vars(value)[method]), f"{key}.{method}"
        else:
            assert stub_parameters(node) == runtime_parameters(value), key


@pytest.mark.parametrize("name", MODULES)
def test_stubs_are_installed_as_stub_packages(name):
    package = os.path.join(sysconfig.get_paths()["purelib"], f"{name}-stubs")
    with open(os.path.join(package, "__init__.pyi"), encoding="utf-8") as installed, \
            open(os.path.join(STUBS, f"{name}.pyi"), encoding="utf-8") as source:
        assert installed.read() == source.read()
    assert os.path.exists(os.path.join(package, "py.typed"))
