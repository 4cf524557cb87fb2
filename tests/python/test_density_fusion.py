"""Density fusion: with QALVANE_DENSITY_FUSION set, noisy circuits give the
unfused result; launch counts show which groups were fused or merged."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_LAUNCH_FAILURE, CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime
from density_reference import (CHANNELS, Gate, Kraus, apply_kraus, channel, channel_operators,
                               conjugate, controlled_operator, random_density, random_unitary,
                               tolerance)
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
DTYPES = ["complex64", "complex128"]
ONE_TARGET = ["h", "x", "y", "sqrtx", "rx", "ry", "u", "rz", "p", "s", "t_dag", "z", "gp"]
PARAMS = {"rx": 1, "ry": 1, "rz": 1, "p": 1, "gp": 1, "u": 3}


def random_circuit(n, count, seed, wide=True):
    rng = np.random.default_rng(seed)
    ops = []
    for _ in range(count):
        roll = rng.random()
        if wide and roll < 0.08:
            a, b = rng.choice(n, 2, replace=False).tolist()
            pick = rng.integers(3)
            if pick == 0:
                ops.append(Gate("swap", [a, b]))
            elif pick == 1:
                ops.append(Gate("unitary", [a, b], matrix=random_unitary(2, rng)))
            else:
                ops.append(Kraus([a, b], [0.5 * random_unitary(2, rng) for _ in range(4)]))
        elif roll < 0.35:
            name = CHANNELS[rng.integers(len(CHANNELS))]
            ops.append(channel(name, int(rng.integers(n)), float(rng.uniform(0.05, 0.5))))
        else:
            name = ONE_TARGET[rng.integers(len(ONE_TARGET))]
            qubits = rng.choice(n, 3, replace=False).tolist()
            controls = qubits[1:1 + int(rng.integers(3))] if rng.random() < 0.4 else []
            states = rng.integers(2, size=len(controls)).tolist()
            params = rng.uniform(-3, 3, PARAMS.get(name, 0)).tolist()
            if rng.random() < 0.1:
                ops.append(Gate("m", qubits[:1], controls, states,
                                matrix=random_unitary(1, rng)))
            else:
                ops.append(Gate(name, qubits[:1], controls, states, params))
    return ops


def run(n, rho, ops, monkeypatch, fusion):
    if fusion is None:
        monkeypatch.delenv("QALVANE_DENSITY_FUSION", raising=False)
    else:
        monkeypatch.setenv("QALVANE_DENSITY_FUSION", fusion)
    state = State.from_numpy(n, rho)
    rhomira.run_density_operations_device(state, n, ops)
    return state.to_numpy()


def launches(n, ops, monkeypatch, fusion):
    before = hostcuda.call_count("launch")
    run(n, random_density(n, np.random.default_rng(1)), ops, monkeypatch, fusion)
    return hostcuda.call_count("launch") - before


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, count, seed", [(5, 40, 1), (6, 40, 2), (7, 40, 3), (8, 60, 4),
                                            (8, 60, 5), (9, 40, 6)])
def test_fused_equals_unfused(dtype, n, count, seed, monkeypatch, no_leaks):
    ops = random_circuit(n, count, seed)
    rho = random_density(n, np.random.default_rng(seed), dtype)
    unfused = run(n, rho, ops, monkeypatch, None)
    fused = run(n, rho, ops, monkeypatch, "1")
    np.testing.assert_allclose(fused, unfused, atol=10 * tolerance(dtype))


@requires_host_runtime
def test_twenty_gates_on_four_qubits_fuse_into_one_launch(monkeypatch):
    n = 8
    rng = np.random.default_rng(7)
    ops = [Gate(ONE_TARGET[i % len(ONE_TARGET)], [i % 4], parameter=rng.uniform(-2, 2, 3)[
        :PARAMS.get(ONE_TARGET[i % len(ONE_TARGET)], 0)].tolist()) for i in range(20)]
    assert launches(n, ops, monkeypatch, "1") == 1
    rho = random_density(n, np.random.default_rng(2))
    np.testing.assert_allclose(run(n, rho, ops, monkeypatch, "yes"),
                               run(n, rho, ops, monkeypatch, None), atol=1e-12)


@requires_host_runtime
@pytest.mark.parametrize("n", [5, 6, 7])
def test_no_fused_group_below_eight_qubits(n, monkeypatch):
    ops = [Gate("h", [q % n], parameter=[]) for q in range(12)] + [Gate("x", [1], [0], [1])]
    assert launches(n, ops, monkeypatch, "1") == launches(n, ops, monkeypatch, None) == len(ops)


@requires_host_runtime
@pytest.mark.parametrize("value, fused", [("", False), ("0", False), ("0yes", False),
                                          ("1", True), ("false", True), (" ", True)])
def test_variable_switches_fusion(value, fused, monkeypatch):
    ops = [Gate("h", [q % 4]) for q in range(8)]
    assert launches(8, ops, monkeypatch, value) == (1 if fused else 8)
    # Four qubits or fewer always run unfused.
    assert launches(4, ops, monkeypatch, value) == 8


@requires_host_runtime
@pytest.mark.parametrize("dtype", DTYPES)
def test_unitary_then_channel_merge_in_single_qubit_runs(dtype, monkeypatch, no_leaks):
    n = 5
    rng = np.random.default_rng(9)
    u = random_unitary(1, rng)
    ops = [Gate("h", [2]), channel("amplitude_damping", 2, 0.3), Gate("m", [2], matrix=u),
           channel("depolarizing", 2, 0.2), channel("phase_flip", 2, 0.1), Gate("rz", [2], parameter=[0.4]),
           Gate("ry", [2], parameter=[1.1])]
    assert launches(n, ops, monkeypatch, "1") == 5
    rho = random_density(n, np.random.default_rng(3), dtype)
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    expected = conjugate(rho.astype(complex), controlled_operator(h, n, [2]))
    expected = apply_kraus(expected, channel_operators("amplitude_damping", 0.3), n, [2])
    expected = conjugate(expected, controlled_operator(u, n, [2]))
    expected = apply_kraus(expected, channel_operators("depolarizing", 0.2), n, [2])
    expected = apply_kraus(expected, channel_operators("phase_flip", 0.1), n, [2])
    expected = conjugate(expected, controlled_operator(np.diag(np.exp([-0.2j, 0.2j])), n, [2]))
    c, s = np.cos(0.55), np.sin(0.55)
    expected = conjugate(expected, controlled_operator(np.array([[c, -s], [s, c]]), n, [2]))
    np.testing.assert_allclose(run(n, rho, ops, monkeypatch, "1"), expected,
                               atol=10 * tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_fused_group_with_local_controls_and_channels(dtype, monkeypatch):
    n = 9
    ops = [Gate("h", [4]), Gate("cx", [5], [4], [1]), channel("bit_flip", 5, 0.2),
           Gate("cz", [6], [4], [0]), Gate("x", [7], [6, 5], [1, 0]), channel("phase_damping", 4, 0.3),
           Gate("gp", [8], [7], [1], [0.7]), Gate("gp", [3, 2], parameter=[0.1, 0.2]),
           channel("amplitude_damping", 8, 0.6), Gate("s", [8], [5], [1])]
    rho = random_density(n, np.random.default_rng(4), dtype)
    np.testing.assert_allclose(run(n, rho, ops, monkeypatch, "1"), run(n, rho, ops, monkeypatch, None),
                               atol=10 * tolerance(dtype))


@requires_host_runtime
@pytest.mark.parametrize("name, nth", [("cudaMalloc", 1), ("cudaMemcpy", 1)])
def test_record_upload_failure_leaves_state(name, nth, monkeypatch, no_leaks):
    # Only diagonal, X and channel operations: no matrix pool, so the first
    # allocation and copy are those of the fused records.
    ops = [Gate("x", [q % 4]) for q in range(4)] + [Gate("rz", [1], parameter=[0.3]),
                                                   channel("bit_flip", 2, 0.1)]
    monkeypatch.setenv("QALVANE_DENSITY_FUSION", "1")
    rho = random_density(8, np.random.default_rng(5))
    state = State.from_numpy(8, rho)
    code = CUDA_ERROR_MEMORY_ALLOCATION
    hostcuda.fail_nth(name, nth, code)
    with pytest.raises(RuntimeError) as info:
        rhomira.run_density_operations_device(state, 8, ops)
    assert str(info.value) == "CUDA error: " + hostcuda.error_string(code)
    hostcuda.reset()
    np.testing.assert_array_equal(state.to_numpy(), rho)


@requires_host_runtime
def test_record_upload_failure_frees_pool(monkeypatch, no_leaks):
    ops = [Gate("h", [q % 4]) for q in range(6)]
    monkeypatch.setenv("QALVANE_DENSITY_FUSION", "1")
    state = State.zero_state(8)
    hostcuda.fail_nth("cudaMalloc", 2, CUDA_ERROR_MEMORY_ALLOCATION)
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        rhomira.run_density_operations_device(state, 8, ops)


@requires_host_runtime
def test_fused_launch_failure_message(monkeypatch, no_leaks):
    ops = [Gate("h", [q % 4]) for q in range(6)]
    monkeypatch.setenv("QALVANE_DENSITY_FUSION", "1")
    state = State.zero_state(8)
    hostcuda.fail_nth("launch", 1, CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as info:
        rhomira.run_density_operations_device(state, 8, ops)
    assert str(info.value) == ("density_sparsesharemem kernel launch failed: "
                               + hostcuda.error_string(CUDA_ERROR_LAUNCH_FAILURE))
