"""Unitary, diagonal and permutation operations against a dense NumPy
reference rho -> C rho C^dagger, and the promises of exactness: moved values,
skipped global phases, untouched diagonals."""
import numpy as np
import pytest

from conftest import requires_host_runtime
from density_reference import (Gate, conjugate, controlled_operator, named_matrix,
                               random_density, random_unitary, tolerance)
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
DTYPES = [np.complex64, np.complex128]


def run(rho, ops):
    n = int(np.log2(rho.shape[0]))
    state = State.from_numpy(n, rho.copy())
    rhomira.run_density_operations_device(state, n, ops)
    return state.to_numpy()


# (targets, n, controls): every width from 1 to 6, targets in scrambled order,
# controls of mixed required values.
CASES = [(1, 1, 0), (1, 3, 2), (2, 2, 0), (2, 4, 1), (2, 7, 3), (3, 3, 0), (3, 5, 2),
         (4, 5, 1), (5, 6, 1), (6, 6, 0), (6, 7, 1)]


@pytest.mark.parametrize("m, n, k", CASES)
@pytest.mark.parametrize("dtype", DTYPES)
def test_random_controlled_unitary(m, n, k, dtype):
    rng = np.random.default_rng(100 * m + 10 * n + k)
    qubits = [int(q) for q in rng.permutation(n)]
    targets, controls = qubits[:m], qubits[m:m + k]
    states = [int(s) for s in rng.integers(0, 2, size=k)]
    u = random_unitary(m, rng)
    rho = random_density(n, rng, dtype)
    out = run(rho, [Gate("unitary", targets, controls, states, matrix=u)])
    expected = conjugate(rho.astype(np.complex128), controlled_operator(u, n, targets, controls, states))
    np.testing.assert_allclose(out, expected, atol=tolerance(dtype))


NAMED = [("x", []), ("y", []), ("z", []), ("-z", []), ("h", []), ("s", []), ("s_dag", []),
         ("t", []), ("t_dag", []), ("sqrtx", []), ("sqrtx_dag", []), ("sqrty", []),
         ("sqrty_dag", []), ("x2p", []), ("x2m", []), ("y2p", []), ("y2m", []), ("rx", [0.3]),
         ("ry", [-1.1]), ("rz", [2.5]), ("p", [0.7]), ("u", [0.4, -0.9, 1.3]),
         ("rxy", [0.6, 1.7])]
ALIASES = [("cx", "x", []), ("cnot", "x", []), ("mcx", "x", []), ("cy", "y", []),
           ("mcz", "z", []), ("ch", "h", []), ("mcs", "s", []), ("cp", "p", [0.2]),
           ("mcrx", "rx", [0.5]), ("cry", "ry", [0.5]), ("crz", "rz", [0.5]),
           ("xyarb", "rxy", [0.3, 0.4]), ("gphase", "gp", [0.8]), ("global_phase", "gp", [-0.8])]


@pytest.mark.parametrize("name, params", NAMED + [(a, p) for a, _, p in ALIASES])
@pytest.mark.parametrize("dtype", DTYPES)
def test_named_operations(name, params, dtype):
    canonical = dict((a, c) for a, c, _ in ALIASES).get(name, name)
    rng = np.random.default_rng(len(name))
    rho = random_density(3, rng, dtype)
    u = named_matrix(canonical, params)
    # Uncontrolled on qubit 2, and controlled (qubit 0 required to be 0).
    out = run(rho, [Gate(name, [2], parameter=params), Gate(name, [1], [0], [0], params)])
    c = controlled_operator(u, 3, [1], [0], [0]) @ controlled_operator(u, 3, [2])
    np.testing.assert_allclose(out, conjugate(rho.astype(np.complex128), c), atol=tolerance(dtype))


@pytest.mark.parametrize("dtype", DTYPES)
def test_mixed_circuit_in_list_order(dtype, no_leaks):
    rng = np.random.default_rng(7)
    n = 4
    u2, u3 = random_unitary(2, rng), random_unitary(3, rng)
    ops = [Gate("h", [0]), Gate("unitary", [3, 1], matrix=u2), Gate("cx", [2], [0], [1]),
           Gate("swap", [1, 3], [2], [0]), Gate("rz", [1], parameter=(0.3,)),
           Gate("unitary", [0, 2, 1], [3], [1], matrix=u3), Gate("cp", [3], [0], [1], [1.1]),
           Gate("gp", [0], parameter=[0.4]), Gate("u", [2], parameter=[0.1, 0.2, 0.3])]
    c = np.eye(2**n)
    c = controlled_operator(named_matrix("h"), n, [0]) @ c
    c = controlled_operator(u2, n, [3, 1]) @ c
    c = controlled_operator(named_matrix("x"), n, [2], [0], [1]) @ c
    swap = np.eye(4)[[0, 2, 1, 3]]
    c = controlled_operator(swap, n, [1, 3], [2], [0]) @ c
    c = controlled_operator(named_matrix("rz", [0.3]), n, [1]) @ c
    c = controlled_operator(u3, n, [0, 2, 1], [3], [1]) @ c
    c = controlled_operator(named_matrix("p", [1.1]), n, [3], [0], [1]) @ c
    c = controlled_operator(named_matrix("u", [0.1, 0.2, 0.3]), n, [2]) @ c
    rho = random_density(n, rng, dtype)
    np.testing.assert_allclose(run(rho, ops), conjugate(rho.astype(np.complex128), c),
                               atol=tolerance(dtype))


def test_single_precision_agrees_with_double():
    rng = np.random.default_rng(11)
    rho = random_density(3, rng)
    ops = [Gate("rx", [0], parameter=[0.7]), Gate("u", [1], [2], [1], [0.1, 0.2, 0.3]),
           Gate("unitary", [2, 0], matrix=random_unitary(2, rng)), Gate("crz", [1], [0], [0], [1.9])]
    single, double = run(rho.astype(np.complex64), ops), run(rho, ops)
    assert single.dtype == np.complex64
    np.testing.assert_allclose(single, double, atol=2e-6)
    assert not np.array_equal(single.astype(np.complex128), double)


def test_part_examples():
    h = run(State.zero_state(1).to_numpy(), [Gate("h", [0])])
    np.testing.assert_allclose(h, np.full((2, 2), 0.5), atol=1e-15)
    ket01 = np.zeros((4, 4), np.complex128)
    ket01[1, 1] = 1
    ket11 = np.zeros((4, 4), np.complex128)
    ket11[3, 3] = 1
    np.testing.assert_array_equal(run(ket01, [Gate("cnot", [1], [0], [1])]), ket11)
    np.testing.assert_array_equal(run(ket01, [Gate("cnot", [1], [0], [0])]), ket01)


def _permuted(rho, perm):
    return rho[np.ix_(perm, perm)]


@pytest.mark.parametrize("dtype", DTYPES)
def test_x_and_swap_move_values_bit_exactly(dtype):
    x = run(State.zero_state(1, np.dtype(dtype).name).to_numpy(), [Gate("x", [0])])
    np.testing.assert_array_equal(x, np.diag([0, 1]).astype(dtype))
    rho = random_density(4, np.random.default_rng(3), dtype)
    idx = np.arange(16)
    # controlled X on qubit 2 where qubit 0 is 1, then SWAP(1, 3) where qubit 2 is 0
    perm_x = np.where(idx & 1, idx ^ 4, idx)
    b1, b3 = (idx >> 1) & 1, (idx >> 3) & 1
    perm_s = np.where(((idx >> 2) & 1 == 0) & (b1 != b3), idx ^ 0b1010, idx)
    out = run(rho, [Gate("cx", [2], [0], [1]), Gate("swap", [1, 3], [2], [0])])
    np.testing.assert_array_equal(out, _permuted(_permuted(rho, perm_x), perm_s))
    ket = np.zeros((8, 8), dtype)
    ket[1, 1] = 1
    expected = np.zeros((8, 8), dtype)
    expected[4, 4] = 1
    np.testing.assert_array_equal(run(ket, [Gate("swap", [0, 2])]), expected)


@requires_host_runtime
def test_uncontrolled_global_phase_launches_nothing(no_leaks):
    rho = random_density(3, np.random.default_rng(1))
    state = State.from_numpy(3, rho)
    hostcuda.reset()
    rhomira.run_density_operations_device(
        state, 3, [Gate("gp", [0], parameter=[0.3]), Gate("gphase", [1, 2], parameter=[1.0, 2.0]),
                   Gate("global_phase", [2])])
    assert hostcuda.call_count("launch") == 0 and hostcuda.call_count("cudaMalloc") == 0
    np.testing.assert_array_equal(state.to_numpy(), rho)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, control, state, params",
                         [("rz", [], [], [0.9]), ("t", [], [], []), ("-z", [], [], []),
                          ("crz", [0], [1], [0.9]), ("cp", [0], [0], [2.1]),
                          ("gp", [2, 0], [1, 0], [0.5])])
def test_diagonal_gates_keep_the_diagonal(dtype, name, control, state, params):
    rho = random_density(3, np.random.default_rng(9), dtype)
    out = run(rho, [Gate(name, [1], control, state, params)])
    np.testing.assert_array_equal(np.diag(out), np.diag(rho))
    canonical = {"crz": "rz", "cp": "p"}.get(name, name)
    c = controlled_operator(named_matrix(canonical, params), 3, [1], control, state)
    np.testing.assert_allclose(out, conjugate(rho.astype(np.complex128), c), atol=tolerance(dtype))


def test_rz_on_plus_state():
    theta = 0.8
    out = run(np.full((2, 2), 0.5, np.complex128), [Gate("rz", [0], parameter=[theta])])
    np.testing.assert_array_equal(np.diag(out), [0.5, 0.5])
    np.testing.assert_allclose(out[1, 0], 0.5 * np.exp(1j * theta), atol=1e-15)
    np.testing.assert_allclose(out[0, 1], 0.5 * np.exp(-1j * theta), atol=1e-15)


def test_inactive_controls_leave_state_bit_identical():
    # Only even rows and columns populated: qubit 0 is 0 wherever rho lives.
    rho = np.zeros((8, 8), np.complex128)
    sub = random_density(2, np.random.default_rng(2))
    rho[np.ix_([0, 2, 4, 6], [0, 2, 4, 6])] = sub
    ops = [Gate("cz", [1], [0], [1]), Gate("crx", [2], [0], [1], [0.4]),
           Gate("unitary", [1, 2], [0], [1], matrix=random_unitary(2, np.random.default_rng(0)))]
    np.testing.assert_array_equal(run(rho, ops), rho)


@pytest.mark.parametrize("dtype", DTYPES)
def test_fusion_request_gives_the_unfused_result(dtype, monkeypatch):
    rng = np.random.default_rng(4)
    rho = random_density(6, rng, dtype)
    ops = [Gate("h", [q]) for q in range(6)] + [Gate("crz", [q], [(q + 1) % 6], [1], [0.3 * q])
                                                for q in range(6)] + [Gate("x", [2])]
    monkeypatch.delenv("QALVANE_DENSITY_FUSION", raising=False)
    plain = run(rho, ops)
    for value in ["1", "false", "", "0", "0yes"]:
        monkeypatch.setenv("QALVANE_DENSITY_FUSION", value)
        np.testing.assert_allclose(run(rho, ops), plain, atol=tolerance(dtype))
