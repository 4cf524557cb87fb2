"""Built-in noise channels, general Kraus sets and their launch failures,
against dense NumPy Kraus sums."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_LAUNCH_FAILURE, requires_host_runtime
from density_reference import (CHANNELS, Gate, Kraus, apply_kraus, channel, channel_operators,
                               conjugate, controlled_operator, named_matrix, random_density,
                               random_unitary, tolerance)
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
DTYPES = ["complex64", "complex128"]


def run(n, rho, operations):
    state = State.from_numpy(n, np.asarray(rho))
    rhomira.run_density_operations_device(state, n, operations)
    return state.to_numpy()


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", CHANNELS)
@pytest.mark.parametrize("n, target", [(1, 0), (3, 1), (4, 3)])
def test_builtin_channel_matches_kraus_sum(dtype, name, n, target, no_leaks):
    rho = random_density(n, np.random.default_rng(n * 7 + target), dtype)
    operators = channel_operators(name, 0.3)
    expected = apply_kraus(rho.astype(complex), operators, n, [target])
    builtin = run(n, rho, [channel(name, target, 0.3)])
    general = run(n, rho, [Kraus([target], operators)])
    np.testing.assert_allclose(builtin, expected, atol=tolerance(dtype))
    np.testing.assert_allclose(general, expected, atol=tolerance(dtype))


PLUS = np.full((2, 2), 0.5, dtype=complex)


@pytest.mark.parametrize("dtype", DTYPES)
def test_closed_form_cases(dtype):
    zero = np.diag([1, 0]).astype(dtype)
    one = np.diag([0, 1]).astype(dtype)
    # sqrt(0.5)^2 is read back as p, so the halves are exact only to rounding.
    np.testing.assert_allclose(run(1, zero, [channel("bit_flip", 0, 0.5)]), np.eye(2) / 2,
                               atol=1e-15)
    rho = random_density(1, np.random.default_rng(3), dtype)
    np.testing.assert_array_equal(run(1, rho, [channel("bit_flip", 0, 0.0)]), rho)
    np.testing.assert_allclose(run(1, PLUS.astype(dtype), [channel("phase_flip", 0, 0.5)]),
                               np.eye(2) / 2, atol=1e-15)
    np.testing.assert_allclose(run(1, rho, [channel("depolarizing", 0, 0.75)]), np.eye(2) / 2,
                               atol=tolerance(dtype))
    np.testing.assert_array_equal(run(1, one, [channel("amplitude_damping", 0, 1.0)]), zero)
    out = run(1, rho, [channel("phase_damping", 0, 0.25)])
    np.testing.assert_array_equal(np.diag(out), np.diag(rho))
    np.testing.assert_allclose(out[0, 1], rho[0, 1] * 0.75, rtol=tolerance(dtype))


def test_channel_name_with_other_count_is_general_kraus():
    rho = random_density(2, np.random.default_rng(4))
    operators = channel_operators("bit_flip", 0.1)
    out = run(2, rho, [Kraus([1], operators, "depolarizing")])
    np.testing.assert_allclose(out, apply_kraus(rho, operators, 2, [1]), atol=1e-12)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("targets", [[2], [0, 3], [3, 1], [2, 0, 3], [1, 3, 0]])
def test_general_kraus_sets(dtype, targets, no_leaks):
    n = 4
    rng = np.random.default_rng(len(targets) * 10 + targets[0])
    d = 2 ** len(targets)
    operators = 0.4 * (rng.normal(size=(3, d, d)) + 1j * rng.normal(size=(3, d, d)))
    rho = random_density(n, np.random.default_rng(11), dtype)
    out = run(n, rho, [Kraus(targets, operators)])
    np.testing.assert_allclose(out, apply_kraus(rho.astype(complex), operators, n, targets),
                               atol=10 * tolerance(dtype))


@pytest.mark.parametrize("targets", [[0, 2], [2, 1, 0]])
def test_unitary_kraus_set_equals_unitary(targets):
    n = 3
    u = random_unitary(len(targets), np.random.default_rng(5))
    rho = random_density(n, np.random.default_rng(6))
    as_kraus = run(n, rho, [Kraus(targets, [u])])
    as_gate = run(n, rho, [Gate("unitary", targets, matrix=u)])
    np.testing.assert_allclose(as_kraus, as_gate, atol=1e-12)
    np.testing.assert_allclose(as_kraus, conjugate(rho, controlled_operator(u, n, targets)), atol=1e-12)


def test_non_trace_preserving_set_is_applied_as_given():
    rho = random_density(2, np.random.default_rng(8))
    operators = [np.eye(2), named_matrix("x")]
    out = run(2, rho, [Kraus([0], operators)])
    np.testing.assert_allclose(out, apply_kraus(rho, operators, 2, [0]), atol=1e-12)
    assert np.trace(out).real == pytest.approx(2.0)


def test_channels_in_a_circuit_follow_list_order():
    n = 3
    rho = random_density(n, np.random.default_rng(12))
    ops = [Gate("h", [0]), channel("amplitude_damping", 0, 0.4), Gate("cx", [1], [0], [1]),
           channel("depolarizing", 1, 0.2), Kraus([2, 0], 0.5 * np.stack([np.eye(4)] * 4))]
    expected = conjugate(rho, controlled_operator(np.array([[1, 1], [1, -1]]) / np.sqrt(2), n, [0]))
    expected = apply_kraus(expected, channel_operators("amplitude_damping", 0.4), n, [0])
    expected = conjugate(expected, controlled_operator(named_matrix("x"), n, [1], [0], [1]))
    expected = apply_kraus(expected, channel_operators("depolarizing", 0.2), n, [1])
    expected = apply_kraus(expected, 0.5 * np.stack([np.eye(4)] * 4), n, [2, 0])
    np.testing.assert_allclose(run(n, rho, ops), expected, atol=1e-12)


@requires_host_runtime
@pytest.mark.parametrize(
    "operation, prefix",
    [(channel("bit_flip", 1, 0.2), "channel kernel launch failed: "),
     (Kraus([0, 1], np.stack([np.eye(4)])), "kraus_kernel launch failed: ")],
)
def test_launch_failure_keeps_earlier_operations(operation, prefix, no_leaks):
    n = 2
    rho = random_density(n, np.random.default_rng(13))
    state = State.from_numpy(n, rho)
    hostcuda.fail_nth("launch", 2, CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as info:
        rhomira.run_density_operations_device(state, n, [Gate("x", [0]), operation])
    assert str(info.value) == prefix + hostcuda.error_string(CUDA_ERROR_LAUNCH_FAILURE)
    hostcuda.reset()
    np.testing.assert_array_equal(state.to_numpy(), conjugate(rho, controlled_operator(named_matrix("x"), n, [0])))
