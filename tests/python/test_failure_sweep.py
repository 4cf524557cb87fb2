"""Every runtime and cuBLAS call that an operation of either module reaches,
failed in turn. For each operation, a clean run counts the calls of every
function; then, for every function f and every k up to its count, the k-th
call of f fails and the sweep checks (a) the exception's class and
documented form, or, where the failing call is one the modules deliberately
ignore, the clean run's result; (b) live device allocations back where they
were; (c) a healthy named gate, unitary, fused group and measurement on the
same thread, with the right results. The runtime's last error is not reset
between the failure and (c): an error the failing call left behind would
spoil it.

Each case runs on a fresh thread, so that the DenseMM cache (per thread) is
built, grown or moved inside the operation and released when the thread
ends; the allocation count is compared again after that."""
import os
import re

import numpy as np
import pytest

from conftest import CUBLAS_STATUS_EXECUTION_FAILED, requires_host_runtime
from density_reference import Gate as DensityGate
from density_reference import Kraus, channel, random_density, random_unitary
from fresh_thread import on_fresh_thread
from gate_reference import gate, gate_object, random_matrix, random_state
from qalvane import rhomira, tovrek

pytestmark = requires_host_runtime
if not hasattr(tovrek, "_hostcuda"):
    # The operation table below names the host runtime's counters.
    pytest.skip("needs the host runtime's fault injection", allow_module_level=True)

# A code no healthy call of the host runtime returns, so its text in a
# message can only come from the injection.
RUNTIME_CODE = 214  # cudaErrorECCUncorrectable
RUNTIME_FUNCTIONS = [
    "cudaGetDeviceCount", "cudaSetDevice", "cudaGetDevice", "cudaMalloc", "cudaFree", "cudaMemset",
    "cudaMemsetAsync", "cudaMemcpy", "cudaMemcpyAsync", "cudaHostRegister", "cudaHostUnregister",
    "cudaStreamSynchronize", "cudaDeviceSynchronize", "launch",
]
CUBLAS_FUNCTIONS = ["cublasCreate", "cublasDestroy", "cublasSetStream", "cublasCgemm", "cublasZgemm"]

LAUNCHERS = (r"cu_[a-z_]+|channel|density_sparsesharemem|diagonal|permutation|unitary"
             r"|unitary_channel")
STEPS = {
    "cudaMalloc": ["SparseShareMem gates", "DenseMM matrices", "cached DenseMM transpose buffer",
                   "cached DenseMM GEMM buffer"],
    "cudaMemcpy": ["SparseShareMem gates", "DenseMM matrices"],
    "cudaGetDevice": ["DenseMM cache"],
    "cudaSetDevice": ["DenseMM cache"],
}
CUBLAS_STEPS = {
    "cublasCreate": "cublasCreate DenseMM cache failed",
    "cublasSetStream": "cublasSetStream DenseMM failed",
    "cublasCgemm": "cublasCgemm DenseMM failed",
    "cublasZgemm": "cublasZgemm DenseMM failed",
}
# Calls whose failure the modules ignore (registration, releases in
# destructors and caches): the operation may then succeed.
MAY_SUCCEED = {"cudaHostRegister", "cudaFree", "cudaSetDevice", "cublasDestroy"}


def documented_form(function, message, text):
    """Whether `message` is a documented report of `function` failing with `text`."""
    if function in CUBLAS_STEPS:
        return message == CUBLAS_STEPS[function]
    forms = [re.escape("CUDA error: " + text)]
    forms += [re.escape(f"{function} {step}: {text}") for step in STEPS.get(function, [])]
    if function == "cudaGetDevice":
        forms = forms[1:]
    if function == "launch":
        forms += [rf"(?:{LAUNCHERS}) kernel launch failed: " + re.escape(text),
                  r"kraus_kernel launch failed: " + re.escape(text)]
    return any(re.fullmatch(form, message) for form in forms)


def basis(n, index, dtype=np.complex128):
    psi = np.zeros(2**n, dtype)
    psi[index] = 1
    return psi


# ---- operations: setup() runs before the counters are reset, run(inputs) is swept


class Op:
    def __init__(self, name, runtime, setup, run, devices=1, cache=False, env=None):
        self.name, self.runtime, self.setup, self.run = name, runtime, setup, run
        self.devices, self.cache, self.env = devices, cache, env


def state_ops():
    psi = random_state(3, np.complex128, 2)
    ops = [Op(f"zero_state {dtype}", tovrek._hostcuda, lambda: None,
              lambda _, d=dtype: tovrek.DeviceState.zero_state(3, d).to_numpy())
           for dtype in ("complex64", "complex128")]
    for pinned in (False, True):
        def copies(_, pinned=pinned):
            state = tovrek.DeviceState.from_numpy(3, psi.copy(), use_pinned_host=pinned)
            out = np.zeros_like(psi)
            state.copy_to_numpy(out, use_pinned_host=pinned)
            return state.to_numpy(use_pinned_host=pinned), out

        ops.append(Op(f"from_numpy/to_numpy pinned={pinned}", tovrek._hostcuda, lambda: None,
                      copies))
        ops.append(Op(f"run_circuit pinned={pinned}", tovrek._hostcuda, lambda: None,
                      lambda _, p=pinned: tovrek.run_circuit(
                          3, psi.copy(), [gate("h", [0]), gate("x", [2], [0], [1])],
                          use_pinned_host=p)))
        # A basis state: the outcome of the fresh random seed is certain.
        ops.append(Op(f"measure pinned={pinned}", tovrek._hostcuda, lambda: None,
                      lambda _, p=pinned: (lambda a: (tovrek.measure(3, a, [0, 2],
                                                                     use_pinned_host=p), a))(
                          basis(3, 5))))
    return ops


NAMED = [gate("x", [0]), gate("x", [2], [0], [1]), gate("y", [1]), gate("z", [0], [2], [0]),
         gate("h", [2]), gate("s", [1]), gate("s_dag", [0]), gate("sqrtx", [3]),
         gate("sqrtx_dag", [0], [1], [1]), gate("sqrty", [2]), gate("sqrty_dag", [1]),
         gate("phase", [3], [], [], [0.3]), gate("rx", [0], [], [], [0.4]),
         gate("ry", [2], [3], [1], [0.5]), gate("rz", [1], [], [], [0.6]),
         gate("u", [0], [], [], [0.1, 0.2, 0.3]), gate("swap", [0, 3]),
         gate("swap", [1, 2], [0], [1]), gate("global_phase", [], [], [], [0.7])]


def gate_ops():
    psi = random_state(4, np.complex128, 3)
    ops = []

    def on_state(gates, mode, n=4, start=psi):
        def run(state):
            tovrek.run_circuit_device(state, gates, mode=mode)
            return state.to_numpy()
        return (lambda: tovrek.DeviceState.from_numpy(n, start.copy())), run

    for mode in ("AllState", "Pair", "PairAuto", "PairAutoFusion"):
        setup, run = on_state(NAMED, getattr(tovrek.KernelMode, mode))
        ops.append(Op(f"named gates {mode}", tovrek._hostcuda, setup, run))
    # Square roots weigh enough for the default cost model to pick DenseMM.
    roots = [gate("sqrtx" if i % 2 else "sqrty", [i % 2]) for i in range(10)]
    setup, run = on_state(roots + [gate("x", [1], [0], [1])], tovrek.KernelMode.PairAutoFusion)
    ops.append(Op("runner PairAutoFusion DenseMM", tovrek._hostcuda, setup, run, cache=True))
    psi7 = random_state(7, np.complex128, 4)
    for k in range(1, 8):
        targets = [(3 * j + 1) % 7 for j in range(k)]
        controls = [q for q in range(7) if q not in targets][:1]
        u = gate("unitary", targets, controls, [1] * len(controls),
                 matrix=random_matrix(2**k, k))
        setup, run = on_state([u], tovrek.KernelMode.PairAuto, 7, psi7)
        ops.append(Op(f"unitary on {k} targets", tovrek._hostcuda, setup, run))
    # Nine targets go through a scratch buffer.
    psi10 = random_state(10, np.complex128, 7)
    u = gate("unitary", [(3 * j + 1) % 10 for j in range(9)], [8], [0], matrix=np.eye(512) * 1j)
    setup, run = on_state([u], tovrek.KernelMode.PairAuto, 10, psi10)
    ops.append(Op("unitary on 9 targets", tovrek._hostcuda, setup, run))
    return ops


def chunk_ops():
    ops = []
    G = gate_object  # noqa: N806
    gates = [G("h", [0]), G("h", [1]), G("x", [1], [0], [1]), G("rz", [2], parameter=[0.4]),
             G("unitary", [0, 1, 2], matrix=random_matrix(8, 9)), G("swap", [0, 2]), G("y", [3])]
    psi = random_state(5, np.complex128, 5)
    for label, scale, dtype in [("SparseShareMem", 1e9, np.complex128),
                                ("DenseMM", 0.0, np.complex128), ("DenseMM", 0.0, np.complex64)]:
        chunk = tovrek.prepare_fusion_chunk_gates(5, gates, densemm_gate_threshold_scale=scale)

        def run(state, chunk=chunk):
            tovrek.execute_prepared_fusion_chunk(state, chunk)
            return state.to_numpy()

        ops.append(Op(f"prepared chunk {label} {np.dtype(dtype)}", tovrek._hostcuda,
                      lambda d=dtype: tovrek.DeviceState.from_numpy(5, psi.astype(d)), run,
                      cache=scale == 0.0))

    # Two slices through the DenseMM scratch: every step of the second one.
    wide = tovrek.prepare_fusion_chunk_gates(19, [G("h", [2]), G("x", [15], [2], [1])],
                                             densemm_gate_threshold_scale=0.0)
    psi19 = random_state(19, np.complex64, 5)

    def sliced(state):
        tovrek.execute_prepared_fusion_chunk(state, wide)
        return state.to_numpy()

    ops.append(Op("prepared chunk DenseMM in slices complex64", tovrek._hostcuda,
                  lambda: tovrek.DeviceState.from_numpy(19, psi19), sliced, cache=True))

    # The thread's DenseMM cache moves from device 0 to device 1.
    chunk = tovrek.prepare_fusion_chunk_gates(5, gates[:4], densemm_gate_threshold_scale=0.0)

    def two_devices(states):
        for state in states:
            tovrek.execute_prepared_fusion_chunk(state, chunk)
        return [state.to_numpy() for state in states]

    def setup_two():
        tovrek._hostcuda.set_device_count(2)
        return [tovrek.DeviceState.from_numpy(5, psi.copy(), device=f"cuda:{d}") for d in (0, 1)]

    ops.append(Op("DenseMM cache moves device", tovrek._hostcuda, setup_two, two_devices,
                  devices=2, cache=True))
    return ops


def measure_ops():
    psi = random_state(4, np.complex128, 6)

    def measure(state):
        return tovrek.measure_device(state, [0, 2], seed=5), state.to_numpy()

    def sample(state):
        counts, last = tovrek.sample_measure_device(state, [1, 3], 40, seed=3)
        return sorted(counts.items()), last, state.to_numpy()

    setup = lambda: tovrek.DeviceState.from_numpy(4, psi.copy())  # noqa: E731
    return [Op("measure_device", tovrek._hostcuda, setup, measure),
            Op("sample_measure_device", tovrek._hostcuda, setup, sample)]


def density_ops():
    rng = np.random.default_rng(7)
    rho3, rho8 = random_density(3, rng), random_density(8, rng)
    ops = []
    for dtype in ("complex64", "complex128"):
        def factories(_, dtype=dtype):
            zero = rhomira.DeviceDensityState.zero_state(2, dtype).to_numpy()
            state = rhomira.DeviceDensityState.from_numpy(3, rho3.astype(dtype))
            return zero, state.to_numpy(), state.copy().to_numpy()

        ops.append(Op(f"density factories {dtype}", rhomira._hostcuda, lambda: None, factories))
    small = [DensityGate("x", [0]), DensityGate("swap", [1, 2], [0], [1]),
             DensityGate("rz", [1], parameter=[0.3]), DensityGate("gp", [0], parameter=[0.2]),
             DensityGate("h", [2]), DensityGate("unitary", [0, 2], [1], [0],
                                                matrix=random_unitary(2, rng)),
             channel("depolarizing", 1, 0.2), channel("amplitude_damping", 0, 0.3),
             Kraus([0, 1], [0.5 * random_unitary(2, rng) for _ in range(4)])]
    wide = [DensityGate("h", [q]) for q in range(4)] + [DensityGate("x", [1], [0], [1])] + [
        DensityGate("ry", [5], parameter=[0.3]), channel("phase_damping", 5, 0.2),
        DensityGate("unitary", [6, 7], matrix=random_unitary(2, rng)), channel("bit_flip", 6, 0.1)]
    for label, n, rho, opers, fusion in [("unfused", 3, rho3, small, None),
                                         ("fused", 8, rho8, wide, "1")]:
        def run(state, n=n, opers=opers):
            rhomira.run_density_operations_device(state, n, opers)
            return state.to_numpy()

        ops.append(Op(f"density operations {label}", rhomira._hostcuda,
                      lambda n=n, rho=rho: rhomira.DeviceDensityState.from_numpy(n, rho), run,
                      env=fusion))

    def measure(state):
        return rhomira.measure_device(state, [0, 2], seed=4), state.to_numpy()

    ops.append(Op("density measure_device", rhomira._hostcuda,
                  lambda: rhomira.DeviceDensityState.from_numpy(3, rho3), measure))
    return ops


OPERATIONS = state_ops() + gate_ops() + chunk_ops() + measure_ops() + density_ops()


# ---- healthy work on the thread that saw the failure

HEALTHY_CHUNKS = [tovrek.prepare_fusion_chunk_gates(3, [gate_object("h", [q]) for q in (0, 1)],
                                                    densemm_gate_threshold_scale=scale)
                  for scale in (0.0, 1e9)]
CYCLE = np.roll(np.eye(8), 1, axis=0)  # |j> -> |j + 1 mod 8>


def healthy_tovrek():
    state = tovrek.DeviceState.zero_state(2)
    tovrek.run_circuit_device(state, [gate("h", [0]), gate("x", [1], [0], [1])])
    np.testing.assert_allclose(state.to_numpy(), [2**-0.5, 0, 0, 2**-0.5], atol=1e-15)
    state = tovrek.DeviceState.from_numpy(3, basis(3, 6))
    tovrek.run_circuit_device(state, [gate("unitary", [0, 1, 2], matrix=CYCLE)])
    np.testing.assert_array_equal(state.to_numpy(), basis(3, 7))
    for chunk in HEALTHY_CHUNKS:
        state = tovrek.DeviceState.zero_state(3)
        tovrek.execute_prepared_fusion_chunk(state, chunk)
        np.testing.assert_allclose(state.to_numpy(), [0.5] * 4 + [0] * 4, atol=1e-15)
    state = tovrek.DeviceState.from_numpy(2, basis(2, 2))
    assert tovrek.measure_device(state, [1, 0], seed=1) == "10"
    np.testing.assert_array_equal(state.to_numpy(), basis(2, 2))


def healthy_rhomira():
    state = rhomira.DeviceDensityState.zero_state(1)
    rhomira.run_density_operations_device(state, 1, [DensityGate("x", [0])])
    np.testing.assert_array_equal(state.to_numpy(), [[0, 0], [0, 1]])
    state = rhomira.DeviceDensityState.zero_state(3)
    rhomira.run_density_operations_device(state, 3, [DensityGate("unitary", [0, 1, 2],
                                                                 matrix=CYCLE)])
    np.testing.assert_allclose(state.to_numpy(), np.diag(basis(3, 1)), atol=1e-15)
    # Fused: four active qubits on eight.
    state = rhomira.DeviceDensityState.zero_state(8)
    with density_fusion("1"):
        rhomira.run_density_operations_device(state, 8, [DensityGate("h", [q]) for q in range(4)])
    expected = np.zeros((256, 256))
    expected[:16, :16] = 1 / 16
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-14)
    state = rhomira.DeviceDensityState.from_numpy(2, np.diag(basis(2, 1)))
    assert rhomira.measure_device(state, [1, 0], seed=2) == "01"


HEALTHY = {id(tovrek._hostcuda): healthy_tovrek, id(rhomira._hostcuda): healthy_rhomira}


class density_fusion:
    def __init__(self, value):
        self.value = value

    def __enter__(self):
        self.saved = os.environ.pop("QALVANE_DENSITY_FUSION", None)
        if self.value is not None:
            os.environ["QALVANE_DENSITY_FUSION"] = self.value

    def __exit__(self, *_):
        os.environ.pop("QALVANE_DENSITY_FUSION", None)
        if self.saved is not None:
            os.environ["QALVANE_DENSITY_FUSION"] = self.saved


# ---- one case


def counts_of(runtime):
    return {f: runtime.call_count(f) for f in RUNTIME_FUNCTIONS + CUBLAS_FUNCTIONS}


def run_case(op, failing=None, at_exit=False):
    """Runs op on a fresh thread, failing call `failing` = (function, k) if
    given, and then, unless that call comes when the thread ends, the
    healthy work. Returns the call counts when op returned and when the
    thread had ended, op's result or None, and (class, message) or None."""
    runtime = op.runtime

    def body():
        inputs = op.setup()
        runtime.reset()
        runtime.set_device_count(op.devices)
        before = runtime.live_allocations()
        if failing is not None:
            function, k = failing
            runtime.fail_nth(function, k, CUBLAS_STATUS_EXECUTION_FAILED
                             if function.startswith("cublas") else RUNTIME_CODE)
        value, error = None, None
        with density_fusion(op.env):
            try:
                value = op.run(inputs)
            except Exception as exc:  # noqa: BLE001 - class and text are checked
                error = (type(exc), str(exc))
        counts = counts_of(runtime)
        if failing is not None and not at_exit:
            assert counts[failing[0]] >= failing[1], "the injected failure did not fire"
            # (b): whatever the operation allocated is gone again; only the
            # thread's DenseMM cache (two buffers) stays until the thread ends.
            extra = runtime.live_allocations() - before
            assert extra in ((0, 2) if op.cache else (0,)), f"{extra} allocations left"
            HEALTHY[id(runtime)]()  # (c)
        return counts, value, error

    counts, value, error = on_fresh_thread(body)
    return counts, counts_of(runtime), value, error


def same(a, b):
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b)
    return a == b


def sweep(op):
    """Returns the clean run's counts (thread end included) and the number
    of cases swept."""
    runtime = op.runtime
    baseline = runtime.live_allocations()
    during, total, clean, error = run_case(op)
    assert error is None, error
    assert runtime.live_allocations() == baseline
    cases = [(f, k, k > during[f]) for f, count in total.items() for k in range(1, count + 1)]
    for function, k, at_exit in cases:
        _, after, value, error = run_case(op, (function, k), at_exit)
        where = f"{op.name}: {function} #{k}"
        assert after[function] >= k, f"{where}: the injected failure did not fire"
        if error is None:
            assert function in MAY_SUCCEED, f"{where}: the failure went unreported"
            assert same(value, clean), f"{where}: wrong result after an ignored failure"
        else:
            kind, message = error
            text = runtime.error_string(RUNTIME_CODE)
            assert kind is RuntimeError and documented_form(function, message, text), \
                f"{where}: {kind.__name__}: {message}"
        assert runtime.live_allocations() == baseline, f"{where}: allocations left"
    return total, len(cases)


@pytest.mark.parametrize("op", OPERATIONS, ids=[op.name for op in OPERATIONS])
def test_every_failing_call_is_reported_and_leaves_nothing(op, no_leaks):
    counts, swept = sweep(op)
    assert swept > 0
    used = {f for f, c in counts.items() if c}
    # The operation reaches what its name promises.
    if "DenseMM" in op.name:
        assert {"cublasCreate", "cublasSetStream"} <= used
    if "SparseShareMem" in op.name:
        assert not used & {"cublasCgemm", "cublasZgemm"}
    if "pinned=True" in op.name:
        assert {"cudaHostRegister", "cudaHostUnregister"} <= used
