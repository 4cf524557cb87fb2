"""The circuit runner: records applied in order in every mode, arity and
qubit checks when a record's turn comes, run_circuit's array handling, and
the failure paths."""
import numpy as np
import pytest

from conftest import (CUDA_ERROR_INVALID_DEVICE, CUDA_ERROR_LAUNCH_FAILURE, requires_host_runtime,
                      tovrek)
from gate_reference import embed, gate, random_matrix, random_state, run

pytestmark = pytest.mark.skipif(tovrek is None, reason="tovrek is not built")

MODES = ["AllState", "Pair", "PairAuto"]
R = 1 / np.sqrt(2)
H = np.array([[R, R], [R, -R]])
X = np.array([[0, 1], [1, 0]])


def rx(theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


CIRCUIT = [  # gate, its reference matrix on (targets)
    (gate("h", [0]), H, [0], (), ()),
    (gate("cx", [2], [0], [1]), X, [2], (0,), (1,)),
    (gate("rx", [1], [3, 0], [0, 1], [0.4]), rx(0.4), [1], (3, 0), (0, 1)),
    (gate("swap", [3, 0], [1], [1]), None, [3, 0], (1,), (1,)),
    (gate("gp", [], [2], [0], [1.1]), np.array([[np.exp(1.1j)]]), [], (2,), (0,)),
    (gate("unitary", [2, 0, 3], matrix=random_matrix(8, 4)), random_matrix(8, 4), [2, 0, 3], (), ()),
    (gate("unitary", [1, 3], [2], [1], matrix=random_matrix(4, 5)), random_matrix(4, 5), [1, 3], (2,), (1,)),
]
SWAP = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]])


@pytest.mark.parametrize("dtype,tol", [(np.complex64, 3e-6), (np.complex128, 1e-12)])
@pytest.mark.parametrize("mode", MODES)
def test_mixed_circuit_matches_reference(mode, dtype, tol, no_leaks):
    n = 4
    psi = random_state(n, dtype, seed=21)
    expected = psi.astype(complex)
    for _, m, targets, controls, cstate in CIRCUIT:
        expected = embed(n, SWAP if m is None else m, targets, controls, cstate) @ expected
    state = tovrek.DeviceState.from_numpy(n, psi)
    tovrek.run_circuit_device(state, [g for g, *_ in CIRCUIT], mode=getattr(tovrek.KernelMode, mode))
    np.testing.assert_allclose(state.to_numpy(), expected, atol=tol, rtol=0)
    del state


def test_modes_agree_and_endian_does_not_reach_gates():
    psi = random_state(5, np.complex128, seed=4)
    results = [run(5, psi, [g for g, *_ in CIRCUIT], mode) for mode in MODES]
    for other in results[1:]:
        np.testing.assert_allclose(other, results[0], atol=1e-12)
    big = psi.copy()
    tovrek.run_circuit(5, big, [g for g, *_ in CIRCUIT], endian="big")
    np.testing.assert_array_equal(big, results[2])


def test_first_target_only_for_one_target_gates():
    psi = random_state(3, np.complex128, seed=6)
    np.testing.assert_array_equal(run(3, psi, [gate("x", [2, 0])], "PairAuto"),
                                  run(3, psi, [gate("x", [2])], "PairAuto"))


def test_swap_ignores_parameters():
    psi = random_state(3, np.complex128, seed=6)
    np.testing.assert_array_equal(run(3, psi, [gate("swap", [0, 2], parameter=[1.0, 2.0])], "Pair"),
                                  run(3, psi, [gate("swap", [2, 0])], "Pair"))


ARITY = [
    (gate("rx", [0], parameter=[0.1, 0.2]), "RX gate requires exactly one parameter."),
    (gate("ry", [0]), "RY gate requires exactly one parameter."),
    (gate("rz", [0], parameter=[1, 2]), "RZ gate requires exactly one parameter."),
    (gate("p", [0]), "PHASE gate requires exactly one parameter."),
    (gate("global_phase", []), "GLOBAL_PHASE gate requires exactly one parameter."),
    (gate("u3", [0], parameter=[1, 2]), "U gate requires exactly three parameters."),
    (gate("swap", [0, 1, 2]), "SWAP gate requires exactly two targets."),
    (gate("swap", [0]), "SWAP gate requires exactly two targets."),
    (gate("x", []), "gate requires a target qubit."),
    (gate("h", [3]), "target qubit index must be in [0, n)"),
    (gate("h", [-1]), "target qubit index must be in [0, n)"),
    (gate("h", [2**32 + 1]), "target qubit index must be in [0, n)"),
    (gate("z", [0], [3], [1]), "control qubit index must be in [0, n)"),
    (gate("z", [0], [63], [1]), "control qubit index must be in [0, 62]"),
    (gate("z", [0], [-1], [1]), "control qubit index must be in [0, 62]"),
    (gate("z", [0], [1], [2]), "control_state must contain only 0/1"),
    (gate("z", [0], [1, 2], [1]), "controls.size() != control_state.size()"),
    (gate("y", [1], [1], [1]), "control qubit must not be a target."),
    (gate("s", [0], [2, 2], [1, 1]), "control qubits must be distinct."),
]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("bad,message", ARITY)
def test_bad_record_fails_in_turn(bad, message, mode, no_leaks):
    """Earlier records stay applied, the failing one and later ones do not."""
    psi = random_state(3, np.complex128, seed=7)
    state = tovrek.DeviceState.from_numpy(3, psi)
    with pytest.raises(ValueError) as err:
        tovrek.run_circuit_device(state, [gate("h", [1]), bad, gate("x", [0])],
                                  mode=getattr(tovrek.KernelMode, mode))
    assert str(err.value) == message
    np.testing.assert_allclose(state.to_numpy(), embed(3, H, [1]) @ psi, atol=1e-12)
    del state


def test_pair_auto_fusion_single_gate_runs_as_pair_auto():
    psi = random_state(3, np.complex128, seed=8)
    out = run(3, psi, [gate("h", [0])], "PairAutoFusion")
    np.testing.assert_allclose(out, run(3, psi, [gate("h", [0])], "PairAuto"), atol=1e-12)


def test_run_circuit_returns_the_array_and_keeps_it_on_failure(no_leaks):
    psi = random_state(3, np.complex64, seed=9)
    a = psi.copy()
    assert tovrek.run_circuit(3, a, [gate("h", [0])]) is a
    assert not np.array_equal(a, psi)
    b = psi.copy()
    assert tovrek.run_circuit(3, b, []) is b
    np.testing.assert_array_equal(b, psi)
    with pytest.raises(ValueError, match="RX gate"):
        tovrek.run_circuit(3, b, [gate("h", [0]), gate("rx", [0])])
    np.testing.assert_array_equal(b, psi)


@pytest.mark.parametrize("kwargs,state,error,message", [
    ({}, np.zeros(8, np.complex128)[::2], ValueError, "state must be C-contiguous"),
    ({}, np.zeros((2, 2), np.complex128), ValueError, "state must be a 1-D contiguous numpy array"),
    ({}, np.zeros(3, np.complex128), ValueError, "state.size must equal 2**n"),
    ({"endian": "middle"}, np.zeros(4, np.float64), ValueError, "endian must be 'little' or 'big'"),
    ({"device": "cpu"}, np.zeros(4, np.float64), ValueError,
     "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
    ({}, np.zeros(4, np.float64), ValueError, "dtype must be 'complex64' or 'complex128', got: float64"),
])
def test_run_circuit_argument_checks(kwargs, state, error, message, no_leaks):
    with pytest.raises(error) as err:
        tovrek.run_circuit(2, state, [], **kwargs)
    assert str(err.value) == message


def test_run_circuit_read_only_and_wrong_types():
    ro = np.zeros(4, np.complex128)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="^state array must be writable$"):
        tovrek.run_circuit(2, ro, [])
    with pytest.raises(TypeError):
        tovrek.run_circuit(2, [0j] * 4, [])
    with pytest.raises(TypeError):
        tovrek.run_circuit(2, np.zeros(4, np.complex128), (gate("x", [0]),))


@requires_host_runtime
def test_launch_failure_leaves_array_and_frees_temporary(no_leaks):
    runtime = tovrek._hostcuda
    psi = random_state(3, np.complex128, seed=10)
    a = psi.copy()
    runtime.fail_nth("launch", 2, CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as err:
        tovrek.run_circuit(3, a, [gate("h", [0]), gate("swap", [0, 1]), gate("x", [0])])
    assert str(err.value) == "cu_swap kernel launch failed: " + runtime.error_string(CUDA_ERROR_LAUNCH_FAILURE)
    np.testing.assert_array_equal(a, psi)


@requires_host_runtime
def test_device_selection_failure(no_leaks):
    runtime = tovrek._hostcuda
    state = tovrek.DeviceState.zero_state(2)
    runtime.fail_nth("cudaSetDevice", 1, CUDA_ERROR_INVALID_DEVICE)
    with pytest.raises(RuntimeError) as err:
        tovrek.run_circuit_device(state, [gate("x", [0])])
    assert str(err.value) == "CUDA error: " + runtime.error_string(CUDA_ERROR_INVALID_DEVICE)
    tovrek.run_circuit_device(state, [gate("x", [0])])
    np.testing.assert_array_equal(state.to_numpy(), [0, 1, 0, 0])
    del state


@requires_host_runtime
def test_empty_chunks_touch_the_device_as_little_as_documented():
    runtime = tovrek._hostcuda
    state = tovrek.DeviceState.zero_state(2)
    before = {name: runtime.call_count(name) for name in ("cudaSetDevice", "launch")}
    tovrek.run_circuit_device_gates(state, iter([]))
    assert runtime.call_count("cudaSetDevice") == before["cudaSetDevice"]
    tovrek.run_circuit_device(state, [])
    assert runtime.call_count("cudaSetDevice") == before["cudaSetDevice"] + 1
    assert runtime.call_count("launch") == before["launch"]
