"""SWAP, global phase and unitary-matrix gates against dense NumPy references,
in every kernel mode and both precisions."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime, tovrek
from gate_reference import (embed, gate, group_columns, random_matrix, random_state, run,
                            sequential_unitary)

pytestmark = pytest.mark.skipif(tovrek is None, reason="tovrek is not built")

MODES = ["AllState", "Pair", "PairAuto"]
DTYPES = [np.complex64, np.complex128]
TOL = {np.complex64: 2e-5, np.complex128: 1e-12}


SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])

SWAP_CASES = [  # n, targets, controls, control_state
    (2, (0, 1), (), ()),
    (2, (1, 0), (), ()),
    (5, (0, 3), (), ()),
    (5, (3, 0), (), ()),
    (5, (1, 4), (), ()),
    (5, (4, 2), (), ()),
    (5, (0, 3), (2,), (1,)),
    (5, (3, 0), (2, 4), (0, 1)),
    (6, (1, 4), (0,), (0,)),
    (6, (5, 2), (0, 3), (1, 0)),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("n,targets,controls,cstate", SWAP_CASES)
def test_swap_matches_reference_and_moves_values_only(n, targets, controls, cstate, mode, dtype):
    psi = random_state(n, dtype, seed=n + sum(targets))
    g = gate("swap", targets, controls, cstate)
    out = run(n, psi, [g], mode)
    # Values are only moved, so the result equals the permuted input exactly.
    expected = (embed(n, SWAP, targets, controls, cstate) @ psi.astype(complex)).astype(dtype)
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(run(n, psi, [g, g], mode), psi)


GP_CASES = [(3, (), ()), (4, (2,), (1,)), (5, (0, 3), (1, 0)), (1, (0,), (0,))]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("n,controls,cstate", GP_CASES)
def test_global_phase_matches_reference(n, controls, cstate, mode, dtype):
    phi = 0.7
    psi = random_state(n, dtype, seed=11)
    out = run(n, psi, [gate("gp", [], controls, cstate, [phi])], mode)
    phase = np.array([[np.exp(1j * phi)]])
    # A global phase is the 1x1 matrix on no targets, applied where the controls hold.
    expected = embed(n, phase, (), controls, cstate) @ psi.astype(complex)
    np.testing.assert_allclose(out, expected, atol=TOL[dtype], rtol=0)
    untouched = [i for i in range(2**n) if any(((i >> c) & 1) != s for c, s in zip(controls, cstate))]
    np.testing.assert_array_equal(out[untouched], psi[untouched])


UNITARY_CASES = [  # n, targets, controls, control_state
    (1, (0,), (), ()),
    (4, (2,), (), ()),
    (4, (0,), (3,), (0,)),
    (4, (2,), (0, 3), (1, 0)),
    (4, (0, 2), (), ()),
    (4, (2, 0), (), ()),
    (4, (3, 1), (), ()),
    (5, (0, 3), (4,), (1,)),
    (5, (3, 0), (1, 4), (0, 1)),
    (5, (1, 3), (2,), (1,)),
    (5, (4, 0, 2), (), ()),
    (6, (2, 5, 0), (3,), (1,)),
    (6, (3, 1, 5, 0), (), ()),
    (7, (6, 0, 4, 2), (1,), (0,)),
    (6, (4, 0, 3, 1, 2), (), ()),
    (7, (1, 6, 0, 5, 3), (2,), (1,)),
    (6, (5, 1, 0, 4, 2, 3), (), ()),
    (8, (7, 2, 0, 5, 3, 1), (4,), (1,)),
    (7, (6, 0, 5, 1, 4, 2, 3), (), ()),
    (8, (3, 7, 0, 6, 1, 5, 2), (4,), (0,)),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("n,targets,controls,cstate", UNITARY_CASES)
def test_unitary_matches_reference(n, targets, controls, cstate, mode, dtype, no_leaks):
    u = random_matrix(2 ** len(targets), seed=len(targets) + n)
    psi = random_state(n, dtype, seed=3)
    out = run(n, psi, [gate("unitary", targets, controls, cstate, matrix=u)], mode)
    # Float states apply the matrix rounded to float.
    used = u.astype(dtype).astype(complex)
    expected = embed(n, used, targets, controls, cstate) @ psi.astype(complex)
    np.testing.assert_allclose(out, expected, atol=TOL[dtype], rtol=0)
    untouched = [i for i in range(2**n) if any(((i >> c) & 1) != s for c, s in zip(controls, cstate))]
    np.testing.assert_array_equal(out[untouched], psi[untouched])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("target,controls,cstate", [(0, (), ()), (2, (), ()), (2, (0, 3), (1, 0)), (0, (1,), (1,))])
def test_unitary_x_equals_x_gate(target, controls, cstate, mode):
    psi = random_state(4, np.complex128, seed=5)
    x = np.array([[0, 1], [1, 0]])
    via_matrix = run(4, psi, [gate("unitary", [target], controls, cstate, matrix=x)], mode)
    via_gate = run(4, psi, [gate("x", [target], controls, cstate)], mode)
    np.testing.assert_array_equal(via_matrix, via_gate)


def test_unitary_identity_leaves_state():
    psi = random_state(7, np.complex128, seed=8)
    for k in (1, 2, 3, 6):
        out = run(7, psi, [gate("unitary", range(k), matrix=np.eye(2**k))], "PairAuto")
        np.testing.assert_array_equal(out, psi)


# Unsorted targets, controls of either value; three to five targets run one
# thread a group, six to eight stage 2048 amplitudes a block (including the
# lowest free qubits, so a high target leaves a gap in what is staged; small
# states fill fewer groups than a block holds), nine and more go in batches.
EXACT_CASES = [  # n, targets, controls, control_state
    (4, (1, 0), (3,), (0,)),
    (4, (2, 0, 3), (1,), (0,)),
    (8, (6, 1, 4, 0), (7,), (1,)),
    (9, (3, 8, 0, 5, 1), (2, 6), (1, 0)),
    (6, (5, 1, 0, 4, 2, 3), (), ()),
    (12, (11, 0, 6, 2, 9, 4), (3,), (1,)),
    (11, (0, 1, 2, 3, 4, 5, 10), (), ()),
    (9, (8, 0, 7, 1, 6, 2, 5), (4,), (0,)),
    (13, (0, 8, 5, 9, 7, 10, 12, 3), (), ()),
    (10, (9, 2, 4, 0, 7, 1, 8, 3), (6, 5), (0, 1)),
    (11, (10, 1, 8, 0, 5, 3, 9, 2, 6), (4,), (1,)),
    (10, tuple(range(9, -1, -1)), (), ()),
]


def bits(a):
    return a.view(np.uint32 if a.dtype == np.complex64 else np.uint64)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n,targets,controls,cstate", EXACT_CASES)
def test_unitary_rows_sum_the_columns_in_order(n, targets, controls, cstate, dtype, no_leaks):
    rng = np.random.default_rng(n + len(targets))
    d = 2 ** len(targets)
    u = rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d))
    u[rng.random((d, d)) < 0.2] = complex(-0.0, -0.0)  # a sum from zero turns -0 into +0
    psi = random_state(n, dtype, seed=4)
    psi[::5] = 0
    out = run(n, psi, [gate("unitary", targets, controls, cstate, matrix=u)], "PairAuto")
    np.testing.assert_array_equal(bits(out), bits(sequential_unitary(psi, u, targets, controls, cstate)))


MIB = 1 << 20


@requires_host_runtime
@pytest.mark.parametrize("k,n,dtype,controls,allocations,scratch", [
    (5, 16, np.complex128, (), 0, 0),
    # Controls keep the host's work small; the memory a gate needs does not
    # depend on them.
    (7, 22, np.complex64, (18, 19, 20, 21), 1, 0),
    (9, 19, np.complex128, (), 2, 4 * MIB),  # two batches of 4 MiB
])
def test_unitary_device_memory_beyond_the_state(k, n, dtype, controls, allocations, scratch,
                                                no_leaks):
    runtime = tovrek._hostcuda
    rng = np.random.default_rng(k)
    psi = np.empty(2**n, dtype)
    psi.real, psi.imag = rng.standard_normal((2, 2**n), psi.real.dtype) * 2 ** (-n / 2)
    state = tovrek.DeviceState.from_numpy(n, psi)
    targets = [(5 * j + 3) % (n - len(controls)) for j in range(k)]
    u = (rng.standard_normal((2**k, 2**k)) + 1j * rng.standard_normal((2**k, 2**k))) * 2 ** (-k / 2)
    matrix_bytes = 0 if k <= 5 else 4**k * psi.itemsize + (2**k * 8 if k > 8 else 0)
    assert scratch <= max(psi.nbytes // 16, 4 * MIB)
    runtime.set_memory_limit(0, runtime.live_bytes() + matrix_bytes + scratch)
    mallocs = runtime.call_count("cudaMalloc")
    tovrek.run_circuit_device(state, [gate("unitary", targets, controls, [1] * len(controls),
                                           matrix=u)])
    assert runtime.call_count("cudaMalloc") - mallocs == allocations
    out = state.to_numpy()
    columns = group_columns(n, targets, controls, [1] * len(controls))
    expected = psi[columns].astype(complex) @ u.astype(dtype).T
    np.testing.assert_allclose(out[columns], expected, atol=TOL[dtype], rtol=0)
    out[columns] = psi[columns]
    np.testing.assert_array_equal(out, psi)
    del state


@requires_host_runtime
@pytest.mark.parametrize("k,name,nth", [
    (1, "launch", 1), (2, "cudaStreamSynchronize", 1), (3, "launch", 1),
    (5, "cudaStreamSynchronize", 1), (6, "cudaMalloc", 1), (6, "cudaMemcpyAsync", 1),
    (6, "launch", 1), (6, "cudaStreamSynchronize", 1), (6, "cudaFree", 1), (9, "cudaMalloc", 2),
    (9, "launch", 1), (9, "launch", 2), (9, "cudaFree", 2),
])
def test_unitary_cuda_failure_frees_its_buffers(k, name, nth, no_leaks):
    n = 10
    psi = random_state(n, np.complex128, seed=9)
    state = tovrek.DeviceState.from_numpy(n, psi)
    g = gate("unitary", range(k), matrix=np.eye(2**k) * 1j)
    runtime = tovrek._hostcuda
    runtime.fail_nth(name, nth, CUDA_ERROR_MEMORY_ALLOCATION)
    with pytest.raises(RuntimeError) as err:
        tovrek.run_circuit_device(state, [g])
    assert str(err.value) == "CUDA error: " + runtime.error_string(CUDA_ERROR_MEMORY_ALLOCATION)
    if name in ("cudaMalloc", "cudaMemcpyAsync", "launch") and nth == 1:
        np.testing.assert_array_equal(state.to_numpy(), psi)
    # The failure is not left behind for the next gate to report.
    tovrek.run_circuit_device(state, [gate("x", [0])])
    state.to_numpy()
    del state


@pytest.mark.parametrize("g,message", [
    (gate("unitary", [], matrix=np.eye(1)), "UNITARY gate requires at least one target."),
    (gate("unitary", [0], [5], [1], matrix=np.eye(2)), "control qubit index must be in [0, n)"),
    (gate("unitary", [0, 7], matrix=np.eye(4)), "target qubit index must be in [0, n)"),
    (gate("unitary", [0, 63], matrix=np.eye(4)), "target qubit index must be in [0, 62]"),
    (gate("unitary", [1, 1], matrix=np.eye(4)), "target qubits must be distinct."),
    (gate("unitary", [0, 1], [1], [0], matrix=np.eye(4)), "control qubit must not be a target."),
    (gate("swap", [2, 2]), "SWAP gate requires two different targets."),
    (gate("swap", [0, 1], [1], [1]), "control qubit must not be a target."),
    (gate("gp", [], [0, 0], [1, 1], [0.1]), "control qubits must be distinct."),
    (gate("gp", [], [3], [1], [0.1]), "control qubit index must be in [0, n)"),
])
def test_malformed_gates_rejected_before_launch(g, message, no_leaks):
    psi = random_state(3, np.complex128, seed=2)
    state = tovrek.DeviceState.from_numpy(3, psi)
    with pytest.raises(ValueError) as err:
        tovrek.run_circuit_device(state, [gate("h", [0]), g, gate("x", [1])])
    assert str(err.value) == message
    expected = embed(3, np.array([[1, 1], [1, -1]]) / np.sqrt(2), [0]) @ psi
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)
    del state
