"""The module's public surface: names, order, kinds, signatures, metadata,
argument binding and exact-type checks."""
import inspect
import types
import typing

import pytest
import torch

import varnix.orvo.kalvex as kx
from support import BASIS
from surface_table import ALL, CLASS_MEMBERS, MODULE_FUNCTIONS, REQ, VAR

MT = kx.ModularTensor
MEMBERS = {m["name"]: m for m in CLASS_MEMBERS}
FUNCTIONS = {f["name"]: f for f in MODULE_FUNCTIONS}
IMPORT_MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
                    "__cached__"}


def sample():
    return MT.from_fraction(3, 4, (2,), "cpu")


def raw(member):
    """The function object behind a class member (unwrapped from classmethod / property)."""
    obj = MT.__dict__[member["name"]]
    if member["kind"] == "classmethod":
        assert isinstance(obj, classmethod)
        return obj.__func__
    if member["kind"] == "property":
        assert isinstance(obj, property)
        assert obj.fset is None and obj.fdel is None
        return obj.fget
    return obj


def every_callable():
    for m in CLASS_MEMBERS:
        yield pytest.param(m, lambda m=m: raw(m), "ModularTensor." + m["name"], id=m["name"])
    for f in MODULE_FUNCTIONS:
        yield pytest.param(f, lambda f=f: getattr(kx, f["name"]), f["name"], id=f["name"])


def expected_signature(entry):
    kinds = inspect.Parameter
    params = []
    for name, annotation, default in entry["params"]:
        kind = kinds.VAR_POSITIONAL if default is VAR else kinds.POSITIONAL_OR_KEYWORD
        params.append(inspect.Parameter(
            name, kind, default=inspect.Parameter.empty if default in (REQ, VAR) else default,
            annotation=inspect.Parameter.empty if annotation is None else annotation))
    returns = inspect.Signature.empty if entry["returns"] is None else entry["returns"]
    return inspect.Signature(params, return_annotation=returns)


def python_twin(entry, qualname):
    """A plain Python function with the same parameters and qualified name: its
    binding errors are the reference wording."""
    parts = []
    for name, _, default in entry["params"]:
        parts.append("*" + name if default is VAR else name if default is REQ else f"{name}={default!r}")
    namespace = {}
    exec(f"def twin({', '.join(parts)}): pass", namespace)
    twin = namespace["twin"]
    twin.__code__ = twin.__code__.replace(co_qualname=qualname, co_name=entry["name"])
    twin.__qualname__ = qualname
    return twin


# --- module level ----------------------------------------------------------------------------------------------

def test_module_attributes_in_binding_order():
    public = [name for name in vars(kx) if name not in IMPORT_MACHINERY]
    assert public == ["torch", "Union", "List", "Tuple", "Optional", "PRIMES", "N_PRIMES", "ModularTensor",
                      *(f["name"] for f in MODULE_FUNCTIONS), "__all__"]
    assert kx.torch is torch
    for name in ("Union", "List", "Tuple", "Optional"):
        assert getattr(kx, name) is getattr(typing, name)


def test_all():
    assert type(kx.__all__) is list and kx.__all__ == ALL
    assert "CHUNK_SIZE" not in kx.__all__ and "torch" not in kx.__all__
    assert all(hasattr(kx, name) for name in kx.__all__)


def test_primes_basis():
    assert kx.PRIMES.dtype == torch.int64 and kx.PRIMES.device.type == "cpu" and kx.PRIMES.dim() == 1
    assert kx.PRIMES.tolist() == BASIS
    assert type(kx.N_PRIMES) is int and kx.N_PRIMES == 20
    # Distinct primes below 2^31 - 1, descending, product of 620 bits.
    assert BASIS == sorted(set(BASIS), reverse=True) and BASIS[0] < 2**31 - 1
    for p in BASIS:
        assert all(p % d for d in range(3, int(p**0.5) + 1, 2)) and p % 2
    product = 1
    for p in BASIS:
        product *= p
    assert product.bit_length() == 620


def test_module_docstring():
    lines = kx.__doc__.split("\n")
    assert lines[0] == "" and lines[1].strip() and lines[1] == lines[1].strip()
    assert lines[2:] == ["", "Native CUDA implementation of exact rational arithmetic using",
                         "modular representation. Each value is stored as residues mod",
                         "multiple primes, enabling exact arithmetic with O(1) memory.", "",
                         "All operations are fully parallel on GPU.", ""]


# --- the class -------------------------------------------------------------------------------------------------

def test_class_is_plain_with_slots_and_docstring():
    assert MT.__bases__ == (object,) and type(MT) is type
    assert MT.__module__ == "varnix.orvo.kalvex" and MT.__qualname__ == "ModularTensor" and MT.__name__ == "ModularTensor"
    assert MT.__slots__ == ("num", "denom", "primes", "device", "_approx")
    assert MT.__doc__ == ("\n    GPU tensor with exact modular arithmetic.\n\n"
                          "    Each element is stored as (num_residues, denom_residues) across N primes.\n"
                          "    Shape: [N_PRIMES, *original_shape] for both num and denom.\n\n"
                          "    All operations are element-wise and fully parallel.\n    ")


def test_members_in_definition_order():
    slots = set(MT.__slots__)
    defined = [n for n in MT.__dict__ if n not in slots and n not in ("__module__", "__doc__", "__slots__", "__hash__")]
    assert defined == [m["name"] for m in CLASS_MEMBERS]


def test_instances_have_no_dict_and_are_unhashable():
    x = sample()
    assert MT.__hash__ is None
    with pytest.raises(TypeError, match="unhashable type: 'ModularTensor'"):
        hash(x)
    with pytest.raises(AttributeError):
        x.value = 1
    assert not hasattr(x, "__dict__")


def test_member_kinds_and_binding():
    x = sample()
    for m in CLASS_MEMBERS:
        f = raw(m)
        if m["kind"] == "method":
            bound = getattr(x, m["name"])
            assert isinstance(bound, types.MethodType) and bound.__self__ is x and bound.__func__ is f
            assert getattr(MT, m["name"]) is f  # plain function on the class
        elif m["kind"] == "classmethod":
            for owner in (MT, x):  # the class either way
                bound = getattr(owner, m["name"])
                assert bound.__self__ is MT and bound.__func__ is f
    with pytest.raises(AttributeError):
        x.shape = (1,)
    with pytest.raises(AttributeError):
        x.T = x


# --- every function and member ---------------------------------------------------------------------------------

@pytest.mark.parametrize("entry, get, qualname", every_callable())
def test_metadata(entry, get, qualname):
    f = get()
    assert f.__name__ == entry["name"]
    assert f.__qualname__ == qualname
    assert f.__module__ == "varnix.orvo.kalvex"
    assert f.__doc__ == entry["doc"]
    defaults = tuple(d for _, _, d in entry["params"] if d is not REQ and d is not VAR)
    assert f.__defaults__ == (defaults or None)
    for got, want in zip(f.__defaults__ or (), defaults):
        assert type(got) is type(want)
    assert f.__kwdefaults__ is None
    annotations = {name: ann for name, ann, _ in entry["params"] if ann is not None}
    if entry["returns"] is not None:
        annotations["return"] = entry["returns"]
    assert f.__annotations__ == annotations
    assert list(f.__annotations__) == list(annotations)
    assert inspect.signature(f) == expected_signature(entry)


def test_signature_of_bound_members():
    full = expected_signature(MEMBERS["from_fraction"])
    assert inspect.signature(MT.from_fraction) == full.replace(parameters=list(full.parameters.values())[1:])
    full = expected_signature(MEMBERS["topk"])
    assert inspect.signature(sample().topk) == full.replace(parameters=list(full.parameters.values())[1:])
    assert str(inspect.signature(MT.reshape)) == "(self, *shape) -> \"'ModularTensor'\""


CALL_PATTERNS = [
    ((), {}), ((1,), {}), ((1, 2), {}), ((1, 2, 3), {}), ((1, 2, 3, 4, 5), {}), ((1, 2, 3, 4, 5, 6, 7), {}),
    ((), {"bogus": 1}), ((1,), {"self": 1}), ((1,), {"cls": 1}), ((1, 2), {"num": 1}), ((1,), {"n": 1, "k": 2}),
    ((1, 2), {"dim": 1}), ((), {"x": 1, "b": 2}), ((1,), {"shape": 1}),
]


@pytest.mark.parametrize("entry, get, qualname", every_callable())
def test_binding_errors_word_like_python(entry, get, qualname):
    f = get()
    twin = python_twin(entry, qualname)
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


def test_binding_errors_through_instances():
    x = sample()
    with pytest.raises(TypeError, match=r"^ModularTensor\.topk\(\) takes from 2 to 4 positional arguments but 5 were given$"):
        x.topk(1, 2, 3, 4)
    with pytest.raises(TypeError, match=r"^ModularTensor\.pow\(\) missing 1 required positional argument: 'n'$"):
        x.pow()
    with pytest.raises(TypeError, match=r"^ModularTensor\.abs\(\) takes 1 positional argument but 2 were given$"):
        x.abs(1)
    with pytest.raises(TypeError, match=r"^ModularTensor\.zeros\(\) missing 1 required positional argument: 'shape'$"):
        MT.zeros()
    with pytest.raises(TypeError, match=r"^ModularTensor\.__pow__\(\) takes 2 positional arguments but 3 were given$"):
        pow(x, 2, 5)
    with pytest.raises(TypeError, match=r"^ModularTensor\.__init__\(\) missing 2 required positional arguments: 'num' and 'denom'$"):
        MT()


# --- exact-type checks -----------------------------------------------------------------------------------------

class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


# For each checked parameter kind: a valid value, and refused values with the
# type name the message must give and whether the subclass sentence follows.
GOOD = {"int": 1, "int?": None, "float?": 1.0, "str": "cpu", "tuple": ()}
BAD = {
    "int": [(True, "bool", True), (IntSub(1), "IntSub", True), (1.0, "float", False), (None, "NoneType", False),
            ("1", "str", False), (torch.tensor(1), "Tensor", False)],
    "int?": [(False, "bool", True), (2.5, "float", False), ("0", "str", False)],
    "float?": [(0, "int", False), (True, "bool", False), (FloatSub(1.0), "FloatSub", True), ("1.0", "str", False)],
    "str": [(torch.device("cpu"), "torch.device", False), (StrSub("cpu"), "StrSub", True), (None, "NoneType", False),
            (b"cpu", "bytes", False)],
    "tuple": [(torch.Size([2]), "torch.Size", True), (TupleSub(), "TupleSub", True), ([2], "list", False),
              (None, "NoneType", False)],
}
EXPECTED_NAME = {"int": "int", "int?": "int", "float?": "float", "str": "str", "tuple": "tuple"}


def check_kind(annotation, default):
    if annotation == "int":
        return "int?" if default is None else "int"
    if annotation == "float":
        return "float?"
    return {"str": "str", "Tuple": "tuple"}.get(annotation)


def assert_type_error(error, name, kind, type_name, subclass):
    base = f"Argument '{name}' has incorrect type (expected {EXPECTED_NAME[kind]}, got {type_name})"
    message = str(error)
    if subclass:
        assert message.startswith(base + ". ") and len(message) > len(base) + 10 and message.endswith(".")
    else:
        assert message == base


def checked_callables():
    for m in CLASS_MEMBERS:
        params = m["params"][1:]
        if any(check_kind(a, d) for _, a, d in params):
            yield pytest.param(m, id=m["name"])
    for f in MODULE_FUNCTIONS:
        if any(check_kind(a, d) for _, a, d in f["params"]):
            yield pytest.param(f, id=f["name"])


@pytest.mark.parametrize("entry", checked_callables())
def test_exact_type_checks(entry):
    if entry["kind"] == "function":
        target, params = getattr(kx, entry["name"]), entry["params"]
    else:
        target, params = getattr(sample(), entry["name"]), entry["params"][1:]
    kinds = [check_kind(a, d) for _, a, d in params]
    # A valid argument for every parameter: checked ones get a good value, the rest an object nobody checks.
    good = [GOOD[k] if k else object() for k in kinds]
    for i, (name, _, _) in enumerate(params):
        if not kinds[i]:
            continue
        for value, type_name, subclass in BAD[kinds[i]]:
            args = list(good)
            args[i] = value
            with pytest.raises(TypeError) as info:
                target(*args)
            assert_type_error(info.value, name, kinds[i], type_name, subclass)
            # By keyword too.
            with pytest.raises(TypeError) as info:
                target(**{p[0]: a for p, a in zip(params, args)})
            assert_type_error(info.value, name, kinds[i], type_name, subclass)
    # Checked in signature order: with every checked argument wrong, the first one is named.
    first = kinds.index(next(k for k in kinds if k))
    args = [BAD[k][0][0] if k else object() for k in kinds]
    with pytest.raises(TypeError) as info:
        target(*args)
    value, type_name, subclass = BAD[kinds[first]][0]
    assert_type_error(info.value, params[first][0], kinds[first], type_name, subclass)


def test_type_checks_come_before_any_work():
    # Each of these would fail later for another reason (zero denominator, bad
    # device, missing CUDA); the type error must win.
    with pytest.raises(TypeError, match="'shape'"):
        MT.from_fraction(1, 0, torch.Size([1]), "cpu")
    with pytest.raises(TypeError, match="'device'"):
        MT.from_fraction(1, 0, (-1,), None)
    with pytest.raises(TypeError, match="'value'"):
        MT.from_int(True, (), "no such device")
    with pytest.raises(TypeError, match="'device'"):
        MT.from_tensor("not a tensor", torch.device("cpu"))
    with pytest.raises(TypeError, match="'n'"):
        kx.modular_pow("not a tensor", 2.0)


def test_reshape_takes_any_number_of_dimensions():
    x = sample()
    for args in [(2,), (1, 2), (1, 1, 1, 2), (1,) * 11 + (2,)]:
        assert x.reshape(*args).shape == args
    with pytest.raises(TypeError, match="unexpected keyword argument 'shape'"):
        x.reshape(shape=(2,))
