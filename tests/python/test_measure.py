"""Measurement and batch sampling against a reference built here: the outcome
table from NumPy in the documented order, the draws from an independent
MT19937-64 in Python."""
import numpy as np
import pytest

from conftest import (CUDA_ERROR_INVALID_DEVICE, CUDA_ERROR_LAUNCH_FAILURE,
                      CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime)
from outcome_reference import fixed_order_table, outcome_of, state_vector_run_budget
from qalvane import tovrek

M64 = (1 << 64) - 1


def mt19937_64(seed):
    mt = [seed & M64]
    for i in range(1, 312):
        mt.append((6364136223846793005 * (mt[-1] ^ (mt[-1] >> 62)) + i) & M64)
    while True:
        for i in range(312):
            x = (mt[i] & 0xFFFFFFFF80000000) | (mt[(i + 1) % 312] & 0x7FFFFFFF)
            mt[i] = mt[(i + 156) % 312] ^ (x >> 1) ^ (0xB5026F5AA96619E9 if x & 1 else 0)
        for x in mt:
            x ^= (x >> 29) & 0x5555555555555555
            x ^= (x << 17) & 0x71D67FFFEDA60000
            x ^= (x << 37) & 0xFFF7EEE000000000
            yield (x ^ (x >> 43)) & M64


def outcome_table(a, n, targets, endian):
    """(table, outcome of every index). The weights re^2 + im^2 round once,
    as the device's fused multiply-add does, where the squares are exact:
    components of at most 26 significant bits."""
    little = endian == "little"
    w = a.astype(np.complex128)
    table = fixed_order_table(w.real**2 + w.imag**2, n, targets, little,
                              state_vector_run_budget(a.nbytes))
    return table, outcome_of(np.arange(1 << n), n, targets, little)


def reference(a, n, targets, shots, seed, endian="little"):
    """(counts, last, collapsed) as the routine must give them."""
    probs, m = outcome_table(a, n, targets, endian)
    cum = np.cumsum(probs)
    gen = mt19937_64(seed)
    draws = []
    for _ in range(shots):
        u = min(float(next(gen)) * 2.0**-64, 0.9999999999999999)
        draws.append(min(int(np.searchsorted(cum, u * cum[-1], side="right")), len(cum) - 1))
    k = len(targets)
    fmt = lambda v: format(v, f"0{k}b")
    counts = {fmt(v): draws.count(v) for v in set(draws)}
    last = draws[-1]
    weight = cum[last] - (cum[last - 1] if last else 0.0)
    real = a.real.dtype.type
    scale = real(1.0 / np.sqrt(weight))
    collapsed = np.zeros_like(a)
    keep = m == last
    collapsed.real[keep] = a.real[keep] * scale
    collapsed.imag[keep] = a.imag[keep] * scale
    return counts, fmt(last), collapsed


def dyadic_state(n, dtype, rng_seed=3):
    # Eighths: every |amplitude|^2 and partial sum is exact in any order.
    r = np.random.default_rng(rng_seed)
    a = (r.integers(-4, 5, 1 << n) + 1j * r.integers(-4, 5, 1 << n)) / 8
    a[0] = 0.5
    return a.astype(dtype)


def float32_exact_state(n, dtype, rng_seed):
    # Components of float32 precision: squares exact in double, sums not.
    r = np.random.default_rng(rng_seed)
    a = (r.normal(size=1 << n) + 1j * r.normal(size=1 << n)).astype(np.complex64)
    return a.astype(dtype)


def basis(n, index, dtype=np.complex128):
    a = np.zeros(1 << n, dtype)
    a[index] = 1
    return a


def test_mt19937_64_reference_matches_the_standard():
    gen = mt19937_64(5489)
    for _ in range(9999):
        next(gen)
    assert next(gen) == 9981545732273789042


@pytest.mark.parametrize("n,index,targets,endian,expected", [
    (1, 1, [0], "little", "1"), (3, 0b001, [0], "little", "1"), (3, 0b001, [0], "big", "0"),
    (3, 0b001, [2], "big", "1"), (3, 0b001, [2, 0], "little", "01"),
    (3, 0b110, [0, 1, 2], "little", "011"), (3, 0b110, [0, 1, 2], "big", "110"),
])
def test_basis_state_outcome_and_unchanged_state(no_leaks, n, index, targets, endian, expected):
    state = tovrek.DeviceState.from_numpy(n, basis(n, index))
    assert tovrek.measure_device(state, targets, endian, seed=7) == expected
    np.testing.assert_array_equal(state.to_numpy(), basis(n, index))


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("endian", ["little", "big"])
@pytest.mark.parametrize("targets", [[0], [3, 1], [1, 3], [2, 0, 3]])
@pytest.mark.parametrize("seed", [0, 11, 2**64 - 1])
def test_measure_device_matches_reference(no_leaks, dtype, endian, targets, seed):
    a = dyadic_state(4, dtype)
    state = tovrek.DeviceState.from_numpy(4, a)
    _, last, collapsed = reference(a, 4, targets, 1, seed, endian)
    assert tovrek.measure_device(state, targets, endian, seed) == last
    np.testing.assert_array_equal(state.to_numpy(), collapsed)


SHUFFLES = (0, 3, 8) if hasattr(tovrek, "_hostcuda") else (None,)


@pytest.mark.parametrize("n,targets,endian", [
    (16, [3], "little"),                       # a tile bit; runs added in chains
    (16, [15], "little"),                      # a tile-number bit
    (16, list(range(10)), "big"),              # every tile bit but none below
    (16, [12, 2, 9, 6, 14, 0], "big"),
    (11, [10, 0], "little"),
    (7, [2, 5], "big"),                        # part of one tile
])
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_table_in_the_documented_order_on_every_schedule(no_leaks, n, targets, endian, dtype):
    # Non-dyadic weights: a table added in any other order differs in its
    # last bits, and with it the draws at the edges and the collapse scale.
    a = float32_exact_state(n, dtype, n + len(targets))
    expected = reference(a, n, targets, 200, 17, endian)
    hostcuda = getattr(tovrek, "_hostcuda", None)
    for shuffle in SHUFFLES:
        if shuffle is not None:
            hostcuda.set_shuffle(shuffle)  # other block, thread and resume orders
        state = tovrek.DeviceState.from_numpy(n, a)
        assert tovrek.sample_measure_device(state, targets, 200, endian, 17) == expected[:2]
        np.testing.assert_array_equal(state.to_numpy(), expected[2])


@pytest.mark.parametrize("targets,shots", [([0, 2], 3000), ([4, 0, 2, 1, 3], 50), ([3], 2)])
@pytest.mark.parametrize("collapse", [True, False])
def test_sample_counts_match_reference(no_leaks, targets, shots, collapse):
    a = dyadic_state(5, np.complex128)
    state = tovrek.DeviceState.from_numpy(5, a)
    counts, last, collapsed = reference(a, 5, targets, shots, 99, "big")
    got = tovrek.sample_measure_device(state, targets, shots, "big", 99, collapse)
    assert got == (counts, last) and sum(got[0].values()) == shots
    np.testing.assert_array_equal(state.to_numpy(), collapsed if collapse else a)


@pytest.mark.parametrize("seed", [1, 12345])
def test_single_shot_equals_measure_device(no_leaks, seed):
    a = dyadic_state(4, np.complex64)
    measured, sampled = (tovrek.DeviceState.from_numpy(4, a) for _ in range(2))
    s = tovrek.measure_device(measured, [2, 1], seed=seed)
    assert tovrek.sample_measure_device(sampled, [2, 1], 1, seed=seed) == ({s: 1}, s)
    np.testing.assert_array_equal(sampled.to_numpy(), measured.to_numpy())


def test_draws_extend_one_shot_at_a_time_across_both_stores(no_leaks):
    # 8 outcomes: up to 8 shots count in the hash map, from 9 in the dense
    # counters; each further shot adds exactly its own draw, and the first
    # draw is the single measurement.
    a = dyadic_state(3, np.complex128)
    state = tovrek.DeviceState.from_numpy(3, a)
    first = tovrek.measure_device(tovrek.DeviceState.from_numpy(3, a), [2, 0, 1], seed=5)
    prev = {}
    for shots in range(1, 12):
        counts, last = tovrek.sample_measure_device(state, [2, 0, 1], shots, seed=5,
                                                    collapse_last=False)
        prev[last] = prev.get(last, 0) + 1
        assert counts == prev and (shots > 1 or last == first)


def test_chi_square_at_fixed_seed(no_leaks):
    p = np.array([0.1, 0.2, 0.3, 0.4])
    state = tovrek.DeviceState.from_numpy(2, np.sqrt(p).astype(np.complex128))
    shots = 100000
    counts, _ = tovrek.sample_measure_device(state, [1, 0], shots, seed=2024)
    observed = np.array([counts.get(format(m, "02b"), 0) for m in range(4)])
    chi2 = float(np.sum((observed - shots * p) ** 2 / (shots * p)))
    assert chi2 < 16.27  # 99.9% point for 3 degrees of freedom; a swapped order gives > 1e3


def test_unnormalised_state_same_draws_unit_norm_collapse(no_leaks):
    a = dyadic_state(3, np.complex128)
    for scale in (2.0, np.sqrt(2.0)):
        s1, s2 = (tovrek.DeviceState.from_numpy(3, x) for x in (a, a * scale))
        r1 = tovrek.sample_measure_device(s1, [0, 2], 200, seed=8)
        r2 = tovrek.sample_measure_device(s2, [0, 2], 200, seed=8)
        if scale == 2.0:  # exact weights: identical draws
            assert r1 == r2
        assert np.linalg.norm(s2.to_numpy()) == pytest.approx(1.0, abs=1e-14)


@pytest.mark.parametrize("seed", range(6))
def test_subnormal_total_never_draws_an_empty_outcome(no_leaks, seed):
    # |a0|^2 is the smallest double: u * total rounds up to the total for
    # half the seeds, past every running sum.
    a = np.array([np.sqrt(5e-324), 0], np.complex128)
    state = tovrek.DeviceState.from_numpy(1, a)
    assert tovrek.sample_measure_device(state, [0], 3, seed=seed) == ({"0": 3}, "0")
    assert abs(state.to_numpy()[0]) == pytest.approx(1.0)


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("bad", [0.0, np.nan, np.inf])
def test_invalid_norm_leaves_state_unchanged(no_leaks, dtype, bad):
    a = np.zeros(4, dtype)
    a[1] = bad
    state = tovrek.DeviceState.from_numpy(2, a)
    for call in (lambda: tovrek.measure_device(state, [0], seed=1),
                 lambda: tovrek.sample_measure_device(state, [0, 1], 10, seed=1)):
        with pytest.raises(RuntimeError, match=r"^Quantum state has zero or invalid norm\.$"):
            call()
        np.testing.assert_array_equal(state.to_numpy(), a)


@pytest.mark.parametrize("targets,endian,shots,message", [
    ([], "little", 1, "measure targets size must be in [1, 62]"),
    ([0] * 63, "little", 1, "measure targets size must be in [1, 62]"),
    ([0], "middle", 0, "endian must be 'little' or 'big'"),
    ([], "little", 0, "shots must be positive"),
    ([5, 1, 1], "little", 1, "measure target index out of range"),
    ([-1], "big", 1, "measure target index out of range"),
    ([1, 1], "little", 1, "duplicate measure target index"),
    ([2, 0, 2, 7], "little", 1, "duplicate measure target index"),
])
def test_validation_messages(no_leaks, targets, endian, shots, message):
    a = dyadic_state(3, np.complex128)
    state = tovrek.DeviceState.from_numpy(3, a)
    with pytest.raises(ValueError) as err:
        tovrek.sample_measure_device(state, targets, shots, endian, seed=1)
    assert str(err.value) == message
    if shots:
        with pytest.raises(ValueError) as err:
            tovrek.measure_device(state, targets, endian, seed=1)
        assert str(err.value) == message
    np.testing.assert_array_equal(state.to_numpy(), a)


def test_binding_conversions_and_fresh_seeds():
    state = tovrek.DeviceState.from_numpy(8, np.full(256, 1 / 16, np.complex128))
    with pytest.raises(TypeError):
        tovrek.sample_measure_device(state, [0], -1)
    for seed in (1.5, -1, 2**64):
        with pytest.raises(RuntimeError):
            tovrek.measure_device(state, [0], seed=seed)
    draws = {tuple(sorted(tovrek.sample_measure_device(state, list(range(8)), 8,
                                                       collapse_last=False)[0].items()))
             for _ in range(4)}
    assert len(draws) > 1


def test_measure_on_numpy_collapses_in_place(no_leaks):
    a = np.array([0.6, 0, 0, 0.8j], np.complex64)
    out = tovrek.measure(2, a, [1, 0], "little")
    assert out in ("00", "11")
    expected = np.zeros(4, np.complex64)
    expected[0 if out == "00" else 3] = 1 if out == "00" else 1j
    np.testing.assert_allclose(a, expected, atol=1e-7)
    assert tovrek.measure(2, basis(2, 2), [0, 1], "big") == "10"


@pytest.mark.parametrize("args,exc,message", [
    ((2, np.zeros(4, np.complex128), [0]), None, "state array must be writable"),
    ((2, np.zeros((2, 2), np.complex128), [0]), ValueError, "state must be a 1-D contiguous numpy array"),
    ((2, np.zeros(8, np.complex128)[::2], [0]), ValueError, "state must be C-contiguous"),
    ((63, np.zeros(4, np.complex128), [0]), ValueError, "n must be in [1, 62]"),
    ((3, np.zeros(4, np.complex128), [0]), ValueError, "state.size must equal 2**n"),
    ((2, np.zeros(4, np.float64), [0], "sideways"), ValueError, "endian must be 'little' or 'big'"),
    ((2, np.zeros(4, np.float64), [0], "big", "cpu"), ValueError,
     "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
    ((2, np.zeros(4, np.float64), [0]), ValueError, "dtype must be 'complex64' or 'complex128', got: float64"),
    ((2, basis(2, 0), [2]), ValueError, "measure target index out of range"),
    ((2, np.zeros(4, np.complex128), [0]), RuntimeError, "Quantum state has zero or invalid norm."),
])
def test_measure_argument_errors(no_leaks, args, exc, message):
    a = args[1]
    if exc is None:
        a.flags.writeable = False
        exc = ValueError
    before = a.copy()
    with pytest.raises(exc) as err:
        tovrek.measure(*args)
    assert str(err.value) == message
    np.testing.assert_array_equal(a, before)


# The calls of a measurement before its collapse where the table needs no
# runs: device selection, the table's allocation, the reduction, the copy.
CUDA_FAILURES = [("cudaSetDevice", 1, CUDA_ERROR_INVALID_DEVICE), ("cudaMalloc", 1, CUDA_ERROR_MEMORY_ALLOCATION),
                 ("launch", 1, CUDA_ERROR_LAUNCH_FAILURE), ("cudaMemcpy", 1, CUDA_ERROR_LAUNCH_FAILURE)]
# With runs (n = 16, one target on a tile bit: four runs), their table's
# allocation and the pass that adds them come in between.
RUN_FAILURES = [("cudaMalloc", 2, CUDA_ERROR_MEMORY_ALLOCATION), ("launch", 2, CUDA_ERROR_LAUNCH_FAILURE)]


@requires_host_runtime
@pytest.mark.parametrize("n,name,nth,code", [(3, *f) for f in CUDA_FAILURES]
                         + [(16, *f) for f in CUDA_FAILURES + RUN_FAILURES])
def test_injected_cuda_failures(no_leaks, n, name, nth, code):
    hc = tovrek._hostcuda
    a = dyadic_state(n, np.complex128)
    state = tovrek.DeviceState.from_numpy(n, a)
    hc.fail_nth(name, nth, code)
    with pytest.raises(RuntimeError) as err:
        tovrek.sample_measure_device(state, [1, 2] if n == 3 else [1], 4, seed=3)
    assert str(err.value) == "CUDA error: " + hc.error_string(code)
    np.testing.assert_array_equal(state.to_numpy(), a)  # the collapse never ran
    assert tovrek.sample_measure_device(state, [1, 2], 4, seed=3, collapse_last=False)


@requires_host_runtime
@pytest.mark.parametrize("n", [3, 16])
def test_failed_collapse_launch(no_leaks, n):
    hc = tovrek._hostcuda
    state = tovrek.DeviceState.from_numpy(n, dyadic_state(n, np.complex128))
    hc.fail_nth("launch", 2 if n == 3 else 3, CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as err:
        tovrek.sample_measure_device(state, [1], 4, seed=3)
    assert str(err.value) == "CUDA error: " + hc.error_string(CUDA_ERROR_LAUNCH_FAILURE)


@requires_host_runtime
@pytest.mark.parametrize("n,targets", [(16, [4]), (17, [16, 3]), (16, list(range(14)))])
def test_device_memory_within_state_table_and_workspace(no_leaks, n, targets):
    # Beyond the state: the table, and runs within max(state / 16, 4 MiB).
    hc = tovrek._hostcuda
    a = dyadic_state(n, np.complex64)
    state = tovrek.DeviceState.from_numpy(n, a)
    hc.set_memory_limit(0, a.nbytes + 8 * 2**len(targets) + state_vector_run_budget(a.nbytes))
    counts, last = tovrek.sample_measure_device(state, targets, 5, seed=2, collapse_last=False)
    assert (counts, last) == reference(a, n, targets, 5, 2)[:2]


@requires_host_runtime
@pytest.mark.parametrize("name,nth,code", CUDA_FAILURES)
def test_measure_on_numpy_frees_temporary_on_failure(no_leaks, name, nth, code):
    hc = tovrek._hostcuda
    a = dyadic_state(2, np.complex64)
    before = a.copy()
    # Construction and upload of the temporary come first.
    hc.fail_nth(name, nth + {"cudaSetDevice": 2, "cudaMalloc": 1, "cudaMemcpy": 1}.get(name, 0), code)
    with pytest.raises(RuntimeError) as err:
        tovrek.measure(2, a, [0])
    assert str(err.value) == "CUDA error: " + hc.error_string(code)
    np.testing.assert_array_equal(a, before)


@requires_host_runtime
def test_asynchronous_error_surfaces_at_the_table_copy(no_leaks):
    hc = tovrek._hostcuda
    state = tovrek.DeviceState.from_numpy(2, basis(2, 3))
    hc.inject_async_error(CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        tovrek.measure_device(state, [0], seed=1)


def test_long_sampling_answers_ctrl_c_before_the_collapse(no_leaks):
    # 2**28 shots take a minute or more on the host when nobody interrupts them.
    import _thread
    import threading
    import time
    psi = dyadic_state(3, np.complex128)
    state = tovrek.DeviceState.from_numpy(3, psi)
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tovrek.sample_measure_device(state, [0, 1, 2], 2**28, seed=1)
    finally:
        timer.join()
    assert time.monotonic() - start < 3
    np.testing.assert_array_equal(state.to_numpy(), psi)
    counts, last = tovrek.sample_measure_device(state, [2, 0], 40, seed=7)
    expected = reference(psi, 3, [2, 0], 40, 7)
    assert (counts, last) == expected[:2]
    np.testing.assert_allclose(state.to_numpy(), expected[2], atol=1e-12)
