# The type stubs beside the package describe the extension as built: every public name, and for
# each function and method the parameters pybind11 reports, in order. A name added to the module
# without a stub, or a renamed argument, fails here.
import ast
import inspect
import re
from pathlib import Path

import pytest

import tiltfit
from tiltfit import _core

STUBS = Path(tiltfit.__file__).resolve().parent / "_core.pyi"


def stub_tree():
    if not STUBS.exists():
        pytest.skip(f"{STUBS} is not beside the module")
    return ast.parse(STUBS.read_text())


def public(names):
    return {n for n in names if not n.startswith("_")}


def stub_parameters(functions):
    """Parameter names of a stub function (its overloads' union, in order), self left out."""
    names = []
    for f in functions:
        a = f.args
        for arg in a.posonlyargs + a.args + a.kwonlyargs:
            if arg.arg != "self" and arg.arg not in names:
                names.append(arg.arg)
    return names


def bound_parameters(obj):
    """Parameter names pybind11 writes in the first line of the docstring: name(a: T, b: U = x)."""
    first = (obj.__doc__ or "").splitlines()[0]
    inside = first[first.index("(") + 1 : first.rindex(")")]
    # Split at top-level commas only: defaults such as [1, 2, 3] or ',' hold commas of their own.
    depth, quote, piece, pieces = 0, None, "", []
    for c in inside:
        if quote:
            quote = None if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        if c == "," and depth == 0 and not quote:
            pieces.append(piece)
            piece = ""
        else:
            piece += c
    pieces.append(piece)
    names = [re.split(r"[:=]", p.strip())[0].strip() for p in pieces if p.strip()]
    return [n for n in names if n not in ("self", "*", "/", "*args", "**kwargs")]


def defs_of(body):
    out = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            out.setdefault(node.name, []).append(node)
    return out


def test_every_public_name_of_the_extension_has_a_stub_and_no_stub_is_left_over():
    tree = stub_tree()
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    assert public(names) == public(dir(_core))
    assert "__version__" in names


# The entries that take samples are wrapped so that they take a DataFrame too.
WRAPPED = {"calibrate", "calibrate_auto", "apply", "read_csv", "LiveSession"}


def test_the_package_gives_every_name_of_the_extension():
    for name in public(dir(_core)) | {"__version__"}:
        if name in WRAPPED:
            wrapped = getattr(tiltfit, name)
            assert wrapped is not getattr(_core, name), name
            if isinstance(wrapped, type):
                assert issubclass(wrapped, getattr(_core, name)), name
            continue
        assert getattr(tiltfit, name) is getattr(_core, name), name


def test_functions_take_the_parameters_their_stubs_name():
    tree = stub_tree()
    functions = defs_of(tree.body)
    checked = 0
    for name, stubs in functions.items():
        if name.startswith("_"):
            continue
        assert stub_parameters(stubs) == bound_parameters(getattr(_core, name)), name
        checked += 1
    assert checked >= 4


def test_methods_and_properties_of_classes_match_their_stubs():
    tree = stub_tree()
    classes = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    assert classes
    for cls in classes:
        bound = getattr(_core, cls.name)
        methods = defs_of(cls.body)
        properties = {n for n, fs in methods.items()
                      if any(isinstance(d, ast.Name) and d.id == "property"
                             for f in fs for d in f.decorator_list)}
        members = public(n for n, _ in inspect.getmembers(bound))
        assert public(methods) == members, cls.name
        for name, stubs in methods.items():
            if name in properties:
                assert isinstance(inspect.getattr_static(bound, name), property), name
                continue
            assert stub_parameters(stubs) == bound_parameters(getattr(bound, name)), (
                f"{cls.name}.{name}")
