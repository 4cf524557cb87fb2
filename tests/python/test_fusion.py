"""Fused execution: prepared chunks and PairAutoFusion against a NumPy
reference and against gate-by-gate PairAuto, the DenseMM cache, threads,
messages and the failure paths of the workspace and the executors."""
import gc
import threading
import time

import numpy as np
import pytest

from conftest import (
    CUBLAS_STATUS_EXECUTION_FAILED,
    CUDA_ERROR_LAUNCH_FAILURE,
    CUDA_ERROR_MEMORY_ALLOCATION,
    requires_host_runtime,
)
from qalvane import tovrek

DeviceState = tovrek.DeviceState
hostcuda = getattr(tovrek, "_hostcuda", None)

S2 = 1 / np.sqrt(2)
FIXED = {
    "x": [[0, 1], [1, 0]], "y": [[0, -1j], [1j, 0]], "z": [[1, 0], [0, -1]],
    "h": [[S2, S2], [S2, -S2]], "s": [[1, 0], [0, 1j]], "s_dag": [[1, 0], [0, -1j]],
    "sqrtx": [[(1 + 1j) / 2, (1 - 1j) / 2], [(1 - 1j) / 2, (1 + 1j) / 2]],
    "sqrtx_dag": [[(1 - 1j) / 2, (1 + 1j) / 2], [(1 + 1j) / 2, (1 - 1j) / 2]],
    "sqrty": [[(1 + 1j) / 2, -(1 + 1j) / 2], [(1 + 1j) / 2, (1 + 1j) / 2]],
    "sqrty_dag": [[(1 - 1j) / 2, (1 - 1j) / 2], [(-1 + 1j) / 2, (1 - 1j) / 2]],
}


def matrix_of(name, p):
    if name in FIXED:
        return np.array(FIXED[name], dtype=complex)
    c, s = np.cos(p[0] / 2), np.sin(p[0] / 2) if p else (None, None)
    if name == "rx":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "ry":
        return np.array([[c, -s], [s, c]])
    if name == "rz":
        return np.array([[c - 1j * s, 0], [0, c + 1j * s]])
    if name == "phase":
        return np.array([[1, 0], [0, np.exp(1j * p[0])]])
    if name == "u":
        t, ph, la = p
        return np.array([[np.cos(t / 2), -np.exp(1j * la) * np.sin(t / 2)],
                         [np.exp(1j * ph) * np.sin(t / 2), np.exp(1j * (ph + la)) * np.cos(t / 2)]])
    raise KeyError(name)


class Gate:
    def __init__(self, id, target, control=(), control_state=None, parameter=(), matrix=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = list(control_state if control_state is not None else [1] * len(control))
        self.parameter = list(parameter)
        self.matrix = matrix


def reference(n, psi, gates):
    """Dense NumPy simulation; qubit q is bit q of the index."""
    psi = psi.astype(np.complex128).copy()
    idx = np.arange(2**n)
    for g in gates:
        on = np.ones(2**n, dtype=bool)
        for c, v in zip(g.control, g.control_state):
            on &= ((idx >> c) & 1) == (1 if v == 1 else 0)
        if g.id == "global_phase":
            psi *= np.exp(1j * g.parameter[0])
        elif g.id == "swap":
            a, b = g.target
            other = idx ^ (((idx >> a) & 1) ^ ((idx >> b) & 1)) * ((1 << a) | (1 << b))
            new = psi.copy()
            new[on] = psi[other[on]]
            psi = new
        else:
            assert len(g.target) == 1, "no reference for multi-target unitaries"
            m = np.asarray(g.matrix) if g.id == "unitary" else matrix_of(g.id, g.parameter)
            bit = 1 << g.target[0]
            lo = on & ((idx & bit) == 0)
            a, b = psi[idx[lo]], psi[idx[lo] | bit]
            psi[idx[lo]], psi[idx[lo] | bit] = m[0, 0] * a + m[0, 1] * b, m[1, 0] * a + m[1, 1] * b
    return psi


NAMED = ["x", "y", "z", "h", "s", "s_dag", "sqrtx", "sqrtx_dag", "sqrty", "sqrty_dag",
         "rx", "ry", "rz", "phase", "u"]


def random_circuit(rng, n, count, unitaries=False):
    gates = []
    for _ in range(count):
        kind = rng.integers(0, 12)
        qubits = [int(q) for q in rng.permutation(n)]
        if kind < 7 or n == 1:
            name = NAMED[rng.integers(len(NAMED))]
            params = list(rng.uniform(-3, 3, 3 if name == "u" else 1)) if name in (
                "rx", "ry", "rz", "phase", "u") else []
            ncontrols = int(rng.integers(0, min(3, n - 1) + 1)) if kind >= 4 else 0
            controls = qubits[1:1 + ncontrols]
            states = [int(v) for v in rng.integers(0, 2, ncontrols)]
            gates.append(Gate(name, [qubits[0]], controls, states, params))
        elif kind < 9:
            controls = qubits[2:2 + int(rng.integers(0, 2))] if n > 2 else []
            gates.append(Gate("swap", qubits[:2], controls))
        elif kind == 9:
            gates.append(Gate("global_phase", [], parameter=[float(rng.uniform(-3, 3))]))
        elif kind == 10 or not unitaries:
            m = np.linalg.qr(rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2)))[0]
            gates.append(Gate("unitary", [qubits[0]], matrix=m))
        else:
            k = 2 if n < 3 else int(rng.integers(2, 4))
            m = np.linalg.qr(rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k)))[0]
            gates.append(Gate("unitary", qubits[:k], matrix=m))
    return gates


def one_target_only(gates):
    return [g for g in gates if len(g.target) <= 1 or g.id == "swap"]


def random_state(n, dtype, seed):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (psi / np.linalg.norm(psi)).astype(dtype)


def tolerance(dtype):
    return 2e-5 if dtype == "complex64" else 1e-11


OPTION_SETS = [
    {},
    {"densemm_gate_threshold_scale": 0.0},
    {"densemm_gate_threshold_scale": 1e9},
    {"densemm_gate_threshold_scale": 0.0, "densemm_min_qubits": 2, "densemm_max_qubits": 5},
    {"pad_sparsesharemem": False},
    {"fuse_swap": False},
    {"max_gates_per_group": 3},
] + [{"sparsesharemem_qubits": s, "pad_sparsesharemem": s % 2 == 0} for s in range(1, 11)]


@pytest.mark.parametrize("case", range(len(OPTION_SETS)))
@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_fused_chunk_matches_reference_and_pairauto(case, dtype, no_leaks):
    options = OPTION_SETS[case]
    rng = np.random.default_rng(100 + case)
    n = int(rng.integers(2, 15)) if case else 12
    gates = random_circuit(rng, n, 60, unitaries=True)
    psi = random_state(n, dtype, case)

    def work():
        fused = DeviceState.from_numpy(n, psi.copy())
        chunk = tovrek.prepare_fusion_chunk_gates(n, gates, **options)
        assert (chunk.n, chunk.gate_count) == (n, len(gates))
        tovrek.execute_prepared_fusion_chunk(fused, chunk)
        plain = DeviceState.from_numpy(n, psi.copy())
        tovrek.run_circuit_device_gates(plain, gates, mode=tovrek.PairAuto)
        return fused.to_numpy(), plain.to_numpy()

    # A worker thread, so that its DenseMM cache is released when it ends.
    got, plain = run_in_thread(work)
    assert got.dtype == np.dtype(dtype)
    np.testing.assert_allclose(got, plain, atol=tolerance(dtype), rtol=0)
    multi = [g for g in gates if g.id == "unitary" and len(g.target) > 1]
    if not multi:
        np.testing.assert_allclose(got, reference(n, psi, gates),
                                   atol=tolerance(dtype), rtol=0)


def wait_for_thread_exit(baseline=0):
    # join() returns before the native thread has run its thread-local
    # destructors (which release the DenseMM cache); give them a moment.
    if hostcuda is None:
        return
    gc.collect()
    for _ in range(200):
        if hostcuda.live_allocations() <= baseline:
            return
        time.sleep(0.005)


def run_in_thread(fn):
    result = {}

    def body():
        try:
            result["value"] = fn()
        except BaseException as exc:  # re-raised in the caller
            result["error"] = exc

    baseline = hostcuda.live_allocations() if hostcuda else 0
    t = threading.Thread(target=body)
    t.start()
    t.join()
    wait_for_thread_exit(baseline)
    if "error" in result:
        raise result["error"]
    return result["value"]


@requires_host_runtime
@pytest.mark.parametrize("scale, gemm_calls", [(0.0, True), (1e9, False)])
def test_threshold_scale_selects_executor(scale, gemm_calls, no_leaks):
    n = 8
    gates = [Gate("h", [q]) for q in range(3)] + [Gate("x", [1], [0]), Gate("rz", [2], [], None, [0.4])]
    psi = random_state(n, "complex128", 3)

    def work():
        state = DeviceState.from_numpy(n, psi.copy())
        chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=scale)
        tovrek.execute_prepared_fusion_chunk(state, chunk)
        return state.to_numpy()

    got = run_in_thread(work)
    assert (hostcuda.call_count("cublasZgemm") > 0) == gemm_calls
    np.testing.assert_allclose(got, reference(n, psi, gates), atol=1e-12, rtol=0)


@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_pairautofusion_mode_matches_prepared_defaults(dtype, no_leaks):
    rng = np.random.default_rng(7)
    n = 11
    gates = one_target_only(random_circuit(rng, n, 80))
    psi = random_state(n, dtype, 5)

    def work():
        a = DeviceState.from_numpy(n, psi.copy())
        tovrek.run_circuit_device_gates(a, gates, mode=tovrek.PairAutoFusion)
        b = DeviceState.from_numpy(n, psi.copy())
        tovrek.execute_prepared_fusion_chunk(b, tovrek.prepare_fusion_chunk_gates(n, gates))
        return a.to_numpy(), b.to_numpy()

    a, b = run_in_thread(work)
    np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(a, reference(n, psi, gates), atol=tolerance(dtype), rtol=0)


def test_chunk_runs_twice_on_both_precisions(no_leaks):
    n = 6
    gates = [Gate("h", [0]), Gate("rx", [3], [0], [0], [0.8]), Gate("swap", [1, 4]),
             Gate("phase", [5], [], None, [1.1]), Gate("y", [2], [5])]
    chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0.0)
    for dtype in ["complex64", "complex128"]:
        psi = random_state(n, dtype, 9)

        def work():
            state = DeviceState.from_numpy(n, psi.copy())
            tovrek.execute_prepared_fusion_chunk(state, chunk)
            tovrek.execute_prepared_fusion_chunk(state, chunk)
            return state.to_numpy()

        np.testing.assert_allclose(run_in_thread(work), reference(n, psi, gates + gates),
                                   atol=tolerance(dtype), rtol=0)


def test_two_threads_plan_and_execute_at_once(no_leaks):
    n = 9
    barrier = threading.Barrier(2)
    results, errors = {}, []

    def worker(seed, dtype):
        try:
            rng = np.random.default_rng(seed)
            gates = one_target_only(random_circuit(rng, n, 200))
            psi = random_state(n, dtype, seed)
            barrier.wait()
            for _ in range(2):
                state = DeviceState.from_numpy(n, psi.copy())
                chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=seed % 2)
                tovrek.execute_prepared_fusion_chunk(state, chunk)
                results[seed] = (state.to_numpy(), reference(n, psi, gates), dtype)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(s, d)) for s, d in [(20, "complex64"), (21, "complex128")]]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for got, expected, dtype in results.values():
        np.testing.assert_allclose(got, expected, atol=tolerance(dtype), rtol=0)


def dense_chunk(n):
    # Two gates on qubits 0 and 1: with threshold 0 a DenseMM group.
    return tovrek.prepare_fusion_chunk_gates(
        n, [Gate("h", [0]), Gate("x", [1], [0])], densemm_gate_threshold_scale=0.0)


@requires_host_runtime
def test_densemm_cache_grows_is_reused_and_released_at_thread_exit(no_leaks):
    def work():
        mallocs = []
        for n in (10, 12, 10):
            state = DeviceState.zero_state(n)
            before = hostcuda.call_count("cudaMalloc")
            tovrek.execute_prepared_fusion_chunk(state, dense_chunk(n))
            mallocs.append(hostcuda.call_count("cudaMalloc") - before)
            out = state.to_numpy()
            expected = np.zeros(2**n, dtype=complex)
            expected[0] = expected[3] = S2
            np.testing.assert_allclose(out, expected, atol=1e-12)
            del state
        live = hostcuda.live_bytes()
        return mallocs, live

    mallocs, live = run_in_thread(work)
    # Matrix array + two cache buffers, then a bigger pair, then the matrix only.
    assert mallocs == [3, 3, 1]
    assert live == 2 * 2**12 * 16
    wait_for_thread_exit()
    assert hostcuda.live_bytes() == 0


@requires_host_runtime
def test_densemm_cache_moves_to_the_threads_new_device(no_leaks):
    hostcuda.set_device_count(2)

    def work():
        counts = []
        for device in ("cuda:0", "cuda:1"):
            state = DeviceState.zero_state(10, "complex64", device)
            frees, destroys = hostcuda.call_count("cudaFree"), hostcuda.call_count("cublasDestroy")
            creates = hostcuda.call_count("cublasCreate")
            tovrek.execute_prepared_fusion_chunk(state, dense_chunk(10))
            counts.append((hostcuda.call_count("cudaFree") - frees,
                           hostcuda.call_count("cublasDestroy") - destroys,
                           hostcuda.call_count("cublasCreate") - creates))
            assert abs(state.to_numpy()[3] - S2) < 1e-6
        return counts

    # The matrix array is freed each time; the move also frees the two old
    # buffers and the old handle before a new handle is made.
    assert run_in_thread(work) == [(1, 0, 1), (3, 1, 1)]


def test_prepared_chunk_surface():
    with pytest.raises(TypeError):
        tovrek.PreparedFusionChunk()
    chunk = tovrek.prepare_fusion_chunk_gates(3, iter([Gate("h", [0]), Gate("h", [1])]))
    assert (chunk.n, chunk.gate_count) == (3, 2)
    with pytest.raises(AttributeError):
        chunk.n = 4
    # The summary follows pybind11's signature line; details come after it.
    assert tovrek.prepare_fusion_chunk_gates.__doc__.split("\n\n")[1] == (
        "Parse and plan one streamed chunk on the CPU without launching CUDA.")
    assert tovrek.execute_prepared_fusion_chunk.__doc__.split("\n\n")[1] == (
        "Execute one CPU-prepared fusion chunk and wait for its CUDA work.")
    empty = tovrek.prepare_fusion_chunk_gates(2, [])
    state = DeviceState.zero_state(2)
    tovrek.execute_prepared_fusion_chunk(state, empty)
    np.testing.assert_array_equal(state.to_numpy(), [1, 0, 0, 0])


@pytest.mark.parametrize("n", [0, 63, -1])
def test_prepare_rejects_qubit_count(n):
    with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
        tovrek.prepare_fusion_chunk_gates(n, [Gate("h", [0])])


def test_prepare_passes_parse_errors_through():
    with pytest.raises(ValueError):
        tovrek.prepare_fusion_chunk_gates(2, [Gate("nosuchgate", [0])])


def test_execute_rejects_other_qubit_count(no_leaks):
    psi = random_state(3, "complex128", 1)
    state = DeviceState.from_numpy(3, psi.copy())
    chunk = tovrek.prepare_fusion_chunk_gates(4, [Gate("h", [0]), Gate("h", [1])])
    with pytest.raises(ValueError) as err:
        tovrek.execute_prepared_fusion_chunk(state, chunk)
    assert str(err.value) == "DeviceState qubit count does not match prepared fusion chunk"
    np.testing.assert_array_equal(state.to_numpy(), psi)


def test_oversized_sparsesharemem_group_is_refused_before_launch(no_leaks):
    n = 12
    psi = random_state(n, "complex64", 2)
    state = DeviceState.from_numpy(n, psi.copy())
    chunk = tovrek.prepare_fusion_chunk_gates(n, [Gate("h", [0]), Gate("h", [1])], sparsesharemem_qubits=11)
    with pytest.raises(ValueError) as err:
        tovrek.execute_prepared_fusion_chunk(state, chunk)
    assert str(err.value) == "SparseShareMem active qubits must be in [1, 10]"
    np.testing.assert_array_equal(state.to_numpy(), psi)


def sparse_and_dense_chunk(n, dense):
    gates = [Gate("h", [0]), Gate("h", [1])]
    return tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0.0 if dense else 1e9)


@requires_host_runtime
@pytest.mark.parametrize(
    "dense, name, nth, code, message",
    [
        (False, "cudaMalloc", 1, CUDA_ERROR_MEMORY_ALLOCATION, "cudaMalloc SparseShareMem gates: "),
        (False, "cudaMemcpy", 1, CUDA_ERROR_LAUNCH_FAILURE, "cudaMemcpy SparseShareMem gates: "),
        (True, "cudaMalloc", 1, CUDA_ERROR_MEMORY_ALLOCATION, "cudaMalloc DenseMM matrices: "),
        (True, "cudaMemcpy", 1, CUDA_ERROR_LAUNCH_FAILURE, "cudaMemcpy DenseMM matrices: "),
        (True, "cudaGetDevice", 1, CUDA_ERROR_LAUNCH_FAILURE, "cudaGetDevice DenseMM cache: "),
        (True, "cudaSetDevice", 2, CUDA_ERROR_LAUNCH_FAILURE, "cudaSetDevice DenseMM cache: "),
        (True, "cublasCreate", 1, CUBLAS_STATUS_EXECUTION_FAILED, "cublasCreate DenseMM cache failed"),
        (True, "cudaMalloc", 2, CUDA_ERROR_MEMORY_ALLOCATION, "cudaMalloc cached DenseMM transpose buffer: "),
        (True, "cudaMalloc", 3, CUDA_ERROR_MEMORY_ALLOCATION, "cudaMalloc cached DenseMM GEMM buffer: "),
        (True, "cublasSetStream", 1, CUBLAS_STATUS_EXECUTION_FAILED, "cublasSetStream DenseMM failed"),
        (True, "cublasZgemm", 1, CUBLAS_STATUS_EXECUTION_FAILED, "cublasZgemm DenseMM failed"),
        (False, "launch", 1, CUDA_ERROR_LAUNCH_FAILURE, "CUDA error: "),
        (True, "launch", 2, CUDA_ERROR_LAUNCH_FAILURE, "CUDA error: "),
        (False, "cudaStreamSynchronize", 1, CUDA_ERROR_LAUNCH_FAILURE, "CUDA error: "),
    ],
)
def test_execution_failures_report_their_step_and_free_everything(dense, name, nth, code, message, no_leaks):
    n = 6
    psi = random_state(n, "complex128", 4)
    chunk = sparse_and_dense_chunk(n, dense)

    def work():
        state = DeviceState.from_numpy(n, psi.copy())
        hostcuda.fail_nth(name, nth, code)
        with pytest.raises(RuntimeError) as err:
            tovrek.execute_prepared_fusion_chunk(state, chunk)
        text = hostcuda.error_string(code) if message.endswith(": ") else ""
        assert str(err.value) == message + text
        if name not in ("launch", "cudaStreamSynchronize", "cublasSetStream", "cublasZgemm"):
            np.testing.assert_array_equal(state.to_numpy(), psi)
        # The failure left nothing behind, not even a stale last error, that
        # spoils the next execution.
        state = DeviceState.from_numpy(n, psi.copy())
        tovrek.execute_prepared_fusion_chunk(state, chunk)
        return state.to_numpy()

    expected = reference(n, psi, [Gate("h", [0]), Gate("h", [1])])
    np.testing.assert_allclose(run_in_thread(work), expected, atol=1e-12, rtol=0)


@requires_host_runtime
def test_complex64_gemm_failure_names_cgemm(no_leaks):
    def work():
        state = DeviceState.zero_state(5, "complex64")
        hostcuda.fail_nth("cublasCgemm", 1, CUBLAS_STATUS_EXECUTION_FAILED)
        with pytest.raises(RuntimeError, match=r"^cublasCgemm DenseMM failed$"):
            tovrek.execute_prepared_fusion_chunk(state, sparse_and_dense_chunk(5, True))

    run_in_thread(work)


@requires_host_runtime
def test_async_error_surfaces_at_the_final_synchronisation(no_leaks):
    # One gate: an AutoPair group, so no upload observes the error first.
    state = DeviceState.zero_state(4)
    chunk = tovrek.prepare_fusion_chunk_gates(4, [Gate("h", [2])])
    hostcuda.inject_async_error(CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as err:
        tovrek.execute_prepared_fusion_chunk(state, chunk)
    assert str(err.value) == "CUDA error: " + hostcuda.error_string(CUDA_ERROR_LAUNCH_FAILURE)
    np.testing.assert_allclose(state.to_numpy(), [S2, 0, 0, 0, S2, 0, 0, 0] + [0] * 8, atol=1e-12)


@requires_host_runtime
def test_pending_error_surfaces_at_the_workspace_upload(no_leaks):
    state = DeviceState.zero_state(4)
    hostcuda.inject_async_error(CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as err:
        tovrek.execute_prepared_fusion_chunk(state, sparse_and_dense_chunk(4, False))
    assert str(err.value) == "cudaMemcpy SparseShareMem gates: " + hostcuda.error_string(
        CUDA_ERROR_LAUNCH_FAILURE)


@requires_host_runtime
def test_kernels_do_not_depend_on_thread_order(no_leaks):
    n = 10
    rng = np.random.default_rng(77)
    gates = one_target_only(random_circuit(rng, n, 120))
    psi = random_state(n, "complex128", 8)
    hostcuda.set_shuffle(1234)

    def work():
        outs = []
        for scale in (0.0, 1e9):
            state = DeviceState.from_numpy(n, psi.copy())
            tovrek.execute_prepared_fusion_chunk(
                state, tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=scale))
            outs.append(state.to_numpy())
        return outs

    for out in run_in_thread(work):
        np.testing.assert_allclose(out, reference(n, psi, gates), atol=1e-11, rtol=0)


# A gate the runner refuses, with PairAuto's message; each lands in a fused
# group (or, for the arity case, between two) of the chunk around it.
BAD_GATES = [
    (Gate("x", [1], [1]), "control qubit must not be a target."),
    (Gate("swap", [1, 2], [2]), "control qubit must not be a target."),
    (Gate("x", [1], [0, 0], [1, 1]), "control qubits must be distinct."),
    (Gate("rz", [2], [0, 0], [1, 0], [0.3]), "control qubits must be distinct."),
    (Gate("x", [1], [0], [2]), "control_state must contain only 0/1"),
    (Gate("h", [1], [0], [-1]), "control_state must contain only 0/1"),
    (Gate("x", [1], [7]), "control qubit index must be in [0, n)"),
    (Gate("h", [9]), "target qubit index must be in [0, n)"),
    (Gate("h", [-1]), "target qubit index must be in [0, n)"),
    (Gate("rx", [3], parameter=[0.1, 0.2]), "RX gate requires exactly one parameter."),
]


@pytest.mark.parametrize("bad, message", BAD_GATES)
@pytest.mark.parametrize("route", ["PairAutoFusion", "prepared SparseShareMem", "prepared DenseMM"])
def test_fused_paths_refuse_what_pairauto_refuses_before_anything_runs(bad, message, route,
                                                                        no_leaks):
    # Qubits 0-3 of 5: the group is DenseMM when the threshold is off.
    gates = [Gate("h", [0]), Gate("h", [1]), bad, Gate("h", [2]), Gate("h", [3]), Gate("x", [0])]
    psi = random_state(5, "complex128", 5)
    pairauto = DeviceState.from_numpy(5, psi.copy())
    with pytest.raises(ValueError) as err:
        tovrek.run_circuit_device_gates(pairauto, gates)
    assert str(err.value) == message
    state = DeviceState.from_numpy(5, psi.copy())
    with pytest.raises(ValueError) as err:
        if route == "PairAutoFusion":
            tovrek.run_circuit_device_gates(state, gates, mode=tovrek.PairAutoFusion)
        else:
            scale = 0.0 if route.endswith("DenseMM") else 1e9
            tovrek.prepare_fusion_chunk_gates(5, gates, densemm_gate_threshold_scale=scale)
    assert str(err.value) == message
    np.testing.assert_array_equal(state.to_numpy(), psi)


DENSE_LIMIT = "^DenseMM matrices of the fusion plan would exceed 1 GiB$"


@pytest.mark.parametrize("n, k", [(30, 25), (16, 14)])
def test_plan_with_dense_matrices_over_one_gib_is_refused_before_allocating(n, k):
    # One DenseMM group over k qubits would need 16 * 4^k bytes on the host.
    gates = [Gate("h", [q]) for q in range(k)]
    with pytest.raises(ValueError, match=DENSE_LIMIT):
        tovrek.prepare_fusion_chunk_gates(n, gates, sparsesharemem_qubits=n, densemm_max_qubits=n,
                                          densemm_gate_threshold_scale=0.0)


def test_long_planning_answers_ctrl_c(no_leaks):
    # One DenseMM group of 10 qubits and 16384 gates: tens of seconds of
    # matrix building on the host when nobody interrupts it.
    import _thread
    gates = [Gate("sqrtx", [q % 10]) for q in range(16384)]
    timer = threading.Timer(0.3, _thread.interrupt_main)
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tovrek.prepare_fusion_chunk_gates(11, gates, densemm_max_qubits=10,
                                              densemm_gate_threshold_scale=0.0,
                                              max_gates_per_group=16384)
    finally:
        timer.join()
    assert time.monotonic() - start < 3
    chunk = tovrek.prepare_fusion_chunk_gates(11, gates[:4])  # a healthy call afterwards
    assert chunk.gate_count == 4
