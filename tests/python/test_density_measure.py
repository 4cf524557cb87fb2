"""Density measurement: outcomes against a reference draw, collapse against
NumPy projections, every validation message, and the buffers on failure."""
import math

import numpy as np
import pytest

from conftest import CUDA_ERROR_LAUNCH_FAILURE, CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime
from outcome_reference import fixed_order_table
from outcome_reference import outcome_of as outcomes_of
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
DTYPES = ["complex64", "complex128"]
M64 = (1 << 64) - 1


def mt19937_64_first(seed):
    """First output of the standard 64-bit Mersenne Twister seeded with seed."""
    mt = [seed & M64]
    for i in range(1, 157):
        mt.append((6364136223846793005 * (mt[-1] ^ (mt[-1] >> 62)) + i) & M64)
    x = (mt[0] & ~((1 << 31) - 1) & M64) | (mt[1] & ((1 << 31) - 1))
    y = mt[156] ^ (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
    y ^= (y >> 29) & 0x5555555555555555
    y ^= (y << 17) & 0x71D67FFFEDA60000
    y ^= (y << 37) & 0xFFF7EEE000000000
    y ^= y >> 43
    return y


def reference_outcome(table, seed):
    total = 0.0
    for p in table:  # left to right, as the back end adds
        total += p
    upper = math.nextafter(total, math.inf)
    u = float(mt19937_64_first(seed)) * 2.0**-64
    u = min(u, 0.9999999999999999)
    r = upper * u
    acc = 0.0
    for m, p in enumerate(table):
        acc += p
        if acc >= r:
            return m
    return len(table) - 1


def outcome_index(i, n, targets, little):
    m = 0
    for q in targets:
        m = (m << 1) | ((i >> (q if little else n - 1 - q)) & 1)
    return m


def reference_table(rho, n, targets, little):
    diagonal = np.asarray(rho).diagonal().real.astype(np.float64)
    return list(fixed_order_table(diagonal, n, targets, little, 0))


def reference_collapse(rho, n, targets, little, m):
    keep = np.array([outcome_index(i, n, targets, little) == m for i in range(1 << n)])
    out = np.where(np.outer(keep, keep), rho, 0)
    return out / reference_table(rho, n, targets, little)[m]


def random_density(n, seed, dtype="complex128"):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(2**n, 2**n)) + 1j * rng.normal(size=(2**n, 2**n))
    rho = a @ a.conj().T
    return (rho / np.trace(rho).real).astype(dtype)


def basis(n, index, dtype="complex128"):
    rho = np.zeros((2**n, 2**n), dtype=dtype)
    rho[index, index] = 1
    return rho


def test_mersenne_twister_reference():
    # std::mt19937_64 seeded with 5489 starts with this value.
    assert mt19937_64_first(5489) == 14514284786278117030


@pytest.mark.parametrize("dtype", DTYPES)
def test_zero_state_measures_zero(dtype, no_leaks):
    state = State.zero_state(1, dtype)
    assert rhomira.measure_device(state, [0], seed=3) == "0"
    np.testing.assert_array_equal(state.to_numpy(), basis(1, 0, dtype))


@pytest.mark.parametrize(
    "targets, endian, expected",
    [([0], "little", "1"), ([0], "big", "0"), ([2], "big", "1"), ([2], "little", "0"),
     ([2, 0], "little", "01"), ([0, 2], "little", "10"), ([0, 2], "big", "01"),
     ([1, 2, 0], "big", "010")],
)
def test_basis_state_outcomes(targets, endian, expected):
    state = State.from_numpy(3, basis(3, 0b001))
    assert rhomira.measure_device(state, targets, endian, seed=11) == expected
    np.testing.assert_array_equal(state.to_numpy(), basis(3, 0b001))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("seed", [0, 1, 2, 7, 12345, 2**64 - 1])
def test_maximally_mixed_follows_the_seed(dtype, seed):
    state = State.from_numpy(1, np.diag([0.5, 0.5]).astype(dtype))
    outcome = rhomira.measure_device(state, [0], seed=seed)
    assert outcome == str(reference_outcome([0.5, 0.5], seed))
    np.testing.assert_array_equal(state.to_numpy(), basis(1, int(outcome), dtype))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, targets, endian", [(3, [1], "little"), (3, [2, 0], "big"),
                                                (4, [3, 0, 1], "little"), (2, [0, 1], "big")])
def test_collapse_keeps_and_zeroes_coherences(dtype, n, targets, endian, no_leaks):
    rho = random_density(n, seed=n + len(targets), dtype=dtype)
    wide = rho.astype(np.complex128)
    little = endian == "little"
    for seed in range(4):
        state = State.from_numpy(n, rho)
        outcome = rhomira.measure_device(state, targets, endian, seed)
        table = reference_table(wide, n, targets, little)
        m = reference_outcome(table, seed)
        assert outcome == format(m, f"0{len(targets)}b")
        tol = 1e-5 if dtype == "complex64" else 1e-12
        np.testing.assert_allclose(state.to_numpy(), reference_collapse(wide, n, targets, little, m),
                                   atol=tol)


SHUFFLES = (0, 5) if hostcuda is not None else (None,)


@pytest.mark.parametrize("dtype, n, targets, endian", [
    ("complex128", 10, [3], "little"), ("complex128", 10, [9, 0, 5], "big"),
    ("complex64", 10, [2, 7], "little"), ("complex64", 10, [4, 0], "big"),
    ("complex64", 11, [10, 1], "little"),
])
def test_table_in_the_documented_order_on_every_schedule(dtype, n, targets, endian, no_leaks):
    # The collapse divides by the raw table entry, so its bits show. Entries
    # over thirty binary orders of magnitude make every sum round: added in
    # another order, an entry would differ in its last bits.
    rng = np.random.default_rng(n + len(targets))
    spread = rng.random(2**n) * 2.0 ** -rng.integers(0, 30, 2**n)
    diagonal = spread.astype(np.float32).astype(np.float64)
    rho = np.diag(diagonal).astype(dtype)
    rho[0, 2**n - 1] = rho[2**n - 1, 0] = 0.25
    little = endian == "little"
    table = fixed_order_table(diagonal, n, targets, little, 0)
    keep_of = outcomes_of(np.arange(2**n), n, targets, little)
    for seed, shuffle in zip((0, 1, 2), SHUFFLES * 3):
        if shuffle is not None:
            hostcuda.set_shuffle(shuffle)
        state = State.from_numpy(n, rho)
        m = reference_outcome(table, seed)
        assert rhomira.measure_device(state, targets, endian, seed) == format(m, f"0{len(targets)}b")
        keep = keep_of == m
        kept = rho.astype(np.complex128) * (1.0 / table[m])
        expected = np.where(np.outer(keep, keep), kept, 0).astype(dtype)
        np.testing.assert_array_equal(state.to_numpy(), expected)


def test_trace_two_measures_by_relative_weight():
    rho = 2 * random_density(2, seed=5)
    for seed in range(6):
        a, b = State.from_numpy(2, rho), State.from_numpy(2, rho / 2)
        assert rhomira.measure_device(a, [1], seed=seed) == rhomira.measure_device(b, [1], seed=seed)
        out = a.to_numpy()
        assert abs(np.trace(out) - 1) < 1e-12
        np.testing.assert_allclose(out, b.to_numpy(), atol=1e-12)


@pytest.mark.parametrize("poison", ["zero", "nan", "inf"])
def test_invalid_trace_raises_and_leaves_state(poison, no_leaks):
    rho = np.zeros((4, 4), dtype=np.complex128)
    rho[0, 1] = 0.5
    if poison != "zero":
        rho[2, 2] = np.nan if poison == "nan" else np.inf
    state = State.from_numpy(2, rho)
    with pytest.raises(RuntimeError, match=r"^density matrix has zero or invalid trace\.$"):
        rhomira.measure_device(state, [0], seed=1)
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize(
    "n, targets, endian, message",
    [
        (0, [0], "little", "num_qubits must be in [1, 15]"),
        (2, [], "little", "measure targets must not be empty"),
        (2, [0], "middle", "endian must be 'little' or 'big'"),
        (2, [], "middle", "endian must be 'little' or 'big'"),  # binding checks endian first
        (2, [2], "little", "measure target index out of range"),
        (2, [-1], "little", "measure target index out of range"),
        (2, [1, 1], "little", "duplicate measure target index"),
        (3, [5, 1, 1], "little", "measure target index out of range"),
        (3, [1, 1, 5], "little", "duplicate measure target index"),
    ],
)
def test_validation_messages(n, targets, endian, message):
    rho = np.eye(2**n, dtype=np.complex128) / 2**n
    state = State.from_numpy(n, rho)
    with pytest.raises(ValueError) as info:
        rhomira.measure_device(state, targets, endian, seed=1)
    assert str(info.value) == message
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_endian_checked_before_seed():
    state = State.zero_state(1)
    with pytest.raises(ValueError, match="^endian must be 'little' or 'big'$"):
        rhomira.measure_device(state, [0], "other", 1.5)
    with pytest.raises(RuntimeError):
        rhomira.measure_device(state, [0], "little", 1.5)


def test_fixed_seed_reproducible_and_none_seed_runs():
    rho = random_density(3, seed=2)
    outcomes = {rhomira.measure_device(State.from_numpy(3, rho), [0, 2], seed=99) for _ in range(5)}
    assert len(outcomes) == 1
    assert rhomira.measure_device(State.from_numpy(3, rho), [1]) in ("0", "1")


def test_outcome_frequencies_chi_square():
    probs = np.array([0.1, 0.2, 0.3, 0.4])
    rho = np.diag(probs).astype(np.complex128)
    rho[0, 3] = rho[3, 0] = 0.05
    shots = 800
    counts = np.zeros(4)
    for seed in range(shots):
        counts[int(rhomira.measure_device(State.from_numpy(2, rho), [1, 0], seed=seed), 2)] += 1
    chi2 = float(((counts - shots * probs) ** 2 / (shots * probs)).sum())
    assert chi2 < 16.27  # 3 degrees of freedom, p = 0.001


@requires_host_runtime
@pytest.mark.parametrize("name, nth", [("cudaSetDevice", 1), ("cudaMalloc", 1), ("launch", 1),
                                       ("cudaMemcpy", 1), ("launch", 2)])
def test_cuda_failures_free_buffers(name, nth, no_leaks):
    rho = random_density(2, seed=9)
    state = State.from_numpy(2, rho)
    code = CUDA_ERROR_MEMORY_ALLOCATION if name == "cudaMalloc" else CUDA_ERROR_LAUNCH_FAILURE
    hostcuda.fail_nth(name, nth, code)
    with pytest.raises(RuntimeError) as info:
        rhomira.measure_device(state, [0, 1], seed=4)
    assert str(info.value) == "CUDA error: " + hostcuda.error_string(code)
    hostcuda.reset()
    if (name, nth) != ("launch", 2):
        np.testing.assert_array_equal(state.to_numpy(), rho)
