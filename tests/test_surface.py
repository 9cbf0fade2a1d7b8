"""The module's public surface: names, order, docstrings, metadata, argument
binding and exact-type checks.  The signatures themselves are pinned by the
type stub (test_stubs.py)."""
import inspect
import math
import types
import typing

import pytest
import torch

import varnix.orvo.kalvex as kx
from support import BASIS
from surface_table import FUNCTION_DOCS, MEMBER_DOCS

MT = kx.ModularTensor
EMPTY = inspect.Parameter.empty
IMPORT_MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
                    "__cached__"}


def sample():
    return MT.from_fraction(3, 4, (2,), "cpu")


def unwrap(obj):
    """The function object behind a class member (from a classmethod or a read-only property)."""
    if isinstance(obj, classmethod):
        return obj.__func__
    if isinstance(obj, property):
        assert obj.fset is None and obj.fdel is None
        return obj.fget
    return obj


CALLABLES = [pytest.param(unwrap(MT.__dict__[n]), "ModularTensor." + n, d, id=n) for n, d in MEMBER_DOCS.items()] + [
    pytest.param(getattr(kx, n), n, d, id=n) for n, d in FUNCTION_DOCS.items()]


def test_module_attributes_basis_and_docstring():
    assert [n for n in vars(kx) if n not in IMPORT_MACHINERY] == [
        "torch", "Union", "List", "Tuple", "Optional", "PRIMES", "N_PRIMES", "ModularTensor", *FUNCTION_DOCS, "__all__"]
    assert kx.torch is torch
    assert all(getattr(kx, n) is getattr(typing, n) for n in ("Union", "List", "Tuple", "Optional"))
    assert type(kx.__all__) is list
    assert kx.PRIMES.dtype == torch.int64 and kx.PRIMES.device.type == "cpu" and kx.PRIMES.tolist() == BASIS
    assert type(kx.N_PRIMES) is int and kx.N_PRIMES == 20
    # Distinct odd primes below 2^31 - 1, descending, with a product of 620 bits.
    assert BASIS == sorted(set(BASIS), reverse=True) and BASIS[0] < 2**31 - 1
    assert all(p % 2 and all(p % d for d in range(3, int(p**0.5) + 1, 2)) for p in BASIS)
    assert math.prod(BASIS).bit_length() == 620
    lines = kx.__doc__.split("\n")
    assert lines[0] == "" and lines[1].strip() and lines[1] == lines[1].strip()
    assert lines[2:] == ["", "Native CUDA implementation of exact rational arithmetic using",
                         "modular representation. Each value is stored as residues mod",
                         "multiple primes, enabling exact arithmetic with O(1) memory.", "",
                         "All operations are fully parallel on GPU.", ""]


def test_class_members_and_instances():
    assert MT.__bases__ == (object,) and type(MT) is type
    assert (MT.__module__, MT.__qualname__, MT.__name__) == ("varnix.orvo.kalvex", "ModularTensor", "ModularTensor")
    assert MT.__slots__ == ("num", "denom", "primes", "device", "_approx")
    assert MT.__doc__ == ("\n    GPU tensor with exact modular arithmetic.\n\n"
                          "    Each element is stored as (num_residues, denom_residues) across N primes.\n"
                          "    Shape: [N_PRIMES, *original_shape] for both num and denom.\n\n"
                          "    All operations are element-wise and fully parallel.\n    ")
    defined = [n for n in MT.__dict__ if n not in (*MT.__slots__, "__module__", "__doc__", "__slots__", "__hash__")]
    assert defined == list(MEMBER_DOCS)
    x = sample()
    assert MT.__hash__ is None and not hasattr(x, "__dict__")
    with pytest.raises(TypeError, match="unhashable type: 'ModularTensor'"):
        hash(x)
    for name, value in [("value", 1), ("shape", (1,)), ("T", x)]:
        with pytest.raises(AttributeError):
            setattr(x, name, value)
    for name in defined:
        obj, f = MT.__dict__[name], unwrap(MT.__dict__[name])
        if isinstance(obj, classmethod):
            for owner in (MT, x):  # bound to the class either way
                bound = getattr(owner, name)
                assert bound.__self__ is MT and bound.__func__ is f
        elif not isinstance(obj, property):
            bound = getattr(x, name)
            assert isinstance(bound, types.MethodType) and bound.__self__ is x and bound.__func__ is f
            assert getattr(MT, name) is f  # a plain function on the class
    for shape in [(2,), (1, 2), (1,) * 11 + (2,)]:
        assert x.reshape(*shape).shape == shape


def python_twin(f, qualname):
    """A plain Python function with the same parameters and qualified name: its
    binding errors are the reference wording."""
    sig = inspect.signature(f)
    namespace = {}
    plain = sig.replace(parameters=[p.replace(annotation=EMPTY) for p in sig.parameters.values()],
                        return_annotation=EMPTY)
    exec(f"def twin{plain}: pass", namespace)
    twin = namespace["twin"]
    twin.__code__ = twin.__code__.replace(co_qualname=qualname, co_name=f.__name__)
    twin.__qualname__ = qualname
    return twin


CALL_PATTERNS = [
    ((), {}), ((1,), {}), ((1, 2), {}), ((1, 2, 3), {}), ((1, 2, 3, 4, 5), {}), ((1, 2, 3, 4, 5, 6, 7), {}),
    ((), {"bogus": 1}), ((1,), {"self": 1}), ((1,), {"cls": 1}), ((1, 2), {"num": 1}), ((1,), {"n": 1, "k": 2}),
    ((1, 2), {"dim": 1}), ((), {"x": 1, "b": 2}), ((1,), {"shape": 1}),
]


@pytest.mark.parametrize("f, qualname, docstring", CALLABLES)
def test_metadata_and_binding_errors(f, qualname, docstring):
    assert (f.__name__, f.__qualname__, f.__module__) == (qualname.rpartition(".")[2], qualname, "varnix.orvo.kalvex")
    assert f.__doc__ == docstring
    # __defaults__ and __annotations__ say what the signature says.
    sig = inspect.signature(f)
    params = list(sig.parameters.values())
    defaults = [(type(p.default), p.default) for p in params if p.default is not EMPTY]
    assert [(type(d), d) for d in f.__defaults__ or ()] == defaults and f.__defaults__ != ()
    assert f.__kwdefaults__ is None
    annotations = [(p.name, p.annotation) for p in params if p.annotation is not EMPTY]
    if sig.return_annotation is not EMPTY:
        annotations.append(("return", sig.return_annotation))
    assert list(f.__annotations__.items()) == annotations
    # Calls that bind wrongly are refused in Python's words.
    twin = python_twin(f, qualname)
    checked = 0
    for args, kwargs in CALL_PATTERNS:
        try:
            twin(*args, **kwargs)
            continue
        except TypeError as e:
            expected = str(e)
        with pytest.raises(TypeError) as info:
            f(*args, **kwargs)
        assert str(info.value) == expected
        checked += 1
    assert checked > 0


def test_binding_errors_through_instances_and_slots():
    x = sample()
    for call, message in [
        (lambda: x.topk(1, 2, 3, 4), "ModularTensor.topk() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda: x.pow(), "ModularTensor.pow() missing 1 required positional argument: 'n'"),
        (lambda: MT.zeros(), "ModularTensor.zeros() missing 1 required positional argument: 'shape'"),
        (lambda: pow(x, 2, 5), "ModularTensor.__pow__() takes 2 positional arguments but 3 were given"),
        (lambda: MT(), "ModularTensor.__init__() missing 2 required positional arguments: 'num' and 'denom'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


# --- exact-type checks -----------------------------------------------------------------------------------------

IntSub, FloatSub, StrSub, TupleSub = (type(base.__name__.title() + "Sub", (base,), {})
                                      for base in (int, float, str, tuple))

# For each checked parameter kind: the type named in messages, a valid value,
# and refused values with the type name the message must give and whether the
# subclass sentence follows.
CHECKED = {
    "int": ("int", 1, [(True, "bool", True), (IntSub(1), "IntSub", True), (1.0, "float", False),
                       (None, "NoneType", False), ("1", "str", False), (torch.tensor(1), "Tensor", False)]),
    "int?": ("int", None, [(False, "bool", True), (2.5, "float", False), ("0", "str", False)]),
    "float?": ("float", 1.0, [(0, "int", False), (True, "bool", False), (FloatSub(1.0), "FloatSub", True),
                              ("1.0", "str", False)]),
    "str": ("str", "cpu", [(torch.device("cpu"), "torch.device", False), (StrSub("cpu"), "StrSub", True),
                           (None, "NoneType", False), (b"cpu", "bytes", False)]),
    "tuple": ("tuple", (), [(torch.Size([2]), "torch.Size", True), (TupleSub(), "TupleSub", True),
                            ([2], "list", False), (None, "NoneType", False)]),
}


def check_kind(p):
    if p.annotation == "int":
        return "int?" if p.default is None else "int"
    return {"float": "float?", "str": "str", "Tuple": "tuple"}.get(p.annotation)


def checked_params(f, qualname):
    params = list(inspect.signature(f).parameters.values())
    return params[1:] if qualname.startswith("ModularTensor.") else params


def assert_type_error(error, name, kind, type_name, subclass):
    """The exact message, with a sentence on subclasses after it where `subclass`."""
    base, message = f"Argument '{name}' has incorrect type (expected {CHECKED[kind][0]}, got {type_name})", str(error)
    assert message == base if not subclass else (message.startswith(base + ". ") and message.endswith(".")
                                                 and len(message) > len(base) + 10)


@pytest.mark.parametrize("f, qualname, docstring",
                         [c for c in CALLABLES if any(map(check_kind, checked_params(*c.values[:2])))])
def test_exact_type_checks(f, qualname, docstring):
    target = getattr(sample(), f.__name__) if qualname.startswith("ModularTensor.") else f
    params = checked_params(f, qualname)
    kinds = [check_kind(p) for p in params]
    # A valid argument for every parameter: checked ones get a good value, the rest an object nobody checks.
    good = [CHECKED[k][1] if k else object() for k in kinds]
    for i, p in enumerate(params):
        for value, type_name, subclass in CHECKED[kinds[i]][2] if kinds[i] else ():
            args = good[:i] + [value] + good[i + 1:]
            for call in (lambda: target(*args), lambda: target(**{q.name: a for q, a in zip(params, args)})):
                with pytest.raises(TypeError) as info:
                    call()
                assert_type_error(info.value, p.name, kinds[i], type_name, subclass)
    # Checked in signature order: with every checked argument wrong, the first one is named.
    first = next(i for i, k in enumerate(kinds) if k)
    with pytest.raises(TypeError) as info:
        target(*[CHECKED[k][2][0][0] if k else object() for k in kinds])
    assert_type_error(info.value, params[first].name, kinds[first], *CHECKED[kinds[first]][2][0][1:])


def test_type_checks_come_before_any_work():
    # Each call would fail later for another reason (zero denominator, bad
    # device, missing CUDA); the type error must win.
    for call, name in [(lambda: MT.from_fraction(1, 0, torch.Size([1]), "cpu"), "shape"),
                       (lambda: MT.from_fraction(1, 0, (-1,), None), "device"),
                       (lambda: MT.from_int(True, (), "no such device"), "value"),
                       (lambda: MT.from_tensor("not a tensor", torch.device("cpu")), "device"),
                       (lambda: kx.modular_pow("not a tensor", 2.0), "n")]:
        with pytest.raises(TypeError, match=f"'{name}'"):
            call()
