"""Independent references for gate tests: random states and unitaries, and
the dense 2^n x 2^n operator of a gate built with NumPy."""
import numpy as np

from conftest import tovrek


def random_state(n, dtype, seed):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (v / np.linalg.norm(v)).astype(dtype)


def random_matrix(dim, seed):
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q


def embed(n, matrix, targets, controls=(), control_state=()):
    """The 2^n x 2^n operator: bit b of the matrix index is qubit targets[b]."""
    full = np.zeros((2**n, 2**n), dtype=complex)
    tmask = sum(1 << t for t in targets)
    for i in range(2**n):
        if any(((i >> c) & 1) != s for c, s in zip(controls, control_state)):
            full[i, i] = 1
            continue
        col = sum(((i >> t) & 1) << b for b, t in enumerate(targets))
        base = i & ~tmask
        for row in range(matrix.shape[0]):
            j = base | sum(((row >> b) & 1) << t for b, t in enumerate(targets))
            full[j, i] = matrix[row, col]
    return full


def gate(name, targets, controls=(), control_state=(), parameter=(), matrix=None):
    g = {"id": name, "target": list(targets), "control": list(controls),
         "control_state": list(control_state), "parameter": list(parameter)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


def run(n, state, gates, mode):
    out = state.copy()
    tovrek.run_circuit(n, out, gates, mode=getattr(tovrek.KernelMode, mode))
    return out
