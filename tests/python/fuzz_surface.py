"""The whole Python surface of both modules as fuzz entries, shared by
test_fuzz.py (a fixed example budget) and tools/fuzz_campaign.py (minutes).

Every entry draws one call with hypothesis: well-formed arguments mixed with
malformed ones (wrong types, huge and negative integers, NaN and infinity,
bad matrices and Kraus sets, bad qubits, shots, seeds, state arrays and
strings, hostile caller objects) and works out, from the documented order of
the checks, what the call must do: succeed, or raise which class with which
message. `run_case` then makes the call and checks it: the outcome; after a
refusal, every state and array the call was given is bit-identical (or holds
exactly the gates that the documented order lets run before the failing one);
the host runtime's live allocations are back at their baseline; and a healthy
gate and measurement on the same states, and a fresh call, still give the
NumPy reference's result."""
import gc
import math
import threading
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
from hypothesis import event, strategies as st

from conftest import HOST_RUNTIMES, rhomira, tovrek
from density_reference import channel_operators, controlled_operator, named_matrix
from gate_reference import embed, gate_matrix
from test_density_measure import reference_collapse, reference_outcome, reference_table
from test_measure import reference as sample_reference

INT64 = (-(1 << 63), (1 << 63) - 1)
INT32 = (-(1 << 31), (1 << 31) - 1)
SMALL_MEMORY_LIMIT = 64 << 20  # host runtime: any state past a few qubits is refused, never made


# --- expected outcomes --------------------------------------------------------

@dataclass(frozen=True)
class Refusal:
    """What a refused call raises: exactly this class, and this message where
    one is fixed (None: the binding layer's or NumPy's own text)."""

    cls: type
    message: str | None = None

    def check(self, error):
        assert type(error) is self.cls, f"raised {error!r}, expected {self}"
        if self.message is not None:
            # A C++ what() reaches Python as a C string: it ends at a NUL.
            assert str(error) == self.message.split("\x00")[0], f"raised {error!r}, expected {self}"


def value_error(message):
    return Refusal(ValueError, message)


def runtime_error(message=None):
    return Refusal(RuntimeError, message)


TYPE_ERROR = Refusal(TypeError)  # the binding layer's own text
CAST_ERROR = Refusal(RuntimeError)  # the binding layer's cast error


def first(*verdicts):
    """The first refusal of checks made in this order (None: all pass). A
    verdict is a Refusal, None, or a callable giving one, for checks that may
    only be looked at once the earlier ones passed."""
    for verdict in verdicts:
        if callable(verdict) and not isinstance(verdict, Refusal):
            verdict = verdict()
        if verdict is not None:
            return verdict
    return None


def python_error(call):
    """The Refusal that Python's own `call()` raises, or None."""
    try:
        call()
    except Exception as error:  # noqa: BLE001 - any class may pass through
        return Refusal(type(error), str(error))
    return None


# --- binding-layer conversions at the call boundary ----------------------------

class Index:
    """An integer-like object (the number protocol's __index__)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


def as_int(value):
    """The integer the binding layer reads from `value`, or None where it
    refuses the type (floats, strings, None)."""
    if isinstance(value, (bool, int, np.integer, Index)):
        return int(value.__index__()) if isinstance(value, Index) else int(value)
    return None


def int_verdict(value, bounds):
    v = as_int(value)
    return TYPE_ERROR if v is None or not bounds[0] <= v <= bounds[1] else None


def string_verdict(value):
    if isinstance(value, bytes):
        return None
    if not isinstance(value, str):
        return TYPE_ERROR
    try:
        value.encode()
    except UnicodeEncodeError:
        return TYPE_ERROR
    return None


def as_text(value):
    """A string argument as the module quotes it: bytes that are not UTF-8
    show as \\xNN escapes."""
    return value.decode(errors="backslashreplace") if isinstance(value, bytes) else value


def bool_verdict(value):
    """pybind11 converts None and anything with a numeric truth value."""
    ok = value is None or isinstance(value, (bool, int, float, np.bool_, np.integer, np.floating))
    return None if ok else TYPE_ERROR


def double_verdict(value):
    if isinstance(value, (float, np.floating)):
        return None
    if isinstance(value, (bool, int, np.integer)):
        try:
            float(value)
        except OverflowError:
            return TYPE_ERROR
        return None
    return TYPE_ERROR


def kind_verdict(value, module, cls_name):
    return None if isinstance(value, getattr(module, cls_name)) else TYPE_ERROR


def seed_verdict(seed):
    """`resolve_seed`: None, or an unsigned 64-bit integer by the binding
    layer's conversion (its cast error otherwise)."""
    if seed is None:
        return None
    v = as_int(seed)
    return CAST_ERROR if v is None or not 0 <= v < 1 << 64 else None


# --- strategies for plain arguments --------------------------------------------

def int64s():
    return st.one_of(st.integers(*INT64), st.sampled_from([INT64[0], INT64[1], -1, 0, 1 << 62]))


def bad_integers():
    """Values the binding layer refuses for an integer parameter, and ones it
    reads although they are not plain ints."""
    return st.sampled_from([1 << 63, -(1 << 63) - 1, 1 << 64, 10**30, 1.0, float("nan"), "1", None,
                            np.float64(2.0), [1]])


def rarely(draw, times=3, label="odd"):
    """True once in 2**times draws (a bounded integer draw would favour its
    ends); False when shrinking."""
    return all(draw(st.booleans(), label=label) for _ in range(times))


@st.composite
def mostly(draw, good, *odd):
    """Mostly `good` (always when shrinking), one time in eight one of `odd`."""
    if not odd or not rarely(draw):
        return draw(good)
    return draw(st.one_of(*odd))


def integers_for(valid):
    """Mostly `valid` ints; sometimes integer-like objects, range-breaking,
    extreme or mistyped values."""
    return mostly(valid, st.sampled_from([True, False]), valid.map(np.int64), valid.map(Index),
                  int64s(), bad_integers())


def devices():
    good = st.sampled_from(["cuda:0", "cuda", "gpu", "cuda: 0", "cuda:+0", "cuda:0abc", "cuda:00",
                            b"cuda:0", "cuda:0\x00junk"])
    bad = st.sampled_from(["cpu", "", "CUDA", "gpu:0", "cuda:", "cuda:x", "cuda:-", "cuda: ",
                           "cuda:99999999999", "cuda:-99999999999", "cuda:-1", "cuda:64",
                           "cuda:2147483647", "cuda:-2147483648", "cuda:2147483648",
                           "cpu\x00", "cuda:\ud800", b"\xffcuda", b"cuda:\xff", 0, None, ["cuda:0"]])
    return mostly(good, bad, st.text(max_size=8))


def device_parse_verdict(device):
    """`parse_device` on a string that passed the boundary: the ordinal, or a
    Refusal (ValueError / IndexError "stoi" as std::stoi reports)."""
    text = as_text(device)
    if text in ("cuda", "gpu"):
        return 0
    if not text.startswith("cuda:"):
        return value_error("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + text)
    rest = text[5:].split("\x00")[0].lstrip(" \t\n\v\f\r")
    sign = 1
    if rest[:1] in ("+", "-"):
        sign, rest = (-1 if rest[0] == "-" else 1), rest[1:]
    digits = ""
    for ch in rest:
        if not "0" <= ch <= "9":
            break
        digits += ch
    if not digits:
        return value_error("stoi")
    ordinal = sign * int(digits)
    if not INT32[0] <= ordinal <= INT32[1]:
        return Refusal(IndexError, "stoi")
    return ordinal


def device_select_verdict(ordinal):
    """Selecting the device: ordinal 0 is the one device of the test machine."""
    return None if ordinal == 0 else runtime_error("CUDA error: invalid device ordinal")


def dtypes():
    return mostly(st.sampled_from(["complex128", "complex64"]),
                  st.sampled_from([b"complex64", "complex", "float32", "", "Complex64", "complex128 ",
                                   "complex64\x00", b"\xffx", 64, None]))


def dtype_text_verdict(text):
    text = as_text(text)
    if text in ("complex64", "complex128"):
        return None
    return value_error("dtype must be 'complex64' or 'complex128', got: " + text)


def endians():
    return mostly(st.sampled_from(["little", "big"]),
                  st.sampled_from([b"big", "Little", "", "middle", "little\x00", "\ud800", b"\xff", 0, None]))


def endian_verdict(endian):
    """After the boundary: `check_endian`."""
    return None if as_text(endian) in ("little", "big") else value_error("endian must be 'little' or 'big'")


def seeds():
    return mostly(st.one_of(st.none(), st.integers(0, (1 << 64) - 1)),
                  st.sampled_from([True, np.uint64(7), Index(5), -1, 1 << 64, 1.5, "3", [1]]))


def resolved_seed(seed):
    return None if seed is None else as_int(seed)


def flags():
    return mostly(st.booleans(), st.sampled_from([None, 0, 2, 0.5, np.bool_(True)]),
                  st.sampled_from(["yes", [True]]))


def truth(value):
    return bool(value) if value is not None else False


# --- state contents and host arrays --------------------------------------------

CONTENTS = ["random", "random", "random", "basis", "zero", "nan", "inf", "huge", "tiny", "unnormalised"]


def state_vector(kind, n, dtype, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    v /= np.linalg.norm(v)
    if kind == "basis":
        v = np.zeros(1 << n, complex)
        v[seed % (1 << n)] = 1
    elif kind == "zero":
        v = np.zeros(1 << n, complex)
    elif kind == "nan":
        v[seed % (1 << n)] = complex(np.nan, 0)
    elif kind == "inf":
        v[seed % (1 << n)] = complex(0, np.inf)
    elif kind == "huge":
        v *= 1e200
    elif kind == "tiny":
        v *= 1e-170
    elif kind == "unnormalised":
        v *= 3.0
    return v.astype(dtype)


def density_matrix(kind, n, dtype, seed):
    rng = np.random.default_rng(seed)
    d = 1 << n
    a = rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d))
    rho = a @ a.conj().T
    rho /= np.trace(rho).real
    if kind == "basis":
        rho = np.zeros((d, d), complex)
        rho[seed % d, seed % d] = 1
    elif kind == "zero":
        rho = np.zeros((d, d), complex)
    elif kind == "nan":
        rho[seed % d, seed % d] = np.nan
    elif kind == "inf":
        rho[0, d - 1] = np.inf
    elif kind == "huge":
        rho *= 1e300
    elif kind == "tiny":
        rho *= 1e-320
    elif kind == "unnormalised":
        rho *= 2.0
    return rho.astype(dtype)


@st.composite
def contents(draw, n, dtype, density=False):
    kind = draw(st.sampled_from(CONTENTS), label="contents")
    seed = draw(st.integers(0, 1 << 16), label="contents seed")
    return (density_matrix if density else state_vector)(kind, n, dtype, seed)


HOST_DTYPES = ["complex128", "complex64", "float64", "int32", ">c16", "<c8", "clongdouble", "object",
               "M8[s]", "c16,c16"]


@st.composite
def host_arrays(draw, size, density=False):
    """An array meant to hold `size` amplitudes (or a size x size matrix),
    sometimes of the wrong size, shape, layout, dtype or writability."""
    ok = draw(st.booleans(), label="well-formed array")
    dtype = draw(st.sampled_from(["complex128", "complex64"] if ok else HOST_DTYPES), label="dtype")
    count = size if ok else draw(st.sampled_from([size, size, size - 1, size + 1, 0, 2 * size]))
    shape = (count, count) if density else (count,)
    if not ok:
        shape = draw(st.sampled_from([shape, shape, (max(count, 0),), (1, max(count, 0)),
                                      (count, count, 1), ()]), label="shape")
    rng = np.random.default_rng(draw(st.integers(0, 255), label="array seed"))
    values = rng.normal(size=shape) + 1j * rng.normal(size=shape)
    if dtype == "object":
        array = np.empty(shape, object)
        array[...] = 0j
    elif dtype == "c16,c16":
        array = np.zeros(shape, dtype=np.dtype("c16,c16"))
    elif dtype == "M8[s]":
        array = np.zeros(shape, dtype=dtype)
    else:
        array = np.asarray(values if np.dtype(dtype).kind == "c" else values.real).astype(dtype)
    layout = draw(st.sampled_from(["c"] * 4 + ([] if ok else ["strided", "reversed", "fortran",
                                                               "unaligned"])), label="layout")
    if layout == "strided" and array.ndim >= 1:
        wide = np.repeat(array, 2, axis=-1)
        array = wide[..., ::2]
    elif layout == "reversed" and array.ndim >= 1:
        array = array[::-1]
    elif layout == "fortran" and array.ndim >= 2:
        array = np.asfortranarray(array)
    elif layout == "unaligned" and array.dtype.kind == "c" and array.ndim >= 1:
        raw = np.zeros(array.nbytes + 1, np.uint8)
        array = raw[1:].view(array.dtype).reshape(array.shape)
        array[...] = values.astype(array.dtype) if values.shape == array.shape else 0
    if not ok and draw(st.booleans(), label="read-only"):
        array.setflags(write=False)
    return array


def buffer_verdict(array, writable=False):
    """What a strided buffer request with format raises (Python's error)."""
    if writable:
        return python_error(lambda: memoryview(array).cast("B") if not array.flags.writeable
                            else memoryview(array))
    return python_error(lambda: memoryview(array))


def dtype_verdict(array):
    return dtype_text_verdict(str(array.dtype))


def ndarray_verdict(value):
    return None if isinstance(value, np.ndarray) else TYPE_ERROR


# --- comparisons ------------------------------------------------------------------

def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def assert_same_bits(actual, expected, what):
    assert same_bits(actual, expected), f"{what} changed:\n{actual}\nexpected\n{expected}"


def tolerance(dtype):
    return 2e-5 if np.dtype(dtype) == np.complex64 else 1e-11


def assert_close(actual, expected, dtype, steps=1, what="state"):
    scale = max(1.0, float(np.max(np.abs(expected), initial=0.0)))
    np.testing.assert_allclose(actual, expected, rtol=0, atol=tolerance(dtype) * scale * (1 + steps),
                               err_msg=what)


def finite(array):
    return bool(np.all(np.isfinite(np.asarray(array))))


# --- the case and its harness ------------------------------------------------------

@dataclass
class Case:
    """One drawn call. `call` makes it; `expect` is None where it must succeed,
    else its Refusal; `check` looks at a result; `states` and `arrays` are what
    the call was given (a refusal must leave them bit-identical unless
    `after_refusal` maps a state to what it must hold then, compared within
    rounding)."""

    call: Callable[[], Any]
    expect: Refusal | None
    check: Callable[[Any], None] = lambda result: None
    states: list = field(default_factory=list)
    arrays: list = field(default_factory=list)
    after_refusal: dict = field(default_factory=dict)


def live_allocations():
    return [runtime.live_allocations() for runtime in HOST_RUNTIMES]


def limit_memory():
    for runtime in HOST_RUNTIMES:
        runtime.set_memory_limit(0, SMALL_MEMORY_LIMIT)


def run_case(case):
    # Collection is off for the call, so that only the call's own references
    # move the count (a full collection per example would cost more than the
    # call); a state kept alive by a reference cycle counts as left behind.
    gc.disable()
    try:
        check_call(case)
    finally:
        gc.enable()
    for state in case.states:
        (healthy_vector if isinstance(state, tovrek.DeviceState) else healthy_density)(state)
    fresh_calls()


def check_call(case):
    before_states = [s.to_numpy() for s in case.states]
    before_arrays = [a.copy() for a in case.arrays]
    baseline = live_allocations()
    try:
        result = case.call()
    except Exception as error:  # noqa: BLE001 - the class is what is checked
        if case.expect is None:
            raise AssertionError(f"refused a call that must succeed: {error!r}") from error
        case.expect.check(error)
        del error
        for state, before in zip(case.states, before_states):
            partial = case.after_refusal.get(id(state))
            if partial is None:
                assert_same_bits(state.to_numpy(), before, "state after a refusal")
            elif isinstance(partial, np.ndarray) and finite(partial):
                assert_close(state.to_numpy(), partial, partial.dtype, steps=8,
                             what="gates before the refused one")
        for array, before in zip(case.arrays, before_arrays):
            assert_same_bits(array, before, "array after a refusal")
    else:
        assert case.expect is None, f"accepted a call that must raise {case.expect}"
        case.check(result)
        del result
    assert live_allocations() == baseline, f"live allocations {baseline} -> {live_allocations()}"


# --- healthy calls afterwards --------------------------------------------------------

X_GATE = {"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}
H_GATE = {"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []}
HEALTHY_SEED = 20240607


def refused_measurement(measure, message, state, before):
    """A measurement of a state of invalid norm or trace: RuntimeError, state
    untouched."""
    try:
        measure()
    except RuntimeError as error:
        assert str(error) == message
    else:
        raise AssertionError(f"measured a state that must be refused: {message}")
    assert_same_bits(state.to_numpy(), before, "state after the refused measurement")


def healthy_vector(state):
    """An X gate (amplitudes only move: exact) and a seeded measurement of
    every qubit, against the reference."""
    before = state.to_numpy()
    tovrek.run_circuit_device(state, [X_GATE])
    flipped = before.reshape(-1, 2)[:, ::-1].reshape(-1)
    assert_same_bits(state.to_numpy(), flipped, "X gate on a healthy call")
    n = state.n
    targets = list(range(n - 1, -1, -1))
    probs = np.abs(flipped.astype(np.complex128)) ** 2
    total = float(np.sum(probs))
    if not (total > 0 and math.isfinite(total)):
        refused_measurement(lambda: tovrek.measure_device(state, targets, seed=HEALTHY_SEED),
                            "Quantum state has zero or invalid norm.", state, flipped)
        return
    outcome = tovrek.measure_device(state, targets, seed=HEALTHY_SEED)
    counts, last, collapsed = sample_reference(flipped, n, targets, 1, HEALTHY_SEED)
    assert outcome == last
    if finite(collapsed):
        assert_close(state.to_numpy(), collapsed, flipped.dtype, what="collapse")


def healthy_density(state):
    before = state.to_numpy()
    n = state.num_qubits
    if n == 0:
        try:
            rhomira.measure_device(state, [0], seed=HEALTHY_SEED)
        except ValueError as error:
            assert str(error) == "num_qubits must be in [1, 15]"
        else:
            raise AssertionError("measured a 0-qubit state")
        return
    rhomira.run_density_operations_device(state, n, [DensityOp(id="x", target=[0], control=[],
                                                                  control_state=[], parameter=None,
                                                                  has_stored_matrix=False)])
    perm = np.arange(1 << n) ^ 1
    flipped = before[perm][:, perm]
    assert_same_bits(state.to_numpy(), flipped, "X operation on a healthy call")
    targets = list(range(n))
    table = reference_table(flipped, n, targets, True)
    total = sum(table)
    if not (total > 0 and math.isfinite(total)):
        refused_measurement(lambda: rhomira.measure_device(state, targets, seed=HEALTHY_SEED),
                            "density matrix has zero or invalid trace.", state, flipped)
        return
    m = reference_outcome(table, HEALTHY_SEED)
    assert rhomira.measure_device(state, targets, seed=HEALTHY_SEED) == format(m, f"0{n}b")
    expected = reference_collapse(flipped.astype(np.complex128), n, targets, True, m)
    if finite(expected):
        assert_close(state.to_numpy(), expected, flipped.dtype, what="density collapse")


def fresh_calls():
    psi = np.array([1, 0], np.complex128)
    assert tovrek.run_circuit(1, psi, [H_GATE]) is psi
    np.testing.assert_allclose(psi, [1 / math.sqrt(2)] * 2, atol=1e-15)
    rho = rhomira.DeviceDensityState.zero_state(1)
    rhomira.run_density_operations_device(rho, 1, [DensityOp(id="h", target=[0], control=[],
                                                             control_state=[], parameter=None,
                                                             has_stored_matrix=False)])
    np.testing.assert_allclose(rho.to_numpy(), np.full((2, 2), 0.5), atol=1e-15)


# --- caller objects read by attribute ------------------------------------------------------

class Raise:
    """An attribute or item whose reading raises `error`."""

    def __init__(self, error):
        self.error = error

    def __repr__(self):
        return f"Raise({self.error!r})"


class Fields:
    """An object read by attribute; a missing field raises AttributeError with
    a message of our own, a Raise field its error."""

    def __init__(self, **fields):
        self.__dict__["_fields"] = fields

    def __getattr__(self, name):
        fields = self.__dict__["_fields"]
        if name not in fields:
            raise AttributeError(f"no attribute {name}")
        value = fields[name]
        if isinstance(value, Raise):
            raise value.error
        return value

    def __repr__(self):
        return f"{type(self).__name__}({self._fields!r})"


class GateObject(Fields):
    pass


class DensityOp(Fields):
    pass


class RaisingDict(dict):
    """A gate dictionary (a dict subclass) whose lookup of one key raises."""

    def __init__(self, entries, key, error):
        super().__init__(entries)
        self.key, self.error = key, error

    def __getitem__(self, key):
        if key == self.key:
            raise self.error
        return dict.__getitem__(self, key)

    def __repr__(self):
        return f"RaisingDict({dict(self)!r}, {self.key!r}, {self.error!r})"


def reader_error(obj, name):
    """What reading attribute `name` of a caller object raises."""
    return python_error(lambda: getattr(obj, name))


def raising_iterable(items, error, at):
    """A generator that yields items[:at], then raises."""
    def generate():
        yield from items[:at]
        raise error
    return generate()


@st.composite
def number_lists(draw, values, sequences_only=False):
    """(container, the values it holds) in one of the forms a number list may
    take (sequences only, where the reader wants a sequence); the values list
    is what the reader sees."""
    forms = ["list", "list", "tuple", "array"]
    if not sequences_only:
        forms += ["generator", "iterator-free map"]
    form = draw(st.sampled_from(forms), label="list form")
    values = list(values)
    if form == "tuple":
        return tuple(values), values
    if form == "array" and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        try:
            return np.array(values), values
        except OverflowError:
            pass
    if form == "generator":
        return (v for v in values), values
    if form == "iterator-free map":
        return map(lambda v: v, values), values
    return list(values), values


BAD_COLLECTIONS = [5, "01", None, {0: 1}, object(), b"\x00", 1.5]
BAD_INTEGER_ELEMENTS = [0.5, "0", None, 1 << 63, -(1 << 63) - 1, 10**30, [0], float("nan"), 1j]
BAD_PARAMETER_ELEMENTS = ["a", None, 1j, 10**400, [0.1], object()]


# --- tovrek gates ------------------------------------------------------------------

QUARTER_PI = 0.7853981633974483
# name as given -> (kind, angles it needs; None: the list is ignored)
GATE_NAMES = {
    **{name: ("x", None) for name in ("x", "cx", "mcx")},
    **{name: ("y", None) for name in ("y", "cy", "mcy")},
    **{name: ("z", None) for name in ("z", "cz", "mcz")},
    **{name: ("h", None) for name in ("h", "ch", "mch")},
    **{name: ("s", None) for name in ("s", "cs", "mcs")},
    "s_dag": ("s_dag", None), "sqrtx": ("sqrtx", None), "sx": ("sqrtx", None),
    "sqrtx_dag": ("sqrtx_dag", None), "sxdg": ("sqrtx_dag", None),
    "sqrty": ("sqrty", None), "sqrty_dag": ("sqrty_dag", None),
    "swap": ("swap", None),
    **{name: ("rx", 1) for name in ("rx", "crx", "mcrx")},
    **{name: ("ry", 1) for name in ("ry", "cry", "mcry")},
    **{name: ("rz", 1) for name in ("rz", "crz", "mcrz")},
    **{name: ("phase", 1) for name in ("phase", "p", "cp", "mcp")},
    **{name: ("t", None) for name in ("t", "ct", "mct")},
    "t_dag": ("t_dag", None),
    **{name: ("gp", 1) for name in ("gp", "global_phase", "gphase")},
    **{name: ("u", 3) for name in ("u", "u1", "u2", "u3")},
    "unitary": ("unitary", None),
}
ARITY_MESSAGES = {
    "rx": "RX gate requires exactly one parameter.", "ry": "RY gate requires exactly one parameter.",
    "rz": "RZ gate requires exactly one parameter.", "phase": "PHASE gate requires exactly one parameter.",
    "gp": "GLOBAL_PHASE gate requires exactly one parameter.", "u": "U gate requires exactly three parameters.",
}


@dataclass
class PlannedGate:
    """A drawn gate as the reader must see it, and what it must do: `fault`
    None (it runs), or its Refusal at `stage` "parse" (nothing of the chunk
    runs) or "dispatch" (the gates before it have run, except in the fused
    mode, which checks every gate first). `exact` is false where the
    numbers are not finite, so only success is checked, not the amplitudes."""

    name: str
    kind: str
    targets: list
    controls: list
    control_state: list
    params: list
    matrix: Any = None
    fault: Refusal | None = None
    stage: str | None = None
    exact: bool = True


def gate_operator(plan, n, dtype):
    """The 2^n x 2^n operator of a gate that runs, with its angles rounded to
    the state's precision as the kernels take them."""
    real = np.float32 if np.dtype(dtype) == np.complex64 else np.float64
    params = [float(real(p)) for p in plan.params]
    kind = plan.kind
    if kind in ("t", "t_dag"):
        kind, params = "phase", [float(real(QUARTER_PI if plan.kind == "t" else -QUARTER_PI))]
    if kind == "gp":
        diag = np.ones(1 << n, complex)
        idx = np.arange(1 << n)
        hit = np.all([((idx >> c) & 1) == s for c, s in zip(plan.controls, plan.control_state)], axis=0)
        diag[hit] = np.exp(1j * params[0])
        return np.diag(diag)
    if kind == "swap":
        m = np.eye(4)[[0, 2, 1, 3]]
        return embed(n, m, plan.targets[:2], plan.controls, plan.control_state)
    if kind == "unitary":
        m = np.asarray(plan.matrix, np.complex128).astype(dtype).astype(np.complex128)
        return embed(n, m, plan.targets, plan.controls, plan.control_state)
    return embed(n, gate_matrix(kind, params), plan.targets[0], plan.controls, plan.control_state)


def apply_gates(psi, n, planned):
    """The reference: every gate on a copy, in complex128; None where a gate
    is not exact (its numbers are not finite)."""
    out = psi.astype(np.complex128)
    for plan in planned:
        if not plan.exact:
            return None
        out = gate_operator(plan, n, psi.dtype) @ out
    return out.astype(psi.dtype)


def angles():
    return st.one_of(st.floats(-7, 7), st.sampled_from([0.0, -0.0, math.pi, -math.pi]))


ODD_ANGLES = [float("nan"), float("inf"), -float("inf"), 1e300, -1e300, 5e-324]


@st.composite
def random_matrices(draw, dim):
    """A finite dim x dim matrix: a random unitary, or a random one."""
    rng = np.random.default_rng(draw(st.integers(0, 1 << 16), label="matrix seed"))
    a = rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim))
    if draw(st.booleans(), label="unitary"):
        a, _ = np.linalg.qr(a)
    return a


@st.composite
def matrix_forms(draw, matrix):
    """The matrix as a complex array, a real array, nested lists or tuples."""
    form = draw(st.sampled_from(["complex", "complex64", "lists", "real"]), label="matrix form")
    if form == "complex64":
        return matrix.astype(np.complex64), matrix.astype(np.complex64)
    if form == "lists":
        return [[complex(v) for v in row] for row in matrix], matrix
    if form == "real":
        return matrix.real.copy(), matrix.real.astype(np.complex128)
    return matrix, matrix


@st.composite
def valid_gates(draw, n):
    names = [name for name, (kind, _) in GATE_NAMES.items() if kind != "swap" or n >= 2]
    name = draw(st.sampled_from(names), label="gate")
    kind, count = GATE_NAMES[name]
    qubits = list(range(n))
    exact = True
    matrix = None
    if kind == "unitary":
        k = draw(st.integers(1, min(n, 3)), label="unitary targets")
        targets = draw(st.permutations(qubits), label="targets")[:k]
        matrix = draw(random_matrices(1 << k))
        if rarely(draw, 3, "odd matrix"):
            matrix = matrix.copy()
            matrix[0, 0] = draw(st.sampled_from([np.nan, np.inf, 1e300]))
            exact = False
    elif kind == "swap":
        targets = draw(st.permutations(qubits), label="targets")[:2]
    elif kind == "gp":
        # Its targets are ignored: any numbers at all.
        targets = draw(st.lists(int64s(), max_size=3), label="ignored targets")
    else:
        targets = [draw(st.sampled_from(qubits), label="target")]
        if rarely(draw, 3, "extra targets"):
            targets += draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=2),
                            label="ignored targets")
    free = [q for q in qubits if q not in (targets if kind != "gp" else [])]
    controls = draw(st.permutations(free), label="controls")[:draw(st.integers(0, min(len(free), 2)))]
    control_state = [draw(st.integers(0, 1), label="control state") for _ in controls]
    if count is None:
        params = draw(st.one_of(st.just([]), st.lists(st.floats(allow_nan=True), max_size=3)),
                      label="ignored parameters")
    else:
        params = draw(st.lists(angles(), min_size=count, max_size=count), label="angles")
        if rarely(draw, 3, "odd angle"):
            params[0] = draw(st.sampled_from(ODD_ANGLES))
            exact = False
    return PlannedGate(name, kind, targets, controls, control_state, params, matrix, exact=exact)


@st.composite
def dispatch_faults(draw, plan, n):
    """A well-formed gate made wrong in one way that only the runner's check
    of each record finds; the message is the one that check gives it."""
    faults = ["control count", "control mask", "control state", "target range", "control range"]
    if plan.kind != "gp":
        faults += ["control on target", "no target"]
    if plan.kind in ARITY_MESSAGES:
        faults.append("arity")
    if plan.kind == "swap":
        faults += ["swap arity", "same targets"]
    if plan.kind == "unitary" and len(plan.targets) >= 2:
        faults.append("same targets")
    if len(plan.controls) >= 1:
        faults.append("repeated control")
    fault = draw(st.sampled_from(faults), label="dispatch fault")
    s = PlannedGate(plan.name, plan.kind, list(plan.targets), list(plan.controls),
                 list(plan.control_state), list(plan.params), plan.matrix, stage="dispatch")
    if fault == "arity":
        want = 1 if plan.kind != "u" else 3
        s.params = draw(st.lists(angles(), max_size=5).filter(lambda p: len(p) != want))
        s.fault = value_error(ARITY_MESSAGES[plan.kind])
    elif fault == "swap arity":
        s.targets = draw(st.lists(st.integers(0, n - 1), max_size=4).filter(lambda t: len(t) != 2))
        s.fault = value_error("SWAP gate requires exactly two targets.")
    elif fault == "same targets":
        s.targets[1] = s.targets[0]
        s.fault = value_error("SWAP gate requires two different targets." if plan.kind == "swap"
                              else "target qubits must be distinct.")
    elif fault == "control count":
        if s.control_state and draw(st.booleans()):
            s.control_state.pop()
        else:
            s.control_state.append(draw(st.integers(0, 1)))
        s.fault = value_error("controls.size() != control_state.size()")
    elif fault == "control mask":
        s.controls.append(draw(st.sampled_from([-1, 63, 64, 1 << 40, INT64[0], INT64[1]])))
        s.control_state.append(1)
        s.fault = value_error("control qubit index must be in [0, 62]")
    elif fault == "control state":
        # On a qubit that passes the mask check (the range check comes later).
        free = [q for q in range(n) if q not in s.targets and q not in s.controls] or [62]
        s.controls.append(free[0])
        s.control_state.append(draw(st.sampled_from([2, -1, 7, INT64[0], INT64[1]])))
        s.fault = value_error("control_state must contain only 0/1")
    elif fault == "no target":
        s.targets = []
        if plan.kind == "unitary":
            s.matrix = np.ones((1, 1), complex)
            s.fault = value_error("UNITARY gate requires at least one target.")
        elif plan.kind == "swap":
            s.fault = value_error("SWAP gate requires exactly two targets.")
        else:
            s.fault = value_error("gate requires a target qubit.")
    elif fault == "target range":
        bad = draw(st.sampled_from([n, 62, 63, -1, 1 << 40, INT64[0], INT64[1]]), label="bad target")
        if plan.kind == "gp":
            s.controls.append(n)
            s.control_state.append(0)
            s.fault = value_error("control qubit index must be in [0, n)")
        else:
            s.targets[0] = bad
            wide = plan.kind == "unitary" and not 0 <= bad <= 62
            s.fault = value_error("target qubit index must be in [0, 62]" if wide
                                  else "target qubit index must be in [0, n)")
    elif fault == "control range":
        s.controls.append(draw(st.integers(n, 62)))
        s.control_state.append(1)
        s.fault = value_error("control qubit index must be in [0, n)")
    elif fault == "control on target":
        s.controls.append(s.targets[-1 if plan.kind in ("swap", "unitary") else 0])
        s.control_state.append(1)
        s.fault = value_error("control qubit must not be a target.")
    elif fault == "repeated control":
        s.controls.append(s.controls[0])
        s.control_state.append(draw(st.integers(0, 1)))
        s.fault = value_error("control qubits must be distinct.")
    return s


class Meddling:
    """A number list whose first reading runs `action` (which clears or grows
    the caller's list of gates or operations) before it gives its value."""

    def __init__(self, values, action):
        self.values, self.action = list(values), action

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i >= len(self.values):
            raise IndexError(i)
        if self.action:
            action, self.action = self.action, None
            action()
        return self.values[i]

    def __repr__(self):
        return f"Meddling({self.values!r})"


def matrix_verdict(value):
    """`read_unitary_matrix`: NumPy's forced conversion to complex, then the shape."""
    try:
        array = np.asarray(value, dtype=np.complex128)
    except Exception:  # noqa: BLE001 - any conversion failure is the same refusal
        return value_error("unitary matrix must be array-like.")
    if array.ndim != 2 or array.shape[0] != array.shape[1] or array.shape[0] == 0:
        return value_error("unitary matrix must be a non-empty square 2-D array.")
    return None


BAD_MATRICES = [object(), "ab", [[1, 2], [3]], 5, [1, 0], np.zeros((2, 3)), np.zeros((0, 0)),
                np.zeros((2, 2, 2)), "1", [["a", "b"], ["c", "d"]], np.array([[1, 2], [3, 4]], "M8[s]")]
GATE_FIELDS = ["id", "target", "control", "control_state", "parameter"]
PARSE_FAULTS_DICT = ["missing", "bad id", "unknown name", "bad collection", "bad element", "not a dict",
                     "raising", "bad matrix", "no matrix", "matrix dimension"]
PARSE_FAULTS_OBJECT = ["missing", "bad id", "unknown name", "bad collection", "bad element", "raising",
                       "bad matrix", "no matrix", "matrix dimension"]


def unknown_names():
    return st.one_of(st.text(max_size=6), st.sampled_from(["X", "T", "cnot", "t ", "x\x00", "é",
                                                          "\ud800", b"h", b"\xff", b"q"])) \
        .filter(lambda name: as_text(name) not in GATE_NAMES if isinstance(name, bytes)
                else name not in GATE_NAMES)


def name_verdict(name):
    if isinstance(name, bytes):
        text = name.decode("utf-8", "backslashreplace")
        return None if text in GATE_NAMES else value_error("Unsupported CUDA gate id: " + text)
    if not isinstance(name, str) or string_verdict(name):
        return CAST_ERROR
    return None if name in GATE_NAMES else value_error("Unsupported CUDA gate id: " + name)


@st.composite
def gate_items(draw, n, form):
    """(item as handed in, PlannedGate) for one gate of a chunk in `form`
    ("dict" for gate_ir, "object" for gate objects)."""
    plan = draw(valid_gates(n))
    faulty = rarely(draw, 3, "faulty")
    parse_fault = faulty and draw(st.booleans(), label="found while parsing")
    if faulty and not parse_fault:
        plan = draw(dispatch_faults(plan, n))
    fields = {"id": plan.name}
    for key, values in (("target", plan.targets), ("control", plan.controls),
                        ("control_state", plan.control_state), ("parameter", plan.params)):
        fields[key] = draw(number_lists(values))[0]
    if form == "object" and GATE_NAMES[plan.name][1] is None and not plan.params \
            and draw(st.booleans(), label="parameter None"):
        fields["parameter"] = None
    if plan.kind == "unitary":
        fields["matrix"], plan.matrix = draw(matrix_forms(plan.matrix))
    elif form == "object" and draw(st.booleans(), label="unread matrix"):
        fields["matrix"] = draw(st.sampled_from(BAD_MATRICES + [Raise(ZeroDivisionError("never read"))]))
    elif form == "dict" and rarely(draw, 2, "ignored matrix"):
        fields["matrix"] = draw(st.one_of(st.none(), random_matrices(draw(st.sampled_from([1, 2, 4, 3])))))
    if parse_fault:
        plan.stage, plan.fault = "parse", None
        faults = PARSE_FAULTS_DICT if form == "dict" else PARSE_FAULTS_OBJECT
        fault = draw(st.sampled_from(faults), label="parse fault")
        if fault == "missing":
            key = draw(st.sampled_from(GATE_FIELDS + (["matrix"] if plan.kind == "unitary" else [])))
            if key == "matrix" and form == "dict":
                plan.fault = value_error("UNITARY gate requires a matrix.")
            else:
                plan.fault = Refusal(KeyError, repr(key)) if form == "dict" else \
                    Refusal(AttributeError, f"no attribute {key}")
            del fields[key]
        elif fault == "bad id":
            fields["id"] = draw(st.sampled_from([5, None, 1.5, ["x"], "\ud800"]))
            plan.fault = CAST_ERROR
        elif fault == "unknown name":
            fields["id"] = draw(unknown_names())
            plan.fault = name_verdict(fields["id"])
        elif fault == "bad collection":
            key = draw(st.sampled_from(GATE_FIELDS[1:]))
            bad = [v for v in BAD_COLLECTIONS if not (key == "parameter" and form == "object" and v is None)]
            fields[key] = draw(st.sampled_from(bad))
            plan.fault = CAST_ERROR
        elif fault == "bad element":
            key = draw(st.sampled_from(GATE_FIELDS[1:]))
            values = {"target": plan.targets, "control": plan.controls,
                      "control_state": plan.control_state, "parameter": plan.params}[key]
            bad = draw(st.sampled_from(BAD_PARAMETER_ELEMENTS if key == "parameter" else BAD_INTEGER_ELEMENTS))
            at = draw(st.integers(0, len(values)))
            fields[key] = draw(number_lists(values[:at] + [bad] + values[at:]))[0]
            plan.fault = CAST_ERROR
        elif fault == "not a dict":
            item = draw(st.sampled_from([5, "ab", None, [1, 2], object(), 1.5, [("id",)]]))
            return item, PlannedGate("", "", [], [], [], [], fault=python_error(lambda: dict(item)),
                                  stage="parse")
        elif fault == "raising":
            key = draw(st.sampled_from(sorted(fields)))
            error = draw(st.sampled_from([ZeroDivisionError("boom"), LookupError("gone"), KeyError("k")]))
            if form == "dict":
                plan.fault = Refusal(type(error), str(error))
                return RaisingDict(fields, key, error), plan
            fields[key] = Raise(error)
            if key == "matrix" and plan.kind != "unitary":
                plan.stage = None  # never read
            else:
                plan.fault = Refusal(type(error), str(error))
        elif fault == "bad matrix":
            bad = draw(st.sampled_from(BAD_MATRICES))
            if form == "object" and plan.kind != "unitary":
                plan.stage = None  # never read
            else:
                plan.fault = matrix_verdict(bad) or (
                    value_error("UNITARY matrix dimension must be 2**num_targets.")
                    if plan.kind == "unitary" else None)
                if plan.fault is None:
                    plan.stage = None
            fields["matrix"] = bad
        elif fault == "no matrix":
            if plan.kind == "unitary":
                fields["matrix"] = None
                plan.fault = value_error("UNITARY gate requires a matrix.")
            else:
                plan.stage = None
        elif fault == "matrix dimension":
            if plan.kind == "unitary":
                k = len(plan.targets)
                fields["matrix"] = np.eye(draw(st.sampled_from([1, 3] + [1 << j for j in range(1, 5) if j != k])))
                plan.fault = value_error("UNITARY matrix dimension must be 2**num_targets.")
            else:
                plan.stage = None
    return render_gate(draw, fields, form), plan


def render_gate(draw, fields, form):
    if form == "object":
        return GateObject(**fields)
    shape = draw(st.sampled_from(["dict", "dict", "dict", "pairs", "extra keys"]), label="dict form")
    if shape == "pairs":
        return list(fields.items())
    if shape == "extra keys":
        return {**fields, "qubits": object(), 7: None}
    return dict(fields)


def chunk_outcome(planned, fused):
    """(Refusal or None, how many gates have run when it is raised)."""
    for i, plan in enumerate(planned):
        if plan.stage == "parse":
            return plan.fault, 0
    for i, plan in enumerate(planned):
        if plan.stage == "dispatch":
            return plan.fault, 0 if fused else i
    return None, len(planned)


@st.composite
def gate_chunks(draw, n, form, max_size=6):
    """(container, planned): a chunk of gates in a list (gate_ir) or any
    iterable (gate objects), sometimes changed by the reading itself or
    ending in an error of its iterator."""
    items = draw(st.lists(gate_items(n, form), max_size=max_size), label="gates")
    gates, planned = [i for i, _ in items], [s for _, s in items]
    container = draw(st.sampled_from(["list", "list", "list subclass", "meddling"] +
                                     (["tuple", "generator", "iterator", "raising", "values"]
                                      if form == "object" else [])), label="container")
    if container == "list subclass":
        return type("GateList", (list,), {})(gates), planned
    if container == "meddling" and gates and planned[0].stage != "parse":
        # The first gate's target list clears or grows the chunk while it is
        # read: the chunk is read as it stood.
        chunk = list(gates)
        action = chunk.clear if draw(st.booleans(), label="clear") else lambda: chunk.extend(gates * 50)
        if type(gates[0]) is dict:
            chunk[0] = {**gates[0], "target": Meddling(planned[0].targets, action)}
        elif isinstance(gates[0], GateObject):
            chunk[0] = GateObject(**{**gates[0]._fields, "target": Meddling(planned[0].targets, action)})
        return chunk, planned
    if container == "tuple":
        return tuple(gates), planned
    if container == "generator":
        return (g for g in gates), planned
    if container == "iterator":
        return iter(gates), planned
    if container == "values":
        return dict(enumerate(gates)).values(), planned
    if container == "raising":
        at = draw(st.integers(0, len(gates)))
        error = ValueError("iterator broke")
        cut = planned[:at] + [PlannedGate("", "", [], [], [], [], fault=Refusal(ValueError, "iterator broke"),
                                     stage="parse")]
        return raising_iterable(gates, error, at), cut
    return list(gates), planned


# --- tovrek entries ------------------------------------------------------------------

ANY_CONTENTS = "any"  # after_refusal: the gates before the refused one ran on numbers that are not finite
VECTOR_DTYPES = ["complex128", "complex64"]


def modes():
    members = [tovrek.AllState, tovrek.Pair, tovrek.PairAuto, tovrek.PairAutoFusion]
    return mostly(st.sampled_from(members), st.sampled_from([2, None, "PairAuto", 3.0]))


def mode_verdict(mode):
    return kind_verdict(mode, tovrek, "KernelMode")


@st.composite
def vector_states(draw, n=None):
    """(DeviceState, the amplitudes it was made from)."""
    n = draw(st.integers(1, 4), label="n") if n is None else n
    dtype = draw(st.sampled_from(VECTOR_DTYPES), label="state dtype")
    psi = draw(contents(n, dtype))
    return tovrek.DeviceState.from_numpy(n, psi), psi


def others(draw, value, wrong):
    """`value`, or now and then a value of the wrong type for its parameter
    (an entry of `wrong`, called if it is callable)."""
    if not rarely(draw, 4, "wrong type"):
        return value
    pick = wrong[draw(st.integers(0, len(wrong) - 1), label="wrong value")]
    return pick() if callable(pick) else pick


def wrong_states():
    return [None, 5, "state", lambda: np.zeros(2, complex), lambda: rhomira.DeviceDensityState.zero_state(1)]


def runner_entry(draw, form):
    """run_circuit_device (gate_ir dictionaries in a list) or
    run_circuit_device_gates (gate objects in any iterable) on a state."""
    state, psi = draw(vector_states())
    n = state.n
    gates, planned = draw(gate_chunks(n, form))
    endian, mode = draw(endians(), label="endian"), draw(modes(), label="mode")
    target = others(draw, state, wrong_states())
    if form == "dict":
        call = tovrek.run_circuit_device
        gates = others(draw, gates, [tuple(gates) if isinstance(gates, list) else (), None, 5, "x"])
        container = None if isinstance(gates, list) else TYPE_ERROR
    else:
        call = tovrek.run_circuit_device_gates
        gates = others(draw, gates, [None, 5, 1.5, "xy", b"x"])
        container = None if hasattr(gates, "__iter__") else TYPE_ERROR
        if isinstance(gates, (str, bytes)):  # iterable: its items are read as gate objects
            planned = [PlannedGate("", "", [], [], [], [], fault=reader_error(next(iter(gates)), "id"),
                              stage="parse")]
    fault, ran = chunk_outcome(planned, fused=mode is tovrek.PairAutoFusion)
    expect = first(kind_verdict(target, tovrek, "DeviceState"), container, string_verdict(endian),
                   mode_verdict(mode), lambda: endian_verdict(endian), fault)
    after = {}
    if expect is fault and fault is not None and ran:
        partial = apply_gates(psi, n, planned[:ran])
        after[id(state)] = ANY_CONTENTS if partial is None else partial
    expected = apply_gates(psi, n, planned) if expect is None else None

    def check(result):
        assert result is None
        if expected is not None and finite(expected):
            assert_close(state.to_numpy(), expected, psi.dtype, steps=len(planned))
    return Case(lambda: call(target, gates, endian=endian, mode=mode), expect, check, states=[state],
                after_refusal=after)


def host_state_verdict(n, array, writable):
    """The checks of a caller's NumPy state in their order (Part of every
    call that takes one): writability where asked, the buffer request, one
    dimension, C order, n, the size."""
    return first(
        value_error("state array must be writable") if writable and not array.flags.writeable else None,
        lambda: buffer_verdict(array),
        lambda: value_error("state must be a 1-D contiguous numpy array") if array.ndim != 1 else None,
        lambda: value_error("state must be C-contiguous") if not array.flags.c_contiguous else None,
        lambda: value_error("n must be in [1, 62]") if not 1 <= n <= 62 else None,
        lambda: value_error("state.size must equal 2**n") if array.size != 1 << n else None)


def vector_n(draw, size_n):
    """n for a call whose array holds 2**size_n amplitudes."""
    return draw(integers_for(st.sampled_from([size_n, size_n, size_n, size_n + 1, 0, 62, 63])),
                label="n")


def fuzz_run_circuit(draw):
    size_n = draw(st.integers(1, 4), label="array qubits")
    array = draw(host_arrays(1 << size_n))
    if array.dtype.kind == "c" and array.shape == (1 << size_n,) and array.flags.writeable:
        array[...] = draw(contents(size_n, array.dtype))
    n = vector_n(draw, size_n)
    gate_ir, planned = draw(gate_chunks(size_n, "dict"))
    endian, device, mode = draw(endians()), draw(devices()), draw(modes())
    pinned = draw(flags(), label="use_pinned_host")
    state = others(draw, array, [None, [0j, 1], 5])
    gate_ir = others(draw, gate_ir, [(), None, 5])
    boundary = first(int_verdict(n, INT64), ndarray_verdict(state),
                     None if isinstance(gate_ir, list) else TYPE_ERROR, string_verdict(endian),
                     string_verdict(device), mode_verdict(mode), bool_verdict(pinned))
    fault, ran = chunk_outcome(planned, mode is tovrek.PairAutoFusion)
    psi = array.copy()

    def ordinal():
        return device_parse_verdict(device)

    expect = first(
        boundary,
        lambda: host_state_verdict(as_int(n), array, writable=True),
        lambda: endian_verdict(endian),
        lambda: ordinal() if isinstance(ordinal(), Refusal) else None,
        lambda: dtype_verdict(array),
        lambda: device_select_verdict(ordinal()),
        fault)
    expected = apply_gates(psi, size_n, planned) if expect is None else None

    def check(result):
        assert result is array
        if expected is not None and finite(expected):
            assert_close(array, expected, array.dtype, steps=len(planned))
    return Case(lambda: tovrek.run_circuit(n, state, gate_ir, endian=endian, device=device, mode=mode,
                                           use_pinned_host=pinned),
                expect, check, arrays=[array])


def vector_sizes():
    return st.one_of(st.integers(1, 4), st.sampled_from([40, 50, 60, 61, 62]))


def zero_state_verdict(n, dtype, device, n_verdict, out_of_memory_from):
    """The first refusal of a zero_state(n, dtype=dtype, device=device) call of
    either module, in the order of its checks."""
    ordinal = lambda: device_parse_verdict(device)  # noqa: E731
    return first(
        int_verdict(n, INT64), string_verdict(dtype), string_verdict(device),
        lambda: ordinal() if isinstance(ordinal(), Refusal) else None,
        lambda: dtype_text_verdict(dtype),
        lambda: n_verdict(as_int(n)),
        lambda: device_select_verdict(ordinal()),
        lambda: runtime_error("CUDA error: out of memory") if as_int(n) >= out_of_memory_from else None)


def fuzz_zero_state(draw):
    n = draw(integers_for(vector_sizes()), label="n")
    dtype, device = draw(dtypes(), label="dtype"), draw(devices(), label="device")
    expect = zero_state_verdict(
        n, dtype, device, lambda k: value_error("n must be in [1, 62]") if not 1 <= k <= 62 else None, 40)

    def check(state):
        k = as_int(n)
        assert (state.n, state.num_state, state.device_id, state.dtype) == (k, 1 << k, 0, as_text(dtype))
        out = state.to_numpy()
        expected = np.zeros(1 << k, as_text(dtype))
        expected[0] = 1
        assert_same_bits(out, expected, "zero state")
    return Case(lambda: tovrek.DeviceState.zero_state(n, dtype=dtype, device=device), expect, check)


def fuzz_from_numpy(draw):
    size_n = draw(st.integers(1, 4), label="array qubits")
    array = draw(host_arrays(1 << size_n))
    n = vector_n(draw, size_n)
    device, pinned = draw(devices(), label="device"), draw(flags(), label="use_pinned_host")
    state = others(draw, array, [None, [0j, 1], 5])
    ordinal = lambda: device_parse_verdict(device)  # noqa: E731
    expect = first(
        int_verdict(n, INT64), ndarray_verdict(state), string_verdict(device), bool_verdict(pinned),
        lambda: host_state_verdict(as_int(n), array, writable=False),
        lambda: dtype_verdict(array),
        lambda: ordinal() if isinstance(ordinal(), Refusal) else None,
        lambda: device_select_verdict(ordinal()))

    def check(made):
        k = as_int(n)
        assert (made.n, made.num_state, made.device_id, made.dtype) == (k, 1 << k, 0, str(array.dtype))
        assert_same_bits(made.to_numpy(), np.ascontiguousarray(array), "uploaded state")
    return Case(lambda: tovrek.DeviceState.from_numpy(n, state, device=device, use_pinned_host=pinned),
                expect, check, arrays=[array])


def fuzz_state_copies(draw):
    state, psi = draw(vector_states())
    pinned = draw(flags(), label="use_pinned_host")
    if draw(st.booleans(), label="to_numpy"):
        def check(out):
            assert_same_bits(out, psi, "to_numpy")
        return Case(lambda: state.to_numpy(use_pinned_host=pinned), bool_verdict(pinned), check,
                    states=[state])
    array = draw(host_arrays(1 << state.n))
    target = others(draw, array, [None, [0j, 1], 5])
    expect = first(ndarray_verdict(target), bool_verdict(pinned),
                   lambda: host_state_verdict(state.n, array, writable=True),
                   lambda: dtype_verdict(array),
                   lambda: None if str(array.dtype) == state.dtype else
                   value_error("numpy state dtype does not match DeviceState"))

    def check(result):
        assert result is None
        assert_same_bits(array, psi, "copy_to_numpy")
    return Case(lambda: state.copy_to_numpy(target, use_pinned_host=pinned), expect, check,
                states=[state], arrays=[array])


INT32_VALUES = [-5, -1, 0, 1, 2, 3, 7, 10, INT32[0], INT32[1]]


def int32s():
    return mostly(st.sampled_from(INT32_VALUES), st.sampled_from([1 << 31, 1.5, None]))


@st.composite
def fusion_options(draw, n, typed=False):
    """Planner options, some odd (`typed`: all of the right type); groups stay
    small enough to plan at once."""
    options = {}
    if draw(st.booleans(), label="default options"):
        return options
    counts = st.sampled_from(INT32_VALUES) if typed else int32s()
    options["fuse_swap"] = draw(st.booleans() if typed else flags())
    options["sparsesharemem_qubits"] = draw(counts if n <= 4 else st.sampled_from([-1, 0, 2, 10]))
    options["densemm_min_qubits"] = draw(counts)
    options["densemm_max_qubits"] = draw(counts)
    scales = st.one_of(st.floats(), st.sampled_from([-1e300, 0.0, 1.0]))
    options["densemm_gate_threshold_scale"] = draw(
        scales if typed else mostly(scales, st.sampled_from([10**400, "1", None])))
    options["max_gates_per_group"] = draw(counts)
    options["pad_sparsesharemem"] = draw(st.booleans() if typed else flags())
    return options


def options_verdict(options):
    checks = {"fuse_swap": bool_verdict, "pad_sparsesharemem": bool_verdict,
              "densemm_gate_threshold_scale": double_verdict}
    return first(*(checks.get(key, lambda v: int_verdict(v, INT32))(value)
                   for key, value in options.items()))


def fuzz_prepare_fusion_chunk_gates(draw):
    n = draw(integers_for(st.one_of(st.integers(1, 4), st.sampled_from([40, 62]))), label="n")
    k = as_int(n)
    gate_n = k if k is not None and 1 <= k <= 62 else 3
    gates, planned = draw(gate_chunks(gate_n, "object"))
    options = draw(fusion_options(gate_n))
    gates = others(draw, gates, [None, 5])
    boundary = first(int_verdict(n, INT64), None if hasattr(gates, "__iter__") else TYPE_ERROR,
                     options_verdict(options))
    fault, _ = chunk_outcome(planned, fused=True)
    expect = first(boundary, lambda: value_error("n must be in [1, 62]") if not 1 <= k <= 62 else None,
                   fault)
    psi = state_vector("random", gate_n, np.complex128, 5) if gate_n <= 4 else None

    def check(chunk):
        assert (chunk.n, chunk.gate_count) == (k, len(planned))
        if psi is None:
            return
        state = tovrek.DeviceState.from_numpy(k, psi)
        tovrek.execute_prepared_fusion_chunk(state, chunk)
        expected = apply_gates(psi, k, planned)
        if expected is not None and finite(expected):
            assert_close(state.to_numpy(), expected, psi.dtype, steps=len(planned))
    return Case(lambda: tovrek.prepare_fusion_chunk_gates(n, gates, **options), expect, check)


def fuzz_execute_prepared_fusion_chunk(draw):
    state, psi = draw(vector_states())
    chunk_n = draw(st.sampled_from([state.n] * 4 + [1, 4, 62]), label="chunk n")
    planned = draw(st.lists(valid_gates(chunk_n), max_size=6), label="gates")
    objects = [GateObject(id=s.name, target=s.targets, control=s.controls, control_state=s.control_state,
                          parameter=s.params, matrix=s.matrix) for s in planned]
    options = draw(fusion_options(chunk_n, typed=True))
    chunk = tovrek.prepare_fusion_chunk_gates(chunk_n, objects, **options)
    target = others(draw, state, wrong_states())
    given = others(draw, chunk, [None, 5, objects])
    expect = first(kind_verdict(target, tovrek, "DeviceState"),
                   kind_verdict(given, tovrek, "PreparedFusionChunk"),
                   None if chunk_n == state.n else
                   value_error("DeviceState qubit count does not match prepared fusion chunk"))
    expected = apply_gates(psi, state.n, planned) if expect is None else None

    def check(result):
        assert result is None
        if expected is not None and finite(expected):
            assert_close(state.to_numpy(), expected, psi.dtype, steps=len(planned))
    return Case(lambda: tovrek.execute_prepared_fusion_chunk(target, given), expect, check,
                states=[state])


@st.composite
def target_lists(draw, n):
    """(what is handed in, the integers read, boundary verdict)."""
    kind = draw(st.sampled_from(["good"] * 4 + ["empty", "duplicate", "range", "long", "bad"]),
                label="targets")
    qubits = draw(st.permutations(range(n)))
    if kind == "good":
        values = qubits[:draw(st.integers(1, n))]
    elif kind == "empty":
        values = []
    elif kind == "duplicate":
        values = qubits[:draw(st.integers(1, n))]
        values.insert(draw(st.integers(0, len(values))), draw(st.sampled_from(values)))
    elif kind == "range":
        values = qubits[:draw(st.integers(0, n))]
        values.insert(draw(st.integers(0, len(values))),
                      draw(st.sampled_from([n, 62, 63, -1, INT64[0], INT64[1]])))
    elif kind == "long":
        values = list(range(63))
    else:
        bad = draw(st.sampled_from(BAD_COLLECTIONS + [[0.5], ["0"], [1 << 63], [None]]))
        return bad, None, TYPE_ERROR
    container, values = draw(number_lists(values))
    return container, values, None


def measure_targets_verdict(n, targets, limit=62, empty="measure targets size must be in [1, 62]"):
    if not 1 <= len(targets) <= limit:
        return value_error(empty)
    seen = set()
    for t in targets:
        if not 0 <= t < n:
            return value_error("measure target index out of range")
        if t in seen:
            return value_error("duplicate measure target index")
        seen.add(t)
    return None


def norm_verdict(psi):
    total = float(np.sum(np.abs(psi.astype(np.complex128)) ** 2))
    ok = total > 0 and math.isfinite(total)
    return None if ok else runtime_error("Quantum state has zero or invalid norm.")


def vector_collapse(psi, n, targets, endian, outcome):
    """The collapsed amplitudes for a given outcome string, and its weight."""
    bits = [t if endian == "little" else n - 1 - t for t in targets]
    idx = np.arange(1 << n)
    m = sum(((idx >> b) & 1) << (len(targets) - 1 - j) for j, b in enumerate(bits))
    keep = m == int(outcome, 2)
    w = np.abs(psi.astype(np.complex128)) ** 2
    weight = float(np.sum(w[keep]))
    real = psi.real.dtype.type
    scale = real(1.0 / math.sqrt(weight)) if weight > 0 else real(0)
    out = np.zeros_like(psi)
    out.real[keep] = psi.real[keep] * scale
    out.imag[keep] = psi.imag[keep] * scale
    return out, weight


def check_measured(state, psi, n, targets, endian, seed, outcome):
    """One shot: the reference's draw where the seed is known, else any
    outcome of non-zero weight; the collapse to it."""
    if seed is not None:
        _, last, _ = sample_reference(psi, n, targets, 1, seed, endian)
        assert outcome == last
    collapsed, weight = vector_collapse(psi, n, targets, endian, outcome)
    assert weight > 0
    actual = state.to_numpy() if state is not None else None
    return collapsed, actual


def fuzz_measure_device(draw):
    state, psi = draw(vector_states())
    n = state.n
    targets, values, target_verdict = draw(target_lists(n))
    endian, seed = draw(endians(), label="endian"), draw(seeds(), label="seed")
    given = others(draw, state, wrong_states())
    expect = first(kind_verdict(given, tovrek, "DeviceState"), target_verdict, string_verdict(endian),
                   lambda: endian_verdict(endian), lambda: seed_verdict(seed),
                   lambda: measure_targets_verdict(n, values), lambda: norm_verdict(psi))

    def check(outcome):
        collapsed, actual = check_measured(state, psi, n, values, as_text(endian), resolved_seed(seed),
                                           outcome)
        if finite(collapsed):
            assert_close(actual, collapsed, psi.dtype, what="collapse")
    return Case(lambda: tovrek.measure_device(given, targets, endian=endian, seed=seed), expect, check,
                states=[state])


def fuzz_sample_measure_device(draw):
    state, psi = draw(vector_states())
    n = state.n
    targets, values, target_verdict = draw(target_lists(n))
    endian, seed = draw(endians(), label="endian"), draw(seeds(), label="seed")
    shots = draw(mostly(st.integers(1, 300), st.sampled_from([0, 1 << 40, (1 << 64) - 1, True, np.uint64(3)]),
                        st.sampled_from([-1, 1 << 64, 1.5, None, "3"])), label="shots")
    collapse = draw(flags(), label="collapse_last")
    given = others(draw, state, wrong_states())
    expect = first(kind_verdict(given, tovrek, "DeviceState"), target_verdict,
                   int_verdict(shots, (0, (1 << 64) - 1)), string_verdict(endian), bool_verdict(collapse),
                   lambda: endian_verdict(endian),
                   lambda: value_error("shots must be positive") if as_int(shots) == 0 else None,
                   lambda: seed_verdict(seed),
                   lambda: measure_targets_verdict(n, values), lambda: norm_verdict(psi))
    if expect is None and as_int(shots) > 1000:
        shots = 7  # only refusals may ask for endless shots: they must come before any is drawn
    k = as_int(shots)

    def check(result):
        counts, last = result
        assert sum(counts.values()) == k and last in counts
        for outcome in counts:
            assert len(outcome) == len(values) and vector_collapse(psi, n, values, as_text(endian),
                                                                   outcome)[1] > 0
        if seed is not None:
            ref_counts, ref_last, _ = sample_reference(psi, n, values, k, resolved_seed(seed),
                                                       as_text(endian))
            assert (counts, last) == (ref_counts, ref_last)
        if truth(collapse):
            collapsed, _ = vector_collapse(psi, n, values, as_text(endian), last)
            if finite(collapsed):
                assert_close(state.to_numpy(), collapsed, psi.dtype, what="collapse")
        else:
            assert_same_bits(state.to_numpy(), psi, "state without collapse")
    return Case(lambda: tovrek.sample_measure_device(given, targets, shots, endian=endian, seed=seed,
                                                     collapse_last=collapse),
                expect, check, states=[state])


def fuzz_measure(draw):
    size_n = draw(st.integers(1, 4), label="array qubits")
    array = draw(host_arrays(1 << size_n))
    if array.dtype.kind == "c" and array.shape == (1 << size_n,) and array.flags.writeable:
        array[...] = draw(contents(size_n, array.dtype))
    n = vector_n(draw, size_n)
    targets, values, target_verdict = draw(target_lists(size_n))
    endian, device, pinned = draw(endians()), draw(devices()), draw(flags(), label="use_pinned_host")
    state = others(draw, array, [None, [0j, 1], 5])
    ordinal = lambda: device_parse_verdict(device)  # noqa: E731
    psi = array.copy()
    expect = first(
        int_verdict(n, INT64), ndarray_verdict(state), target_verdict, string_verdict(endian),
        string_verdict(device), bool_verdict(pinned),
        lambda: host_state_verdict(as_int(n), array, writable=True),
        lambda: endian_verdict(endian),
        lambda: ordinal() if isinstance(ordinal(), Refusal) else None,
        lambda: dtype_verdict(array),
        lambda: device_select_verdict(ordinal()),
        lambda: measure_targets_verdict(size_n, values), lambda: norm_verdict(psi))

    def check(outcome):
        collapsed, _ = check_measured(None, psi, size_n, values, as_text(endian), None, outcome)
        if finite(collapsed):
            assert_close(array, collapsed, psi.dtype, what="collapse")
    return Case(lambda: tovrek.measure(n, state, targets, endian=endian, device=device,
                                       use_pinned_host=pinned), expect, check, arrays=[array])


# --- rhomira operations -------------------------------------------------------------

DENSITY_ALIASES = {
    **{a: "x" for a in ("cx", "cnot", "mcx")}, **{a: "y" for a in ("cy", "mcy")},
    **{a: "z" for a in ("cz", "mcz")}, **{a: "h" for a in ("ch", "mch")},
    **{a: "s" for a in ("cs", "mcs")}, **{a: "p" for a in ("cp", "mcp")},
    **{a: "rx" for a in ("crx", "mcrx")}, **{a: "ry" for a in ("cry", "mcry")},
    **{a: "rz" for a in ("crz", "mcrz")}, "gphase": "gp", "global_phase": "gp", "xyarb": "rxy",
}
DENSITY_COUNTS = {
    **{name: 0 for name in ("x", "y", "z", "-z", "h", "s", "s_dag", "t", "t_dag", "sqrtx", "sqrtx_dag",
                            "sqrty", "sqrty_dag", "x2p", "x2m", "y2p", "y2m", "swap")},
    "rx": 1, "ry": 1, "rz": 1, "p": 1, "gp": 1, "rxy": 2, "u": 3,
}
DENSITY_NAMES = sorted(set(DENSITY_COUNTS) | set(DENSITY_ALIASES))
CHANNEL_COUNTS = {"bit_flip": 2, "phase_flip": 2, "depolarizing": 4, "amplitude_damping": 2,
                  "phase_damping": 3}


def canonical(name):
    return DENSITY_ALIASES.get(name, name)


@dataclass
class PlannedOp:
    """A drawn density operation: `kraus` (the operators) or `unitary` (the
    full-space matrix) for one that runs, or its Refusal at `stage` "parse"
    or "validate" (both before anything runs). `exact` as for gates."""

    fields: dict
    unitary: Any = None
    kraus: Any = None
    targets: list = field(default_factory=list)
    fault: Refusal | None = None
    stage: str | None = None
    exact: bool = True
    channel: str | None = None  # a built-in channel, applied in closed form


def density_unitary(name, targets, controls, control_state, params, n, dtype):
    name = canonical(name)
    if name == "gp" and not controls:
        return np.eye(1 << n)
    real = np.float32 if np.dtype(dtype) == np.complex64 else np.float64
    params = [float(real(p)) for p in params]
    u = np.eye(4)[[0, 2, 1, 3]] if name == "swap" else named_matrix(name, params)
    return controlled_operator(u, n, targets, controls, control_state)


def channel_parameter(name, operators):
    """The parameter of a built-in channel as the module reads it: from the
    second operator only (the caller is trusted to pass the channel's set)."""
    k1 = np.asarray(operators[1], np.complex128)
    x = k1[0, 1].real if name in ("bit_flip", "depolarizing", "amplitude_damping") else k1[0, 0].real
    return (4 * x) * x if name == "depolarizing" else x * x


def apply_channel(rho, target, name, p):
    """The closed-form update of a built-in channel on each 2 x 2 block."""
    q = 1 << target
    low = np.array([i for i in range(rho.shape[0]) if not i & q])
    a00, a01 = rho[np.ix_(low, low)], rho[np.ix_(low, low | q)]
    a10, a11 = rho[np.ix_(low | q, low)], rho[np.ix_(low | q, low | q)]
    if name == "bit_flip":
        blocks = ((1 - p) * a00 + p * a11, (1 - p) * a01 + p * a10, (1 - p) * a10 + p * a01,
                  (1 - p) * a11 + p * a00)
    elif name == "phase_flip":
        blocks = (a00, (1 - 2 * p) * a01, (1 - 2 * p) * a10, a11)
    elif name == "depolarizing":
        h = p / 2
        blocks = ((1 - h) * a00 + h * a11, (1 - p) * a01, (1 - p) * a10, (1 - h) * a11 + h * a00)
    elif name == "amplitude_damping":
        blocks = (a00 + p * a11, math.sqrt(1 - p) * a01, math.sqrt(1 - p) * a10, (1 - p) * a11)
    else:
        blocks = (a00, (1 - p) * a01, (1 - p) * a10, a11)
    out = rho.copy()
    for (rows, cols), block in zip(((low, low), (low, low | q), (low | q, low), (low | q, low | q)), blocks):
        out[np.ix_(rows, cols)] = block
    return out


def apply_operations(rho, n, planned):
    out = rho.astype(np.complex128)
    real = np.float32 if rho.dtype == np.complex64 else np.float64
    for plan in planned:
        if not plan.exact:
            return None
        if plan.channel is not None:
            p = float(real(channel_parameter(plan.channel, plan.kraus)))
            out = apply_channel(out, plan.targets[0], plan.channel, p)
        elif plan.kraus is not None:
            out = sum(controlled_operator(k, n, plan.targets) @ out @ controlled_operator(k, n, plan.targets)
                      .conj().T for k in plan.kraus)
        else:
            out = plan.unitary @ out @ plan.unitary.conj().T
    return out.astype(rho.dtype)


def density_message(text):
    return runtime_error(text)


@st.composite
def valid_density_gates(draw, n, dtype):
    qubits = list(range(n))
    stored = rarely(draw, 2, "stored matrix")
    if stored:
        k = draw(st.integers(1, min(n, 3)), label="matrix targets")
        targets = draw(st.permutations(qubits))[:k]
        name = draw(st.sampled_from(DENSITY_NAMES + ["foo", "unitary", ""]), label="name")
    else:
        name = draw(st.sampled_from([m for m in DENSITY_NAMES if canonical(m) != "swap" or n >= 2]),
                    label="name")
        c = canonical(name)
        if c == "swap":
            targets = draw(st.permutations(qubits))[:2]
        elif c == "gp":
            targets = draw(st.permutations(qubits))[:draw(st.integers(1, n))]
        else:
            targets = [draw(st.sampled_from(qubits), label="target")]
    free = [q for q in qubits if q not in targets]
    controls = draw(st.permutations(free))[:draw(st.integers(0, min(len(free), 2)), label="controls")]
    if not stored and canonical(name) == "gp" and controls:
        targets = targets[:1]
    control_state = [draw(st.integers(0, 1)) for _ in controls]
    c = canonical(name)
    exact = True
    if stored:
        params = draw(st.one_of(st.none(), st.lists(st.floats(), max_size=2)), label="unread parameters")
    elif c == "gp" and not controls:
        params = draw(st.one_of(st.none(), st.lists(st.floats(), max_size=3)), label="unread parameters")
    elif DENSITY_COUNTS[c] == 0:
        params = draw(st.sampled_from([None, []]), label="parameters")
    else:
        params = draw(st.lists(angles(), min_size=DENSITY_COUNTS[c], max_size=DENSITY_COUNTS[c]),
                      label="angles")
        if rarely(draw, 4, "huge angle"):
            params[0] = 1e300
            exact = False
    fields = dict(id=name, target=targets, control=controls, control_state=control_state,
                  parameter=params, has_stored_matrix=draw(st.sampled_from([False, None, 0, np.bool_(False)])))
    if stored:
        matrix = draw(random_matrices(1 << len(targets)))
        given, matrix = draw(matrix_forms(matrix))
        fields["has_stored_matrix"] = draw(st.sampled_from([True, 1, np.bool_(True), 2.0]))
        fields["stored_matrix"] = given
        m = matrix.astype(dtype).astype(np.complex128)
        unitary = controlled_operator(m, n, targets, controls, control_state)
    else:
        unitary = density_unitary(name, targets, controls, control_state, params or [], n, dtype)
    return PlannedOp(fields, unitary=unitary, targets=targets, exact=exact)


@st.composite
def valid_kraus(draw, n, dtype):
    qubits = list(range(n))
    if draw(st.booleans(), label="built-in channel"):
        name = draw(st.sampled_from(sorted(CHANNEL_COUNTS)), label="channel")
        p = draw(st.floats(0, 1), label="p")
        ops = np.array(channel_operators(name, p))
        targets = [draw(st.sampled_from(qubits))]
        fields = dict(operation_kind="kraus", target=targets, channel_name=name)
    else:
        k = draw(st.integers(1, min(n, 3)), label="kraus targets")
        targets = draw(st.permutations(qubits))[:k]
        count = draw(st.integers(1, 4), label="operators")
        rng = np.random.default_rng(draw(st.integers(0, 1 << 16), label="kraus seed"))
        d = 1 << k
        ops = (rng.normal(size=(count, d, d)) + 1j * rng.normal(size=(count, d, d))) / math.sqrt(count * d)
        fields = dict(operation_kind="kraus", target=targets)
        name = draw(st.sampled_from([None, "", "foo", "bit_flip", "depolarizing"]), label="channel name")
        if name is not None and not (k == 1 and CHANNEL_COUNTS.get(name) == count):
            fields["channel_name"] = name
    form = draw(st.sampled_from(["array", "lists", "complex64"]), label="kraus form")
    fields["kraus_matrices"] = ops.tolist() if form == "lists" else \
        ops.astype(np.complex64) if form == "complex64" else ops
    given = np.asarray(fields["kraus_matrices"], np.complex128)
    builtin = fields.get("channel_name") in CHANNEL_COUNTS and len(targets) == 1 and \
        CHANNEL_COUNTS[fields["channel_name"]] == len(given)
    used = given if builtin else given.astype(dtype).astype(np.complex128)
    return PlannedOp(fields, kraus=list(used), targets=targets,
                  channel=fields["channel_name"] if builtin else None)


def numpy_conversion_error(value):
    """The error of NumPy's forced conversion to a complex array, which the
    density reader lets pass; None where it converts."""
    return python_error(lambda: np.asarray(value, dtype=np.complex128))


BAD_KRAUS_SHAPES = [np.zeros((2, 2)), np.zeros((0, 2, 2)), np.zeros((1, 2, 3)), np.zeros((1, 0, 0)),
                    np.zeros((1, 1, 2, 2)), np.zeros(3), 1.0]
DENSITY_FAULTS = ["missing", "bad id", "bad collection", "bad element", "raising", "bad flag", "bad stored",
                  "no target", "control count", "target range", "target repeat", "control range",
                  "control on target", "control repeat", "control state", "parameter count",
                  "parameter finite", "x parameters", "two targets", "swap targets", "unknown name",
                  "stored finite", "stored size"]
KRAUS_FAULTS = ["missing", "bad kind", "bad collection", "bad element", "raising", "bad channel name",
                "bad kraus", "kraus shape", "no target", "target range", "target repeat", "dimension",
                "nonfinite", "too many targets"]


@st.composite
def density_items(draw, n, dtype):
    """(operation object, PlannedOp) for one operation of a list."""
    kraus = rarely(draw, 2, "Kraus form")
    plan = draw(valid_kraus(n, dtype) if kraus else valid_density_gates(n, dtype))
    if rarely(draw, 2, "faulty"):
        faults = KRAUS_FAULTS if kraus else DENSITY_FAULTS
        fault = draw(st.sampled_from(faults), label="fault")
        plan = (kraus_fault if kraus else density_gate_fault)(draw, plan, fault, n)
    f = dict(plan.fields)
    for key in ("target", "control", "control_state", "parameter"):
        if isinstance(f.get(key), list):
            f[key] = draw(number_lists(f[key]))[0]
    return DensityOp(**f), plan


def refuse(plan, stage, fault, **changes):
    fields = {**plan.fields, **changes}
    return PlannedOp(fields, targets=plan.targets, fault=fault, stage=stage)


def density_gate_fault(draw, plan, fault, n):
    f = plan.fields
    name, targets, controls = f["id"], f["target"], f["control"]
    c = canonical(name)
    stored = truth(f["has_stored_matrix"])
    free = [q for q in range(n) if q not in targets and q not in controls]
    if fault == "missing":
        key = draw(st.sampled_from(["id", "target", "control", "control_state", "parameter",
                                    "has_stored_matrix"] + (["stored_matrix"] if stored else [])))
        fields = dict(f)
        del fields[key]
        return PlannedOp(fields, fault=Refusal(AttributeError, f"no attribute {key}"), stage="parse")
    if fault == "bad id":
        return refuse(plan, "parse", CAST_ERROR, id=draw(st.sampled_from([5, None, ["x"], "\ud800"])))
    if fault == "bad collection":
        key = draw(st.sampled_from(["target", "control", "control_state", "parameter"]))
        bad = draw(st.sampled_from([v for v in BAD_COLLECTIONS if not (key == "parameter" and v is None)]))
        return refuse(plan, "parse", CAST_ERROR, **{key: bad})
    if fault == "bad element":
        key = draw(st.sampled_from(["target", "control", "control_state", "parameter"]))
        values = list(f[key] or [])
        bad = draw(st.sampled_from(BAD_PARAMETER_ELEMENTS if key == "parameter" else BAD_INTEGER_ELEMENTS))
        values.insert(draw(st.integers(0, len(values))), bad)
        return refuse(plan, "parse", CAST_ERROR, **{key: values})
    if fault == "raising":
        key = draw(st.sampled_from(sorted(f)))
        error = draw(st.sampled_from([ZeroDivisionError("boom"), LookupError("gone")]))
        if key == "stored_matrix" and not stored:
            return plan
        return refuse(plan, "parse", Refusal(type(error), str(error)), **{key: Raise(error)})
    if fault == "bad flag":
        return refuse(plan, "parse", CAST_ERROR,
                      has_stored_matrix=draw(st.sampled_from(["yes", [], object(), [True]])))
    if fault == "bad stored":
        bad = draw(st.sampled_from(BAD_MATRICES))
        error = numpy_conversion_error(bad)
        if error is None:
            a = np.asarray(bad, np.complex128)
            if a.ndim == 2 and a.shape[0] == a.shape[1]:
                return refuse(plan, "validate", density_message(
                    "unitary matrix size does not match targets"), has_stored_matrix=True, stored_matrix=bad)
            error = density_message("operation matrix must be square")
        return refuse(plan, "parse", error, has_stored_matrix=True, stored_matrix=bad)
    v = "validate"
    if fault == "no target":
        return refuse(plan, v, density_message("density operation requires at least one target"), target=[])
    if fault == "control count":
        cs = list(f["control_state"])
        cs = cs[:-1] if cs and draw(st.booleans()) else cs + [1]
        return refuse(plan, v, density_message("controls and control_state sizes must match"),
                      control_state=cs)
    if fault in ("target range", "target repeat"):
        t = list(targets)
        if fault == "target range":
            t.insert(draw(st.integers(0, len(t))), draw(st.sampled_from([n, 15, 63, -1, INT64[0], INT64[1]])))
        else:
            t.insert(draw(st.integers(0, len(t))), draw(st.sampled_from(t)))
        return refuse(plan, v, density_message("invalid or duplicate target qubit"), target=t)
    if fault in ("control range", "control on target", "control repeat"):
        extra = {"control range": draw(st.sampled_from([n, 15, 64, -1, INT64[0]])),
                 "control on target": targets[0],
                 "control repeat": controls[0] if controls else targets[0]}[fault]
        return refuse(plan, v, density_message("invalid, duplicate, or overlapping control qubit"),
                      control=list(controls) + [extra], control_state=list(f["control_state"]) + [0])
    if fault == "control state" and free:
        return refuse(plan, v, density_message("control_state must contain only 0 or 1"),
                      control=list(controls) + [free[0]],
                      control_state=list(f["control_state"]) + [draw(st.sampled_from([2, -1, INT64[0]]))])
    if stored:
        if fault == "stored finite":
            m = np.array(np.asarray(f["stored_matrix"], np.complex128))
            m.flat[draw(st.integers(0, m.size - 1))] = draw(st.sampled_from([np.nan, np.inf, complex(0, -np.inf)]))
            return refuse(plan, v, density_message("unitary matrix must contain only finite values"),
                          stored_matrix=m)
        if fault == "stored size":
            d = 1 << len(targets)
            size = draw(st.sampled_from([s for s in (1, 2, 4, 8, 16) if s != d]))
            return refuse(plan, v, density_message("unitary matrix size does not match targets"),
                          stored_matrix=np.eye(size))
        return plan
    # The fixed diagonal gates (s, t, z, ...) refuse parameters like the
    # matrix path does; x and swap have their own message.
    if fault == "parameter count" and c not in ("x", "swap") and not (c == "gp" and not controls):
        want = DENSITY_COUNTS[c]
        params = draw(st.lists(angles(), max_size=4).filter(lambda p: len(p) != want))
        return refuse(plan, v, density_message(f"invalid parameter count for density operation '{name}'"),
                      parameter=params)
    if fault == "parameter finite" and DENSITY_COUNTS[c] and not (c == "gp" and not controls):
        params = list(f["parameter"])
        params[draw(st.integers(0, len(params) - 1))] = draw(st.sampled_from([np.nan, np.inf, -np.inf]))
        return refuse(plan, v, density_message("density operation parameters must be finite"),
                      parameter=params)
    if fault == "x parameters" and c in ("x", "swap"):
        return refuse(plan, v, density_message(f"density operation '{name}' requires no parameters"),
                      parameter=draw(st.lists(st.floats(), min_size=1, max_size=3)))
    if fault == "two targets" and c != "swap" and not (c == "gp" and not controls) and free:
        return refuse(plan, v, density_message("named density operation requires one target"),
                      target=list(targets) + [free[0]])
    if fault == "swap targets" and c == "swap":
        t = list(targets[:1]) if draw(st.booleans()) or not free else list(targets) + [free[0]]
        return refuse(plan, v, density_message("swap requires exactly two targets"), target=t, parameter=[])
    if fault == "unknown name":
        unknown = draw(st.one_of(st.text(max_size=5), st.sampled_from(["X", "CNOT", "sdg", "\x00", b"y",
                                                                       b"\xfe"]))
                       .filter(lambda s: as_text(s) not in DENSITY_NAMES and string_verdict(s) is None))
        shown = unknown.decode("utf-8", "backslashreplace") if isinstance(unknown, bytes) else unknown
        return refuse(plan, v, density_message(f"unsupported named density operation '{shown}'"),
                      id=unknown, target=list(targets[:1]))
    return plan


def kraus_fault(draw, plan, fault, n):
    f = plan.fields
    targets = f["target"]
    v = "validate"
    if fault == "missing":
        key = draw(st.sampled_from(["target", "kraus_matrices"]))
        fields = dict(f)
        del fields[key]
        return PlannedOp(fields, fault=Refusal(AttributeError, f"no attribute {key}"), stage="parse")
    if fault == "bad kind":
        kind = draw(st.sampled_from(["KRAUS", "", "gate", 5, None, "kraus\x00", b"\xff", b"kraus"]))
        fault = None if kind == b"kraus" else CAST_ERROR if not isinstance(kind, (str, bytes)) else \
            density_message(f"unsupported density operation kind '{as_text(kind)}'")
        if fault is None:
            return plan
        return refuse(plan, "parse", fault, operation_kind=kind)
    if fault == "bad collection":
        return refuse(plan, "parse", CAST_ERROR, target=draw(st.sampled_from(BAD_COLLECTIONS)))
    if fault == "bad element":
        t = list(targets)
        t.insert(draw(st.integers(0, len(t))), draw(st.sampled_from(BAD_INTEGER_ELEMENTS)))
        return refuse(plan, "parse", CAST_ERROR, target=t)
    if fault == "raising":
        key = draw(st.sampled_from(["target", "kraus_matrices"]))
        error = ZeroDivisionError("boom")
        return refuse(plan, "parse", Refusal(ZeroDivisionError, "boom"), **{key: Raise(error)})
    if fault == "bad channel name":
        return refuse(plan, "parse", CAST_ERROR, channel_name=draw(st.sampled_from([5, None, ["bit_flip"]])))
    if fault == "bad kraus":
        bad = draw(st.sampled_from(BAD_MATRICES[:5]))
        error = numpy_conversion_error(bad) or density_message(
            "Kraus matrices must have shape (count, dimension, dimension)")
        return refuse(plan, "parse", error, kraus_matrices=bad)
    if fault == "kraus shape":
        return refuse(plan, "parse", density_message(
            "Kraus matrices must have shape (count, dimension, dimension)"),
            kraus_matrices=draw(st.sampled_from(BAD_KRAUS_SHAPES)))
    if fault == "no target":
        return refuse(plan, v, density_message("Kraus operation requires at least one target"), target=[])
    if fault in ("target range", "target repeat"):
        # The targets are checked before the operators' dimension.
        bad = draw(st.sampled_from([n, 15, -1, INT64[1]])) if fault == "target range" else targets[0]
        t = list(targets)
        t.insert(draw(st.integers(0, len(t))), bad)
        return refuse(plan, v, density_message("invalid or duplicate Kraus target qubit"), target=t)
    if fault == "dimension":
        ops = np.asarray(f["kraus_matrices"])
        d = ops.shape[1]
        new = draw(st.sampled_from([s for s in (1, 2, 4, 8) if s != d]))
        return refuse(plan, v, density_message("Kraus matrix dimension does not match targets"),
                      kraus_matrices=np.ones((1, new, new), complex))
    if fault == "nonfinite":
        ops = np.array(np.asarray(f["kraus_matrices"], np.complex128))
        ops.flat[draw(st.integers(0, ops.size - 1))] = draw(st.sampled_from([np.nan, np.inf]))
        return refuse(plan, v, density_message("Kraus matrices must contain only finite values"),
                      kraus_matrices=ops)
    if fault == "too many targets" and n >= 4:
        return refuse(plan, v, density_message("GPU density Kraus supports at most 3 targets"),
                      target=[0, 1, 2, 3], kraus_matrices=np.eye(16, dtype=complex)[None],
                      channel_name="")
    return plan


def operations_outcome(planned, num_qubits, n):
    for plan in planned:
        if plan.stage == "parse":
            return plan.fault
    if not planned:
        return None
    if num_qubits != n:
        return value_error("num_qubits does not match DeviceDensityState")
    for plan in planned:
        if plan.stage == "validate":
            return plan.fault
    return None


# --- rhomira entries ---------------------------------------------------------------------

DensityState = rhomira.DeviceDensityState if rhomira is not None else None


@st.composite
def density_states(draw, n=None, low=1):
    n = draw(st.integers(low, 3), label="n") if n is None else n
    dtype = draw(st.sampled_from(VECTOR_DTYPES), label="state dtype")
    rho = draw(contents(n, dtype, density=True))
    return DensityState.from_numpy(n, rho.copy()), rho


def wrong_density_states():
    return [None, 5, lambda: np.zeros((2, 2), complex), lambda: tovrek.DeviceState.zero_state(1)]


def fuzz_density_operations(draw):
    state, rho = draw(density_states(n=draw(st.sampled_from([1, 2, 3, 4]), label="n")))
    n = state.num_qubits
    items = draw(st.lists(density_items(n, rho.dtype), max_size=5), label="operations")
    ops, planned = [op for op, _ in items], [s for _, s in items]
    num_qubits = draw(integers_for(st.sampled_from([n, n, n, n + 1, 0, 15, 16])), label="num_qubits")
    container = draw(st.sampled_from(["list", "list", "tuple", "generator", "meddling", "raising", "bad"]),
                     label="container")
    if container == "tuple":
        ops = tuple(ops)
    elif container == "generator":
        ops = (op for op in ops)
    elif container == "meddling" and ops and planned[0].stage is None and planned[0].kraus is None:
        listed = list(ops)
        listed[0] = DensityOp(**{**ops[0]._fields, "target": Meddling(planned[0].targets, listed.clear)})
        ops = listed
    elif container == "raising":
        at = draw(st.integers(0, len(ops)))
        ops = raising_iterable(ops, ValueError("iterator broke"), at)
        planned = planned[:at] + [PlannedOp({}, fault=Refusal(ValueError, "iterator broke"), stage="parse")]
    elif container == "bad":
        ops = draw(st.sampled_from([None, 5, 1.5]))
    given = others(draw, state, wrong_density_states())
    boundary = first(kind_verdict(given, rhomira, "DeviceDensityState"), int_verdict(num_qubits, INT64),
                     None if hasattr(ops, "__iter__") else TYPE_ERROR)
    expect = first(boundary, lambda: operations_outcome(planned, as_int(num_qubits), n))
    expected = apply_operations(rho, n, planned) if expect is None else None

    def check(result):
        assert result is None
        if expected is not None and finite(expected):
            assert_close(state.to_numpy(), expected, rho.dtype, steps=len(planned))
    return Case(lambda: rhomira.run_density_operations_device(given, num_qubits, ops), expect, check,
                states=[state])


def density_n_verdict(n):
    return None if 0 <= n <= 15 else value_error("num_qubits must be in [0, 15] for the GPU density backend")


def density_sizes():
    return st.one_of(st.integers(0, 3), st.sampled_from([13, 14, 15] if HOST_RUNTIMES else [2]))


def fuzz_density_zero_state(draw):
    n = draw(integers_for(density_sizes()), label="n")
    dtype, device = draw(dtypes(), label="dtype"), draw(devices(), label="device")
    expect = zero_state_verdict(n, dtype, device, density_n_verdict, 12)

    def check(state):
        k = as_int(n)
        assert (state.num_qubits, state.dimension, state.device_id, state.dtype) == \
            (k, 1 << k, 0, as_text(dtype))
        expected = np.zeros((1 << k, 1 << k), as_text(dtype))
        expected[0, 0] = 1
        assert_same_bits(state.to_numpy(), expected, "density zero state")
    return Case(lambda: DensityState.zero_state(n, dtype=dtype, device=device), expect, check)


def fuzz_density_from_numpy(draw):
    size_n = draw(st.integers(0, 3), label="matrix qubits")
    array = draw(host_arrays(1 << size_n, density=True))
    n = draw(integers_for(st.sampled_from([size_n] * 4 + [size_n + 1, 15, 16])), label="n")
    device = draw(devices(), label="device")
    state = others(draw, array, [None, [[1]], 5])
    ordinal = lambda: device_parse_verdict(device)  # noqa: E731

    def shape():
        d = 1 << as_int(n)
        return None if array.ndim == 2 and array.shape == (d, d) else value_error("state shape must be (2**n, 2**n)")
    expect = first(
        int_verdict(n, INT64), ndarray_verdict(state), string_verdict(device),
        lambda: density_n_verdict(as_int(n)), shape,
        lambda: value_error("state must be C-contiguous") if not array.flags.c_contiguous else None,
        lambda: value_error("state must be writable") if not array.flags.writeable else None,
        lambda: dtype_verdict(array),
        lambda: ordinal() if isinstance(ordinal(), Refusal) else None,
        lambda: device_select_verdict(ordinal()))

    def check(made):
        k = as_int(n)
        assert (made.num_qubits, made.dimension, made.dtype) == (k, 1 << k, str(array.dtype))
        assert_same_bits(made.to_numpy(), array, "uploaded matrix")
    return Case(lambda: DensityState.from_numpy(n, state, device=device), expect, check, arrays=[array])


def fuzz_density_copy(draw):
    state, rho = draw(density_states(low=0))

    def check(copied):
        assert_same_bits(copied.to_numpy(), rho, "copy")
        if copied.num_qubits:
            rhomira.run_density_operations_device(copied, copied.num_qubits, [DensityOp(
                id="h", target=[0], control=[], control_state=[], parameter=None, has_stored_matrix=False)])
        assert_same_bits(state.to_numpy(), rho, "source of a copy")
    return Case(lambda: state.copy(), None, check, states=[state])


def fuzz_density_measure(draw):
    state, rho = draw(density_states(low=0))
    n = state.num_qubits
    targets, values, target_verdict = draw(target_lists(max(n, 1)))
    endian, seed = draw(endians(), label="endian"), draw(seeds(), label="seed")
    given = others(draw, state, wrong_density_states())
    little = as_text(endian) == "little" if string_verdict(endian) is None else True
    table = reference_table(rho.astype(np.complex128), n, values, little) if values and \
        measure_targets_verdict(n, values, limit=1 << 62) is None else None

    def trace():
        total = sum(table)
        return None if total > 0 and math.isfinite(total) else \
            runtime_error("density matrix has zero or invalid trace.")
    expect = first(kind_verdict(given, rhomira, "DeviceDensityState"), target_verdict, string_verdict(endian),
                   lambda: endian_verdict(endian), lambda: seed_verdict(seed),
                   lambda: value_error("num_qubits must be in [1, 15]") if n < 1 else None,
                   lambda: measure_targets_verdict(n, values, limit=1 << 62,
                                                   empty="measure targets must not be empty"),
                   trace)

    def check(outcome):
        m = int(outcome, 2)
        assert len(outcome) == len(values) and table[m] > 0
        if seed is not None:
            assert m == reference_outcome(table, resolved_seed(seed))
        expected = reference_collapse(rho.astype(np.complex128), n, values, little, m)
        if finite(expected):
            assert_close(state.to_numpy(), expected.astype(rho.dtype), rho.dtype, what="density collapse")
    return Case(lambda: rhomira.measure_device(given, targets, endian=endian, seed=seed), expect, check,
                states=[state])


# --- the surface ---------------------------------------------------------------------------

def expectation_entry(module, make_state):
    """Pauli expectation values, where the module has them: terms of
    (paulis, qubits) pairs, refused term by term before anything runs."""

    def entry(draw):
        state, host = draw(make_state())
        n = state.n if hasattr(state, "n") else state.num_qubits
        terms, planned = [], []
        for _ in range(draw(st.integers(0, 4), label="terms")):
            letters = draw(st.text("IXYZ", max_size=max(n, 0)), label="paulis")
            qubits = draw(st.permutations(range(n)))[:len(letters)]
            fault = None
            kind = draw(st.sampled_from(["ok"] * 6 + ["letter", "length", "range", "repeat", "pair"]))
            if kind == "letter":
                letters = letters + draw(st.sampled_from(["x", "A", " ", "é"]))
                qubits = qubits + [n]
                fault = value_error("pauli string may contain only I, X, Y and Z")
            elif kind == "length":
                qubits = qubits + [0]
                fault = value_error("pauli string and qubit list must have the same length")
            elif kind == "range" and letters:
                qubits[0] = draw(st.sampled_from([n, -1, 63, INT64[1]]))
                fault = value_error("pauli qubit index must be in [0, n)")
            elif kind == "repeat" and len(letters) >= 2:
                qubits[1] = qubits[0]
                fault = value_error("pauli qubits must be distinct")
            elif kind == "pair":
                terms.append((letters, qubits, 0))
                planned.append(value_error("pauli term must be a (paulis, qubits) pair"))
                continue
            terms.append((letters, draw(number_lists(qubits, sequences_only=True))[0]))
            planned.append((letters, list(qubits)) if fault is None else fault)
        expect = next((s for s in planned if isinstance(s, Refusal)), None)

        def check(values):
            assert isinstance(values, np.ndarray) and values.dtype == np.float64
            assert values.shape == (len(planned),)
            for value, (letters, qubits) in zip(values, planned):
                op = np.eye(1)
                for q in range(n - 1, -1, -1):
                    p = letters[qubits.index(q)] if q in qubits else "I"
                    op = np.kron(op, {"I": np.eye(2), "X": named_matrix("x"), "Y": named_matrix("y"),
                                      "Z": named_matrix("z")}[p])
                h = host.astype(np.complex128)
                ref = (h.conj() @ op @ h).real if h.ndim == 1 else np.trace(h @ op).real
                if math.isfinite(ref):
                    assert abs(value - ref) <= tolerance(host.dtype) * max(1.0, abs(ref)) * 4
        return Case(lambda: module.expectation_pauli_device(state, terms), expect, check, states=[state])
    return entry


def surface():
    """Entry name -> function(draw) -> Case, for what the built modules have."""
    entries = {}
    if tovrek is not None:
        entries.update({
            "tovrek.DeviceState.zero_state": fuzz_zero_state,
            "tovrek.DeviceState.from_numpy": fuzz_from_numpy,
            "tovrek.DeviceState.to_numpy/copy_to_numpy": fuzz_state_copies,
            "tovrek.run_circuit_device": lambda draw: runner_entry(draw, "dict"),
            "tovrek.run_circuit_device_gates": lambda draw: runner_entry(draw, "object"),
            "tovrek.run_circuit": fuzz_run_circuit,
            "tovrek.prepare_fusion_chunk_gates": fuzz_prepare_fusion_chunk_gates,
            "tovrek.execute_prepared_fusion_chunk": fuzz_execute_prepared_fusion_chunk,
            "tovrek.measure_device": fuzz_measure_device,
            "tovrek.sample_measure_device": fuzz_sample_measure_device,
            "tovrek.measure": fuzz_measure,
        })
        if hasattr(tovrek, "expectation_pauli_device"):
            entries["tovrek.expectation_pauli_device"] = expectation_entry(tovrek, vector_states)
    if rhomira is not None:
        entries.update({
            "rhomira.DeviceDensityState.zero_state": fuzz_density_zero_state,
            "rhomira.DeviceDensityState.from_numpy": fuzz_density_from_numpy,
            "rhomira.DeviceDensityState.copy": fuzz_density_copy,
            "rhomira.run_density_operations_device": fuzz_density_operations,
            "rhomira.measure_device": fuzz_density_measure,
        })
        if hasattr(rhomira, "expectation_pauli_device"):
            entries["rhomira.expectation_pauli_device"] = expectation_entry(
                rhomira, lambda: density_states(low=0))
    return entries


_thread = threading.local()


def warm_densemm_cache():
    """The DenseMM scratch buffers stay with the thread once made (and grow
    with n): made here at the largest n the entries execute, in both
    precisions, so that no call's allocation count moves by them."""
    if getattr(_thread, "warm", False):
        return
    gates = [GateObject(id="h", target=[0], control=[], control_state=[], parameter=[]),
             GateObject(id="x", target=[1], control=[0], control_state=[1], parameter=[])]
    chunk = tovrek.prepare_fusion_chunk_gates(4, gates, densemm_gate_threshold_scale=-1.0)
    for dtype in VECTOR_DTYPES:
        tovrek.execute_prepared_fusion_chunk(tovrek.DeviceState.zero_state(4, dtype), chunk)
    _thread.warm = True


def run_entry(entry, data, outcomes=None):
    """One example: draw the call with `data`, then run and check it;
    `outcomes` (a Counter) counts how the calls were meant to end."""
    limit_memory()
    warm_densemm_cache()
    with np.errstate(all="ignore"):
        case = entry(data.draw)
        label = outcome_label(case.expect)
        event(label)
        if outcomes is not None:
            outcomes[label] += 1
        run_case(case)


def outcome_label(expect):
    """How a case must end, for the campaign's and hypothesis' statistics."""
    if expect is None:
        return "succeeds"
    text = "" if expect.message is None else f": {expect.message[:50]}"
    return f"{expect.cls.__name__}{text}"
