"""Pauli expectation values of both modules against a dense NumPy reference
(Kronecker products of the Pauli matrices, qubit q = bit q), the refusals and
their order, reading of the caller's objects, determinism, pass counts and
the buffers after injected CUDA failures."""
import functools

import numpy as np
import pytest

from conftest import (CUDA_ERROR_INVALID_DEVICE, CUDA_ERROR_LAUNCH_FAILURE,
                      CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime)
from qalvane import rhomira, tovrek

DTYPES = ["complex64", "complex128"]
PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1, -1])}


def pauli_matrix(n, letters, qubits):
    factors = [PAULI["I"]] * n
    for letter, q in zip(letters, qubits):
        factors[q] = PAULI[letter]
    # The last factor of a Kronecker product acts on the lowest index bit.
    return functools.reduce(np.kron, reversed(factors), np.eye(1))


def apply_pauli(psi, n, letters, qubits):
    """P psi without the 4^n matrix: one Kronecker factor
    I(2^(n-1-q)) x sigma x I(2^q) at a time."""
    for letter, q in zip(letters, qubits):
        psi = (PAULI[letter] @ psi.reshape(2 ** (n - 1 - q), 2, 2**q)).reshape(-1)
    return psi


def state_reference(psi, n, terms):
    psi = psi.astype(np.complex128)
    return np.array([np.vdot(psi, apply_pauli(psi, n, l, q)).real for l, q in terms])


def density_reference(rho, n, terms):
    rho = rho.astype(np.complex128)
    return np.array([np.sum(rho * pauli_matrix(n, l, q).T).real for l, q in terms])


def random_terms(rng, n, count):
    terms = []
    for _ in range(count):
        k = int(rng.integers(0, n + 1))
        terms.append(("".join(rng.choice(list("IXYZ"), size=k)), rng.permutation(n)[:k].tolist()))
    return terms


def shared_flip_terms(rng, n, count):
    """One group: X or Y on the same qubits, I or Z on the others."""
    flips = rng.random(n) < 0.5
    return [("".join(rng.choice(list("XY" if f else "IZ")) for f in flips), list(range(n)))
            for _ in range(count)]


def term_mix(rng, n):
    """Direct and transform passes, every count of Y letters modulo 4."""
    return (random_terms(rng, n, 20) + shared_flip_terms(rng, n, 40) + shared_flip_terms(rng, n, 3)
            + [("", []), ("Z" * n, list(range(n))), ("X" * n, list(range(n))),
               ("Y" * n, list(range(n))[::-1])]
            + [("Z", [int(q)]) for q in rng.integers(0, n, size=6)] if n else [("", [])] * 7)


def random_vector(rng, n, dtype):
    return (rng.normal(size=2**n) + 1j * rng.normal(size=2**n)).astype(dtype)


def random_matrix(rng, n, dtype):
    """Not Hermitian, so that rho(i, j) and rho(j, i) are both checked."""
    shape = (2**n, 2**n)
    return (rng.normal(size=shape) + 1j * rng.normal(size=shape)).astype(dtype)


def make_state(module, n, rng, dtype="complex128"):
    if module is tovrek:
        a = random_vector(rng, n, dtype)
        return tovrek.DeviceState.from_numpy(n, a), a
    a = random_matrix(rng, n, dtype)
    return rhomira.DeviceDensityState.from_numpy(n, a), a


def reference(module, a, n, terms):
    return (state_reference if module is tovrek else density_reference)(a, n, terms)


def check_close(values, expected, a):
    scale = float(np.sum(np.abs(a.astype(np.complex128)) ** 2))
    assert values.dtype == np.float64 and values.shape == expected.shape
    np.testing.assert_allclose(values, expected, rtol=0, atol=1e-12 * scale)


def test_contraction_matches_kronecker_product():
    rng = np.random.default_rng(0)
    psi = random_vector(rng, 5, "complex128")
    for letters, qubits in random_terms(rng, 5, 30):
        np.testing.assert_allclose(apply_pauli(psi, 5, letters, qubits),
                                   pauli_matrix(5, letters, qubits) @ psi, atol=1e-12)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("module, n", [(tovrek, n) for n in range(1, 13)]
                         + [(rhomira, n) for n in range(0, 9)])
def test_random_states_and_terms_match_reference(module, n, dtype, no_leaks):
    rng = np.random.default_rng(100 * (module is rhomira) + n)
    state, a = make_state(module, n, rng, dtype)
    terms = term_mix(rng, n)
    check_close(module.expectation_pauli_device(state, terms), reference(module, a, n, terms), a)
    np.testing.assert_array_equal(state.to_numpy(), a)


def test_exact_values_on_basis_and_unnormalised_states():
    psi = np.zeros(8, np.complex128)
    psi[0b101] = 3  # norm 9
    state = tovrek.DeviceState.from_numpy(3, psi)
    terms = [("", []), ("ZZZ", [0, 1, 2]), ("Z", [0]), ("Z", [1]), ("X", [0]), ("XXX", [2, 1, 0]),
             ("ZI", [2, 1])]
    np.testing.assert_array_equal(tovrek.expectation_pauli_device(state, terms),
                                  [9, 9, -9, 9, 0, 0, -9])
    ghz = np.zeros(8, np.complex64)
    ghz[0] = ghz[7] = 1
    rho = np.outer(ghz, ghz.conj())
    state = rhomira.DeviceDensityState.from_numpy(3, rho)
    np.testing.assert_array_equal(
        rhomira.expectation_pauli_device(state, [("XXX", [0, 1, 2]), ("YYX", [0, 1, 2]), ("", []),
                                                 ("ZZ", [0, 2]), ("Z", [1])]),
        [2, -2, 2, 2, 0])
    one = rhomira.DeviceDensityState.zero_state(0)
    np.testing.assert_array_equal(rhomira.expectation_pauli_device(one, [("", [])] * 3), [1, 1, 1])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_repeat_calls_give_the_same_bits(module, dtype):
    rng = np.random.default_rng(9)
    n = 11 if module is tovrek else 6
    state, _ = make_state(module, n, rng, dtype)
    terms = term_mix(rng, n)
    first = module.expectation_pauli_device(state, terms)
    np.testing.assert_array_equal(module.expectation_pauli_device(state, terms), first)
    runtime = getattr(module, "_hostcuda", None)
    if runtime is not None:  # nor does the order in which blocks and threads run change them
        for seed in (1, 2):
            runtime.set_shuffle(seed)
            np.testing.assert_array_equal(module.expectation_pauli_device(state, terms), first)


class FailingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyError("from the caller")


def refusal_cases(n):
    ok = ("Z", [0])
    return [
        (["XZ"], "pauli term must be a (paulis, qubits) pair"),
        ([("X",)], "pauli term must be a (paulis, qubits) pair"),
        ([("X", [0], 1)], "pauli term must be a (paulis, qubits) pair"),
        ([ok, 5], "pauli term must be a (paulis, qubits) pair"),
        ([("X", 0)], "pauli term must be a (paulis, qubits) pair"),
        ([("X", "0")], "pauli term must be a (paulis, qubits) pair"),
        ([(b"X", [0])], "pauli term must be a (paulis, qubits) pair"),
        ([{"X": [0]}], "pauli term must be a (paulis, qubits) pair"),
        ([("x", [0])], "pauli string may contain only I, X, Y and Z"),
        ([ok, ("XQ", [0, 1])], "pauli string may contain only I, X, Y and Z"),
        ([("Z\u00e9", [0, 1])], "pauli string may contain only I, X, Y and Z"),
        ([("XQ", 7)], "pauli term must be a (paulis, qubits) pair"),
        ([("XQ", [n])], "pauli string may contain only I, X, Y and Z"),
        ([("XZ", [0])], "pauli string and qubit list must have the same length"),
        ([("", [0])], "pauli string and qubit list must have the same length"),
        ([("XX", [n, n])], "pauli qubit index must be in [0, n)"),
        ([("X", [-1])], "pauli qubit index must be in [0, n)"),
        ([("XY", [0, n])], "pauli qubit index must be in [0, n)"),
        ([("XZ", [1, 1])], "pauli qubits must be distinct"),
        ([("XZY", [0, 0, n + 4])], "pauli qubits must be distinct"),
        ([ok, ok, ("ZZ", [0, 0]), ("Q", [0])], "pauli qubits must be distinct"),
    ]


@pytest.mark.parametrize("case", range(len(refusal_cases(3))))
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_refusals_touch_nothing(module, case, no_leaks):
    rng = np.random.default_rng(case)
    state, a = make_state(module, 3, rng)
    terms, message = refusal_cases(3)[case]
    runtime = getattr(module, "_hostcuda", None)
    if runtime:
        runtime.reset()  # counts from zero
    with pytest.raises(ValueError) as info:
        module.expectation_pauli_device(state, terms)
    assert type(info.value) is ValueError and str(info.value) == message
    if runtime:
        assert runtime.call_count("cudaSetDevice") == 0 and runtime.call_count("launch") == 0
    np.testing.assert_array_equal(state.to_numpy(), a)


def test_no_qubit_is_in_range_of_a_zero_qubit_matrix():
    state = rhomira.DeviceDensityState.zero_state(0)
    with pytest.raises(ValueError, match=r"^pauli qubit index must be in \[0, n\)$"):
        rhomira.expectation_pauli_device(state, [("", []), ("I", [0])])


def python_error_cases():
    def raising_terms():
        yield ("Z", [0])
        raise ZeroDivisionError("while iterating")

    return [
        (raising_terms(), ZeroDivisionError),
        ([FailingSequence()], KeyError),
        ([("ZZ", FailingSequence())], KeyError),
        (5, TypeError),
        ([("Z", [1.0])], RuntimeError),  # the binding layer's cast error, as in the gate readers
        ([("Z", ["0"])], RuntimeError),
    ]


@pytest.mark.parametrize("case", range(len(python_error_cases())))
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_python_errors_pass_through(module, case):
    state, a = make_state(module, 2, np.random.default_rng(3))
    terms, error = python_error_cases()[case]
    with pytest.raises(error) as info:
        module.expectation_pauli_device(state, terms)
    assert type(info.value) is error
    np.testing.assert_array_equal(state.to_numpy(), a)


@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_accepted_containers(module):
    state, a = make_state(module, 3, np.random.default_rng(4))
    terms = [("XY", [0, 2]), ["ZZ", (1, 0)], ("YZX", range(3)), ("XZ", np.array([2, 1])),
             ("Y", np.array([1], dtype=np.uint8)), ("IZ", [np.int64(1), np.int32(2)])]
    expected = reference(module, a, 3, [(l, [int(q) for q in qs]) for l, qs in terms])
    check_close(module.expectation_pauli_device(state, terms), expected, a)
    check_close(module.expectation_pauli_device(state, (t for t in terms)), expected, a)
    check_close(module.expectation_pauli_device(state, tuple(terms)), expected, a)


@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_reader_holds_what_it_walks(module, no_leaks):
    """Python code run by the reader empties the caller's lists; what was
    handed in is still what is evaluated."""
    state, a = make_state(module, 3, np.random.default_rng(6))
    terms = []

    class Meddling:
        def __init__(self, qubits):
            self.qubits = qubits

        def __len__(self):
            return len(self.qubits)

        def __getitem__(self, i):
            terms.clear()
            self.qubits.clear()
            raise IndexError  # ends the iteration

    letters = [("XZ", [0, 2]), ("Y", [1]), ("ZZZ", [2, 1, 0])]
    terms.extend((l, list(q)) for l, q in letters)
    pair = ["", Meddling([])]
    terms.insert(1, pair)
    values = module.expectation_pauli_device(state, terms)
    check_close(values, reference(module, a, 3, [letters[0], ("", []), *letters[1:]]), a)


@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_empty_terms_never_touch_the_device(module):
    state, _ = make_state(module, 2, np.random.default_rng(7))
    runtime = getattr(module, "_hostcuda", None)
    calls = runtime.call_count("cudaSetDevice") if runtime else 0
    for empty in ([], (), iter([])):
        values = module.expectation_pauli_device(state, empty)
        assert values.dtype == np.float64 and values.shape == (0,)
    if runtime:
        assert runtime.call_count("cudaSetDevice") == calls


@requires_host_runtime
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_terms_that_flip_alike_share_passes(module):
    """1,000 terms of I and Z: four passes of 256 terms (a pass is one kernel
    and one finishing launch), not a thousand."""
    rng = np.random.default_rng(8)
    n = 10 if module is tovrek else 5
    state, a = make_state(module, n, rng, "complex64")
    terms = [("".join(rng.choice(list("IZ"), size=n)), list(range(n))) for _ in range(1000)]
    runtime = module._hostcuda
    before = runtime.call_count("launch")
    values = module.expectation_pauli_device(state, terms)
    assert runtime.call_count("launch") - before == 2 * 4
    check_close(values, reference(module, a, n, terms), a)
    # Groups by X/Y pattern: three patterns here, whatever the order of the terms.
    terms = [("X", [0]), ("ZX", [1, 0]), ("Y", [1]), ("XZ", [0, 1]), ("XX", [0, 1]), ("YY", [0, 1])]
    before = runtime.call_count("launch")
    values = module.expectation_pauli_device(state, terms)
    assert runtime.call_count("launch") - before == 2 * 3
    check_close(values, reference(module, a, n, terms), a)


# Each runtime call the function makes, for a call of two passes: device
# selection, three allocations, the upload of the terms, two launches a pass,
# the download of the values and three frees.
CUDA_FAILURES = ([("cudaSetDevice", 1, CUDA_ERROR_INVALID_DEVICE)]
                 + [("cudaMalloc", k, CUDA_ERROR_MEMORY_ALLOCATION) for k in (1, 2, 3)]
                 + [("cudaMemcpy", k, CUDA_ERROR_LAUNCH_FAILURE) for k in (1, 2)]
                 + [("launch", k, CUDA_ERROR_LAUNCH_FAILURE) for k in (1, 2, 3, 4)]
                 + [("cudaFree", k, 1) for k in (1, 2, 3)])


@requires_host_runtime
@pytest.mark.parametrize("name, nth, code", CUDA_FAILURES)
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_cuda_failures_free_everything(module, name, nth, code, no_leaks):
    runtime = module._hostcuda
    rng = np.random.default_rng(nth)
    state, a = make_state(module, 3, rng)
    terms = [("XZ", [0, 1]), ("Z", [2]), ("ZZ", [0, 2])]
    runtime.fail_nth(name, nth, code)
    with pytest.raises(RuntimeError) as info:
        module.expectation_pauli_device(state, terms)
    assert str(info.value) == "CUDA error: " + runtime.error_string(code)
    np.testing.assert_array_equal(state.to_numpy(), a)
    # Nothing is left behind for the next call on this thread.
    check_close(module.expectation_pauli_device(state, terms), reference(module, a, 3, terms), a)
