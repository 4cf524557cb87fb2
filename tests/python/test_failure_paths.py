"""What a failed runtime call leaves behind: no stale last error for the next
healthy call on the thread, no allocation kept for good when a release is
refused, and no state written from scratch that a failed step never filled."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_INVALID_VALUE, CUDA_ERROR_LAUNCH_FAILURE, requires_host_runtime
from density_reference import Gate as DensityGate
from density_reference import random_density
from fresh_thread import on_fresh_thread
from gate_reference import gate, gate_object, random_matrix, random_state
from qalvane import rhomira, tovrek

DeviceState = tovrek.DeviceState
State = rhomira.DeviceDensityState
X = [gate("x", [0])]


def healthy_gate_runs():
    state = DeviceState.zero_state(1)
    tovrek.run_circuit_device(state, X)
    np.testing.assert_array_equal(state.to_numpy(), [0, 1])


def healthy_density_gate_runs():
    state = State.zero_state(1)
    rhomira.run_density_operations_device(state, 1, [DensityGate("x", [0])])
    np.testing.assert_array_equal(state.to_numpy(), [[0, 0], [0, 1]])


def basis(n, index):
    psi = np.zeros(2**n, np.complex128)
    psi[index] = 1
    return psi


# Failures met without any injection: a state too large for the device, and
# a device that does not exist.
PLAIN_FAILURES = [
    ("zero_state(40)", lambda: DeviceState.zero_state(40), "out of memory"),
    ("zero_state on cuda:1", lambda: DeviceState.zero_state(2, device="cuda:1"),
     "invalid device ordinal"),
    ("from_numpy on cuda:1", lambda: DeviceState.from_numpy(1, basis(1, 0), "cuda:1"),
     "invalid device ordinal"),
    ("run_circuit on cuda:1", lambda: tovrek.run_circuit(1, basis(1, 0), X, device="cuda:1"),
     "invalid device ordinal"),
    ("measure on cuda:1", lambda: tovrek.measure(1, basis(1, 0), [0], device="cuda:1"),
     "invalid device ordinal"),
    ("density zero_state on cuda:1", lambda: State.zero_state(1, device="cuda:1"),
     "invalid device ordinal"),
    ("density from_numpy on cuda:1",
     lambda: State.from_numpy(1, np.eye(2, dtype=np.complex128), "cuda:1"), "invalid device ordinal"),
]


@pytest.mark.parametrize("fail, text", [f[1:] for f in PLAIN_FAILURES],
                         ids=[f[0] for f in PLAIN_FAILURES])
def test_a_failed_call_does_not_fail_the_next_launch(fail, text, no_leaks):
    with pytest.raises(RuntimeError, match=f"^CUDA error: {text}$"):
        fail()
    healthy_gate_runs()
    healthy_density_gate_runs()


@requires_host_runtime
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_measurement_out_of_memory_does_not_fail_the_next_launch(module, no_leaks):
    runtime = module._hostcuda
    if module is tovrek:
        state = DeviceState.from_numpy(2, basis(2, 3))
    else:
        state = State.from_numpy(2, np.diag(basis(2, 3)))
    limit = runtime.memory_limit(0)
    # Room for the two targets, not for the four probabilities.
    runtime.set_memory_limit(0, runtime.live_bytes() + 16)
    try:
        with pytest.raises(RuntimeError, match="^CUDA error: out of memory$"):
            module.measure_device(state, [0, 1], seed=1)
    finally:
        runtime.set_memory_limit(0, limit)
    healthy_gate_runs() if module is tovrek else healthy_density_gate_runs()


# ---- refused releases


def new_state(module, n=2):
    return DeviceState.zero_state(n) if module is tovrek else State.zero_state(n)


@requires_host_runtime
@pytest.mark.parametrize("module", [tovrek, rhomira])
@pytest.mark.parametrize("refusals", [1, 2])
def test_a_refused_free_is_retried(module, refusals, no_leaks):
    # Refused once: tried again at once. Refused twice: kept, and tried again
    # before the thread's next allocation.
    runtime = module._hostcuda
    baseline = runtime.live_allocations()
    state = new_state(module)
    for k in range(1, refusals + 1):
        runtime.fail_nth("cudaFree", k, CUDA_ERROR_INVALID_VALUE)
    del state  # the destructor raises nothing
    assert runtime.call_count("cudaFree") == 2
    assert runtime.live_allocations() == baseline + refusals - 1
    other = new_state(module, 1)
    assert runtime.call_count("cudaFree") == 1 + refusals
    assert runtime.live_allocations() == baseline + 1  # only the new state
    del other
    healthy_gate_runs() if module is tovrek else healthy_density_gate_runs()


@requires_host_runtime
@pytest.mark.parametrize("module", [tovrek, rhomira])
def test_a_free_refused_twice_is_retried_when_the_thread_ends(module, no_leaks):
    runtime = module._hostcuda
    baseline = runtime.live_allocations()

    def work():
        state = new_state(module)
        runtime.fail_nth("cudaFree", 1, CUDA_ERROR_INVALID_VALUE)
        runtime.fail_nth("cudaFree", 2, CUDA_ERROR_INVALID_VALUE)
        del state
        return runtime.live_allocations()

    assert on_fresh_thread(work) == baseline + 1
    assert runtime.live_allocations() == baseline
    assert runtime.call_count("cudaFree") == 3


@requires_host_runtime
def test_the_densemm_cache_frees_refused_at_thread_exit_are_retried(no_leaks):
    runtime = tovrek._hostcuda
    baseline = runtime.live_allocations()
    chunk = tovrek.prepare_fusion_chunk_gates(3, [gate_object("h", [0]), gate_object("h", [1])],
                                              densemm_gate_threshold_scale=0.0)

    def work():
        state = DeviceState.zero_state(3)
        tovrek.execute_prepared_fusion_chunk(state, chunk)
        del state
        frees = runtime.call_count("cudaFree")
        # The cache's first buffer, at thread exit: both tries refused.
        runtime.fail_nth("cudaFree", 1, CUDA_ERROR_INVALID_VALUE)
        runtime.fail_nth("cudaFree", 2, CUDA_ERROR_INVALID_VALUE)
        return frees

    frees = on_fresh_thread(work)
    assert runtime.live_allocations() == baseline
    assert runtime.call_count("cudaFree") == frees + 4


@requires_host_runtime
def test_an_unregistration_refused_twice_is_retried_later(no_leaks):
    runtime = tovrek._hostcuda
    psi = random_state(3, np.complex128)
    state = DeviceState.from_numpy(3, psi)
    out = np.zeros_like(psi)
    runtime.fail_nth("cudaHostUnregister", 1, 713)
    runtime.fail_nth("cudaHostUnregister", 2, 713)
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        state.copy_to_numpy(out, use_pinned_host=True)
    np.testing.assert_array_equal(out, psi)
    DeviceState.zero_state(1)  # an allocation: the range is unregistered first
    assert runtime.call_count("cudaHostUnregister") == 3
    # The range can be page-locked again: the copy registers and unregisters it.
    state.copy_to_numpy(out, use_pinned_host=True)
    assert (runtime.call_count("cudaHostRegister"), runtime.call_count("cudaHostUnregister")) == (2, 4)


# ---- DenseMM steps


@requires_host_runtime
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_a_failed_densemm_transpose_leaves_the_earlier_groups_result(dtype, no_leaks):
    n = 5
    u = random_matrix(8, 3)
    # An AutoPair group (three-target unitary, one launch), then DenseMM.
    G = gate_object  # noqa: N806
    gates = [G("unitary", [0, 2, 4], matrix=u), G("h", [0]), G("h", [1]), G("x", [1], [0], [1])]
    chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0.0)
    other, psi = random_state(n, dtype, 1), random_state(n, dtype, 2)
    after_unitary = psi.copy()
    tovrek.run_circuit(n, after_unitary, [gate("unitary", [0, 2, 4], matrix=u)])

    def work():
        # An earlier execution leaves another state's data in the thread's scratch.
        tovrek.execute_prepared_fusion_chunk(DeviceState.from_numpy(n, other.copy()), chunk)
        state = DeviceState.from_numpy(n, psi.copy())
        runtime = tovrek._hostcuda
        before = [runtime.call_count(f) for f in ("launch", "cublasSetStream")]
        runtime.fail_nth("launch", 2, CUDA_ERROR_LAUNCH_FAILURE)  # the first transpose
        with pytest.raises(RuntimeError, match="^CUDA error: unspecified launch failure$"):
            tovrek.execute_prepared_fusion_chunk(state, chunk)
        after = [runtime.call_count(f) for f in ("launch", "cublasSetStream")]
        assert [a - b for a, b in zip(after, before)] == [2, 0]
        return state.to_numpy()

    np.testing.assert_array_equal(on_fresh_thread(work), after_unitary)


# ---- density measurement frees


@requires_host_runtime
def test_density_measurement_reports_a_refused_free(no_leaks):
    runtime = rhomira._hostcuda
    state = State.from_numpy(2, random_density(2, np.random.default_rng(3)))
    baseline = runtime.live_allocations()
    runtime.fail_nth("cudaFree", 1, CUDA_ERROR_INVALID_VALUE)
    with pytest.raises(RuntimeError, match="^CUDA error: invalid argument$"):
        rhomira.measure_device(state, [0, 1], seed=3)
    assert runtime.live_allocations() == baseline
    # The measurement itself was done: one diagonal element is left, at trace 1.
    rho = state.to_numpy()
    assert np.count_nonzero(rho) == 1 and np.isclose(np.trace(rho), 1)


@requires_host_runtime
def test_density_measurement_keeps_a_table_refused_twice(no_leaks):
    # Both tries of the table's free refused: it stays on the thread's list.
    runtime = rhomira._hostcuda
    state = State.from_numpy(2, np.diag(basis(2, 2)))
    before = runtime.live_bytes()
    runtime.fail_nth("cudaFree", 1, CUDA_ERROR_INVALID_VALUE)
    runtime.fail_nth("cudaFree", 2, CUDA_ERROR_INVALID_VALUE)
    with pytest.raises(RuntimeError, match="^CUDA error: invalid argument$"):
        rhomira.measure_device(state, [0, 1], seed=3)
    assert runtime.live_bytes() == before + 8 * 4
    np.testing.assert_array_equal(state.to_numpy(), np.diag(basis(2, 2)))
    healthy_density_gate_runs()  # allocates, so the refused free is retried
    assert runtime.live_bytes() == before


@requires_host_runtime
@pytest.mark.parametrize("refused, kept_bytes", [(1, 8 * 2), (2, 8 * 2 * 4)])
def test_measurement_frees_the_table_then_the_run_tables(refused, kept_bytes, no_leaks):
    # n = 16, one target on a tile bit: a table of 2 and four run tables.
    runtime = tovrek._hostcuda
    psi = basis(16, 2)
    state = DeviceState.from_numpy(16, psi)
    before = runtime.live_bytes()
    runtime.fail_nth("cudaFree", refused, CUDA_ERROR_INVALID_VALUE)
    runtime.fail_nth("cudaFree", refused + 1, CUDA_ERROR_INVALID_VALUE)
    with pytest.raises(RuntimeError, match="^CUDA error: invalid argument$"):
        tovrek.measure_device(state, [1], seed=3)
    assert runtime.live_bytes() == before + kept_bytes
    np.testing.assert_array_equal(state.to_numpy(), psi)  # collapsed onto itself
    DeviceState.zero_state(1)  # an allocation: the refused free is retried
    assert runtime.live_bytes() == before
