"""The shared-memory tiles of the unitary, Kraus and fused kernels at their
edges: matrices narrower than one tile, exactly one tile and several tiles
wide, targets on the lowest and highest qubits, controls on qubits inside
and outside a tile. Every block walks several row groups or rows, so the
grid-stride steps are taken at these sizes too. References never form the
2^n x 2^n operator."""
import numpy as np
import pytest

from conftest import requires_host_runtime
from density_reference import (CHANNELS, Gate, Kraus, apply_rows, channel, conjugate_on,
                               random_density, random_unitary, tolerance)
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
DTYPES = ["complex64", "complex128"]


def run(n, rho, ops, monkeypatch=None, fusion=False):
    if monkeypatch is not None:
        if fusion:
            monkeypatch.setenv("QALVANE_DENSITY_FUSION", "1")
        else:
            monkeypatch.delenv("QALVANE_DENSITY_FUSION", raising=False)
    state = State.from_numpy(n, rho.copy())
    rhomira.run_density_operations_device(state, n, ops)
    return state.to_numpy()


def kraus_sum(rho, operators, targets):
    out = np.zeros(rho.shape, np.complex128)
    for k in operators:
        out += conjugate_on(rho, k, targets)
    return out


# (n, targets, controls). Two targets: a window holds 16 column groups.
# Three to six: the left pass takes 128, 64, 32, 32 columns a tile, the right
# pass 32 column groups.
UNITARY_CASES = [
    (2, [1, 0], []), (6, [0, 5], [3]), (7, [3, 1], [0, 6]),
    (3, [2, 0, 1], []), (7, [0, 1, 2], [3]), (9, [8, 7, 6], [0]), (8, [4, 7, 0], [2]),
    (6, [1, 3, 5, 0], [4]), (8, [1, 3, 5, 7], [0, 6]), (7, [6, 0, 3, 1, 5], [2]),
    (8, [0, 1, 2, 3, 4], [7]), (6, [5, 3, 1, 0, 2, 4], []), (8, [2, 7, 0, 5, 1, 4], [3, 6]),
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, targets, controls", UNITARY_CASES)
def test_unitary_tiles(dtype, n, targets, controls, no_leaks):
    rng = np.random.default_rng(n * 100 + len(targets) * 10 + len(controls))
    states = [int(s) for s in rng.integers(0, 2, len(controls))]
    u = random_unitary(len(targets), rng)
    rho = random_density(n, rng, dtype)
    out = run(n, rho, [Gate("unitary", targets, controls, states, matrix=u)])
    expected = conjugate_on(rho, u, targets, controls, states)
    np.testing.assert_allclose(out, expected, atol=tolerance(dtype))


# A window holds 64, 16 and 4 column groups for one, two and three targets:
# below, at and above one window.
KRAUS_CASES = [(6, [0]), (7, [3]), (8, [7]), (5, [1, 0]), (6, [4, 2]), (8, [0, 7]),
               (4, [1, 2, 0]), (5, [4, 0, 2]), (8, [5, 1, 7])]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("n, targets", KRAUS_CASES)
def test_kraus_tiles(dtype, n, targets, no_leaks):
    rng = np.random.default_rng(n * 10 + len(targets))
    d = 2 ** len(targets)
    # One batch of at most four operators, two, and three (the last one partial).
    count = 4 * (len(targets) - 1) + 1 + n % 3
    operators = 0.4 * (rng.normal(size=(count, d, d)) + 1j * rng.normal(size=(count, d, d)))
    rho = random_density(n, rng, dtype)
    out = run(n, rho, [Kraus(targets, operators)])
    np.testing.assert_allclose(out, kraus_sum(rho, operators, targets), atol=10 * tolerance(dtype))


def test_reference_agrees_with_dense_operator():
    from density_reference import conjugate, controlled_operator
    rng = np.random.default_rng(3)
    rho = random_density(4, rng)
    u = random_unitary(2, rng)
    np.testing.assert_allclose(conjugate_on(rho, u, [3, 1], [0], [1]),
                               conjugate(rho, controlled_operator(u, 4, [3, 1], [0], [1])),
                               atol=1e-13)
    np.testing.assert_allclose(apply_rows(rho, u, [0, 2]),
                               controlled_operator(u, 4, [0, 2]) @ rho, atol=1e-13)


def _fused_group(rng):
    ops = []
    for i in range(24):
        t = int(rng.integers(5))
        c = int((t + 1 + rng.integers(4)) % 5)
        if i % 3 == 0:
            ops.append(channel(CHANNELS[i % 5], t, 0.2))
        elif i % 3 == 1:
            ops.append(Gate("u", [t], [c], [i % 2], [0.1 * i, 0.2, 0.3]))
        else:
            ops.append(Gate("rx", [t], parameter=[0.3 * i]))
    return ops


@requires_host_runtime
def test_thread_order_does_not_change_a_bit(monkeypatch):
    """Each element is computed by one thread in a fixed order, so shuffled
    thread and block order must give the same bits; a missing barrier would
    let a thread read a tile element before it is loaded or after it is
    overwritten."""
    seed = 1
    rng = np.random.default_rng(seed)
    n = 8
    rho = random_density(n, rng, "complex64")
    cases = [
        ([Gate("unitary", [3, 0], [6], [1], matrix=random_unitary(2, rng))], False),
        ([Gate("unitary", [0, 1, 2], [5], [0], matrix=random_unitary(3, rng))], False),
        ([Gate("unitary", [7, 2, 4, 0, 6, 1], [3], [1], matrix=random_unitary(6, rng))], False),
        ([Kraus([2, 0, 7], 0.5 * np.stack([random_unitary(3, rng) for _ in range(3)]))], False),
        ([Kraus([5], 0.5 * np.stack([random_unitary(1, rng) for _ in range(4)]))], False),
        (_fused_group(rng), True),
    ]
    for ops, fusion in cases:
        hostcuda.set_shuffle(0)
        plain = run(n, rho, ops, monkeypatch, fusion)
        hostcuda.set_shuffle(seed)
        shuffled = run(n, rho, ops, monkeypatch, fusion)
        np.testing.assert_array_equal(shuffled, plain)
