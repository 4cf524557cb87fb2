"""SWAP, global phase and unitary-matrix gates against dense NumPy references,
in every kernel mode and both precisions."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime, tovrek
from gate_reference import embed, gate, random_matrix, random_state, run

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


@requires_host_runtime
@pytest.mark.parametrize("k,name,nth", [
    (3, "cudaMalloc", 1), (3, "cudaMalloc", 3), (3, "cudaMemcpyAsync", 2), (3, "launch", 1),
    (3, "cudaStreamSynchronize", 1), (3, "cudaFree", 2), (6, "cudaMalloc", 3),
    (6, "cudaMemcpyAsync", 3), (6, "launch", 1), (6, "cudaStreamSynchronize", 1),
    (1, "launch", 1), (2, "cudaStreamSynchronize", 1),
])
def test_unitary_cuda_failure_frees_its_buffers(k, name, nth, no_leaks):
    n = 7
    psi = random_state(n, np.complex128, seed=9)
    state = tovrek.DeviceState.from_numpy(n, psi)
    g = gate("unitary", range(k), matrix=random_matrix(2**k, seed=1))
    runtime = tovrek._hostcuda
    runtime.fail_nth(name, nth, CUDA_ERROR_MEMORY_ALLOCATION)
    with pytest.raises(RuntimeError) as err:
        tovrek.run_circuit_device(state, [g])
    assert str(err.value) == "CUDA error: " + runtime.error_string(CUDA_ERROR_MEMORY_ALLOCATION)
    if name in ("cudaMalloc", "cudaMemcpyAsync") and nth == 1:
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
