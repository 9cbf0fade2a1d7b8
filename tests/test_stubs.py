"""The type stub varnix/orvo/kalvex.pyi states what the module reports: every
public name, class member and module function of the live module has its
counterpart in the stub and the other way round, in the same order, with the
same kinds, parameter names, defaults and annotations (the stub's source text
of an annotation is the string the module reports)."""
import ast
import inspect
import os
import subprocess
import sys
import tempfile
import typing

import torch

import varnix.orvo.kalvex as kx

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EMPTY = inspect.Parameter.empty
CALLABLE = type(kx.modular_sum)
MT = kx.ModularTensor
with open(os.path.join(ROOT, "varnix", "orvo", "kalvex.pyi")) as f:
    STUB = ast.parse(f.read())
(STUB_CLASS,) = [n for n in STUB.body if isinstance(n, ast.ClassDef) and n.name == "ModularTensor"]


def text(node):
    return EMPTY if node is None else ast.unparse(node)


def stub_signature(fn):
    """[(name, kind, (type, default), annotation)] and the return annotation of a stub def."""
    a = fn.args
    # The module's callables take plain and *name parameters only: other forms would go unread.
    assert not (a.posonlyargs or a.kwonlyargs or a.kwarg), fn.name
    defaults = [EMPTY] * (len(a.args) - len(a.defaults)) + [(type(v), v) for v in map(ast.literal_eval, a.defaults)]
    params = [(p.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d, text(p.annotation)) for p, d in zip(a.args, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, EMPTY, text(a.vararg.annotation)))
    return params, text(fn.returns)


def live_signature(obj):
    sig = inspect.signature(obj)
    return [(p.name, p.kind, EMPTY if p.default is EMPTY else (type(p.default), p.default), p.annotation)
            for p in sig.parameters.values()], sig.return_annotation


def decorator(fn):
    assert len(fn.decorator_list) <= 1, fn.name
    return ast.unparse(fn.decorator_list[0]) if fn.decorator_list else "method"


def assert_same_functions(stubbed, live):
    """Stub defs and live (name, kind, function) triples agree in order, kind and signature."""
    assert [(f.name, decorator(f)) for f in stubbed] == [(name, kind) for name, kind, _ in live]
    for fn, (name, _, obj) in zip(stubbed, live):
        assert stub_signature(fn) == live_signature(obj), name


def declared_attributes(body):
    return {n.target.id: n.annotation for n in body if isinstance(n, ast.AnnAssign)}


def holds(value, annotation_node):
    """isinstance for the simple annotations (a type, Optional, Union) a stub attribute uses."""
    expected = eval(ast.unparse(annotation_node), {"torch": torch, **vars(typing)})
    options = typing.get_args(expected) if typing.get_origin(expected) is typing.Union else (expected,)
    return any(value is None if t is type(None) else isinstance(value, t) for t in options)


def test_class_members_match_in_order_kind_and_signature():
    live = []
    for name, value in vars(MT).items():  # every entry but the slots and the class's own data
        if name in (*MT.__slots__, "__module__", "__doc__", "__slots__", "__hash__"):
            continue
        if isinstance(value, classmethod):
            live.append((name, "classmethod", value.__func__))
        elif isinstance(value, property):
            live.append((name, "property", value.fget))
        else:
            live.append((name, "method" if isinstance(value, CALLABLE) else type(value).__name__, value))
    assert_same_functions([n for n in STUB_CLASS.body if isinstance(n, ast.FunctionDef)], live)


def test_class_slots_and_hash():
    attributes = declared_attributes(STUB_CLASS.body)
    assert ast.unparse(attributes.pop("__hash__")) == "ClassVar[None]" and MT.__hash__ is None
    assert list(attributes) == list(MT.__slots__)
    made = MT.from_fraction(1, 3, (2,), "cpu")
    for name, node in attributes.items():
        assert holds(getattr(made, name), node), name
    assert holds(MT(made.num, made.denom)._approx, attributes["_approx"])


def test_module_functions_public_names_and_constants():
    live = [(name, "method", value) for name, value in vars(kx).items() if isinstance(value, CALLABLE)]
    assert_same_functions([n for n in STUB.body if isinstance(n, ast.FunctionDef)], live)
    (all_node,) = [n for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_node.value) == kx.__all__
    declared = {n.name for n in STUB.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    constants = declared_attributes(STUB.body)
    assert set(kx.__all__) == declared | set(constants)
    for name, node in constants.items():
        assert holds(getattr(kx, name), node), name


def test_pip_install_carries_the_stub_and_marker():
    # The metadata goes to a fresh folder too: a manifest left by an earlier
    # build would carry files that the configuration no longer names.
    with tempfile.TemporaryDirectory() as tmp:
        out = subprocess.run([sys.executable, "setup.py", "-q", "egg_info", "--egg-base", tmp,
                              "build_py", "--build-lib", os.path.join(tmp, "lib")], cwd=ROOT,
                             capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr[-3000:]
        installed = set(os.listdir(os.path.join(tmp, "lib", "varnix", "orvo")))
    assert {"kalvex.pyi", "py.typed", "__init__.py"} <= installed
