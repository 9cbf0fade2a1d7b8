"""The type stub varnix/orvo/kalvex.pyi states what the module reports.

Every public name, class member and module function of the live module has
its counterpart in the stub and the other way round, in the same order, with
the same parameter names, kinds, defaults and annotations (the stub's source
text of an annotation is the string the module reports).
"""
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
PACKAGE = os.path.join(ROOT, "varnix", "orvo")
EMPTY = inspect.Parameter.empty
CALLABLE = type(kx.modular_sum)


def stub():
    with open(os.path.join(PACKAGE, "kalvex.pyi")) as f:
        return ast.parse(f.read())


def stub_class(tree):
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "ModularTensor"]
    return cls


def literal(node):
    value = ast.literal_eval(node)
    return type(value), value  # so that True and 1 differ


def annotation(node):
    return EMPTY if node is None else ast.unparse(node)


def stub_signature(fn):
    """[(name, kind, default, annotation)], return annotation of a stub def."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [EMPTY] * (len(positional) - len(a.defaults)) + [literal(d) for d in a.defaults]
    params = [(p.arg, inspect.Parameter.POSITIONAL_ONLY if p in a.posonlyargs else
               inspect.Parameter.POSITIONAL_OR_KEYWORD, d, annotation(p.annotation))
              for p, d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, EMPTY, annotation(a.vararg.annotation)))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, inspect.Parameter.KEYWORD_ONLY, EMPTY if d is None else literal(d),
                       annotation(p.annotation)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, EMPTY, annotation(a.kwarg.annotation)))
    return params, annotation(fn.returns)


def live_signature(obj):
    sig = inspect.signature(obj)
    params = [(p.name, p.kind, EMPTY if p.default is EMPTY else (type(p.default), p.default), p.annotation)
              for p in sig.parameters.values()]
    return params, sig.return_annotation


def decorator(fn):
    names = [ast.unparse(d) for d in fn.decorator_list]
    assert len(names) <= 1, (fn.name, names)
    return names[0] if names else "method"


def live_members():
    """(name, kind, function) of each method, class method and property, in class order."""
    members = []
    for name, value in vars(kx.ModularTensor).items():
        if isinstance(value, classmethod):
            members.append((name, "classmethod", value.__func__))
        elif isinstance(value, property):
            members.append((name, "property", value.fget))
        elif isinstance(value, CALLABLE):
            members.append((name, "method", value))
    return members


def declared_attributes(body):
    return {n.target.id: n.annotation for n in body if isinstance(n, ast.AnnAssign)}


def holds(value, annotation_node):
    """isinstance for the simple annotations a stub attribute uses."""
    expected = eval(ast.unparse(annotation_node), {"torch": torch, **vars(typing)})
    if typing.get_origin(expected) is typing.Union:
        return any(holds_type(value, t) for t in typing.get_args(expected))
    return holds_type(value, expected)


def holds_type(value, expected):
    return value is None if expected is type(None) else isinstance(value, expected)


class TestClass:
    def test_members_match_in_order_kind_and_signature(self):
        stubbed = [n for n in stub_class(stub()).body if isinstance(n, ast.FunctionDef)]
        live = live_members()
        assert [(f.name, decorator(f)) for f in stubbed] == [(name, kind) for name, kind, _ in live]
        for fn, (name, _, obj) in zip(stubbed, live):
            assert stub_signature(fn) == live_signature(obj), name

    def test_slots_and_hash(self):
        attributes = declared_attributes(stub_class(stub()).body)
        hash_annotation = attributes.pop("__hash__")
        assert list(attributes) == list(kx.ModularTensor.__slots__)
        assert ast.unparse(hash_annotation) == "ClassVar[None]" and kx.ModularTensor.__hash__ is None
        made = kx.ModularTensor.from_fraction(1, 3, (2,), "cpu")
        for name, node in attributes.items():
            assert holds(getattr(made, name), node), name
        assert holds(kx.ModularTensor(made.num, made.denom)._approx, attributes["_approx"])


class TestModule:
    def test_functions_match_in_order_and_signature(self):
        stubbed = [n for n in stub().body if isinstance(n, ast.FunctionDef)]
        live = [(name, value) for name, value in vars(kx).items() if isinstance(value, CALLABLE)]
        assert [f.name for f in stubbed] == [name for name, _ in live]
        for fn, (name, obj) in zip(stubbed, live):
            assert stub_signature(fn) == live_signature(obj), name

    def test_public_names_and_constants(self):
        tree = stub()
        (all_node,) = [n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
        assert ast.literal_eval(all_node.value) == kx.__all__
        declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
        constants = declared_attributes(tree.body)
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


def test_stub_signature_reader_sees_every_parameter_form():
    fn = ast.parse("def f(a, /, b: int = 1, *c: 'T', d=None, **e) -> torch.Tensor: ...").body[0]
    P = inspect.Parameter
    assert stub_signature(fn) == ([("a", P.POSITIONAL_ONLY, EMPTY, EMPTY),
                                   ("b", P.POSITIONAL_OR_KEYWORD, (int, 1), "int"),
                                   ("c", P.VAR_POSITIONAL, EMPTY, "'T'"),
                                   ("d", P.KEYWORD_ONLY, (type(None), None), EMPTY),
                                   ("e", P.VAR_KEYWORD, EMPTY, EMPTY)], "torch.Tensor")

