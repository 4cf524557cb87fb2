"""Fused groups near the memory limit: on the host runtime's device budget,
every fused group runs within the state plus max(state / 16, 4 MiB) plus its
matrices; DenseMM goes through that scratch a slice of columns at a time and
still gives PairAuto's result. (The failure sweep fails each call of a
group of two slices.)"""
import numpy as np
import pytest

from conftest import requires_host_runtime
from test_fusion import Gate, random_circuit, random_state, run_in_thread
from qalvane import tovrek

pytestmark = requires_host_runtime
hostcuda = getattr(tovrek, "_hostcuda", None)
MiB = 1 << 20


def itemsize(dtype):
    return np.dtype(dtype).itemsize


def bound(n, dtype):
    """What a group may hold beyond the state, besides its matrices."""
    return max((2**n * itemsize(dtype)) // 16, 4 * MiB)


def slice_amplitudes(n, k, dtype):
    """The amplitudes of each of the two DenseMM scratch buffers."""
    budget = max(2**n // 32, 2 * MiB // itemsize(dtype))
    return 2**n if budget >= 2**n else max(budget, 2**k)


def seven_qubit_group(active):
    gates = [Gate("sqrtx" if i % 2 else "h", [active[i % 7]]) for i in range(14)]
    return gates + [Gate("x", [active[1]], [active[4]]), Gate("rz", [active[6]], [active[0]], None, [0.3])]


def pairauto(n, psi, gates):
    state = tovrek.DeviceState.from_numpy(n, psi.copy())
    tovrek.run_circuit_device_gates(state, gates, mode=tovrek.PairAuto)
    return state.to_numpy()


def within(limit_bytes, fn):
    """fn() on a fresh thread while the device holds at most limit_bytes more."""
    saved = hostcuda.memory_limit(0)
    hostcuda.set_memory_limit(0, hostcuda.live_bytes() + limit_bytes)
    try:
        return run_in_thread(fn)
    finally:
        hostcuda.set_memory_limit(0, saved)


@pytest.mark.parametrize("n, dtype", [(22, "complex64"), (20, "complex128")])
def test_densemm_group_runs_within_the_state_and_its_bound(n, dtype, no_leaks):
    active = [0, 3, 5, 9, 14, 18, n - 1]
    gates = seven_qubit_group(active)
    psi = random_state(n, dtype, 1)
    expected = pairauto(n, psi, gates)
    chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0.0)
    state = tovrek.DeviceState.from_numpy(n, psi.copy())
    matrix = 4**7 * itemsize(dtype)
    scratch = 2 * slice_amplitudes(n, 7, dtype) * itemsize(dtype)
    assert scratch <= bound(n, dtype) and matrix + scratch <= 8 * MiB

    def run():
        tovrek.execute_prepared_fusion_chunk(state, chunk)

    # One byte short of the matrix and two slices: the second buffer fails.
    with pytest.raises(RuntimeError, match="^cudaMalloc cached DenseMM GEMM buffer: out of memory$"):
        within(matrix + scratch - 1, run)
    np.testing.assert_array_equal(state.to_numpy(), psi)
    gemm = "cublasCgemm" if dtype == "complex64" else "cublasZgemm"
    before = hostcuda.call_count(gemm)
    within(matrix + scratch, run)
    slices = 2**n // slice_amplitudes(n, 7, dtype)
    assert slices > 1 and hostcuda.call_count(gemm) - before == slices
    np.testing.assert_allclose(state.to_numpy(), expected, atol=2e-6 if dtype == "complex64" else 1e-13,
                               rtol=0)


def test_sparsesharemem_groups_and_the_runner_need_only_their_records(no_leaks):
    n, dtype = 20, "complex64"
    rng = np.random.default_rng(4)
    gates = random_circuit(rng, n, 24)
    psi = random_state(n, dtype, 2)
    expected = pairauto(n, psi, gates)
    chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=1e9)
    # Records of the prepared chunk (56 bytes a gate at most); the runner's
    # default plan may hold DenseMM groups: 1 MiB covers their matrices.
    matrices = 1 * MiB
    fused = tovrek.DeviceState.from_numpy(n, psi.copy())
    runner = tovrek.DeviceState.from_numpy(n, psi.copy())

    def run():
        tovrek.execute_prepared_fusion_chunk(fused, chunk)
        tovrek.run_circuit_device_gates(runner, gates, mode=tovrek.PairAutoFusion)

    within(matrices + bound(n, dtype), run)
    for state in (fused, runner):
        np.testing.assert_allclose(state.to_numpy(), expected, atol=2e-5, rtol=0)


@pytest.mark.parametrize("n, dtype", [(19, "complex64"), (18, "complex128")])
def test_sliced_densemm_matches_pairauto_up_to_ten_qubits(n, dtype, no_leaks):
    # Two slices a group; the planner takes groups of up to 7, then 10 qubits.
    rng = np.random.default_rng(n)
    gates = random_circuit(rng, n, 30)
    psi = random_state(n, dtype, 3)
    expected = pairauto(n, psi, gates)
    gemm = "cublasCgemm" if dtype == "complex64" else "cublasZgemm"
    for max_qubits in (7, 10):
        chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0.0,
                                                  densemm_max_qubits=max_qubits)
        state = tovrek.DeviceState.from_numpy(n, psi.copy())
        before = hostcuda.call_count(gemm)
        run_in_thread(lambda: tovrek.execute_prepared_fusion_chunk(state, chunk))
        assert hostcuda.call_count(gemm) - before >= 2
        np.testing.assert_allclose(state.to_numpy(), expected,
                                   atol=2e-5 if dtype == "complex64" else 1e-11, rtol=0)
