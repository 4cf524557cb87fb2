"""Independent references for gate tests: each named gate's 2x2 matrix,
embedded with its controls into the full 2^n space by NumPy, and random
normalised states, random unitaries, and the circuit runner run on a copy."""
import types

import numpy as np

from conftest import tovrek

R = 1 / np.sqrt(2)

# gate_ir name -> number of angles
NAMED_GATES = {
    "x": 0, "y": 0, "z": 0, "h": 0, "s": 0, "s_dag": 0,
    "sqrtx": 0, "sqrtx_dag": 0, "sqrty": 0, "sqrty_dag": 0,
    "phase": 1, "rx": 1, "ry": 1, "rz": 1, "u": 3,
}


def gate_matrix(name, params=()):
    """The 2x2 matrix [[m00, m01], [m10, m11]] of a named gate."""
    if name in ("x", "y", "z", "h", "s", "s_dag"):
        return {
            "x": np.array([[0, 1], [1, 0]]),
            "y": np.array([[0, -1j], [1j, 0]]),
            "z": np.array([[1, 0], [0, -1]]),
            "h": R * np.array([[1, 1], [1, -1]]),
            "s": np.array([[1, 0], [0, 1j]]),
            "s_dag": np.array([[1, 0], [0, -1j]]),
        }[name].astype(complex)
    if name.startswith("sqrt"):
        return 0.5 * {
            "sqrtx": np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]),
            "sqrtx_dag": np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]]),
            "sqrty": np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]]),
            "sqrty_dag": np.array([[1 - 1j, 1 - 1j], [-1 + 1j, 1 - 1j]]),
        }[name]
    theta = params[0]
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    if name == "phase":
        return np.array([[1, 0], [0, np.exp(1j * theta)]])
    if name == "rx":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "ry":
        return np.array([[c, -s], [s, c]], dtype=complex)
    if name == "rz":
        return np.array([[np.exp(-0.5j * theta), 0], [0, np.exp(0.5j * theta)]])
    phi, lam = params[1], params[2]
    return np.array([[c, -np.exp(1j * lam) * s],
                     [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


def gate_ir(name, target, controls=(), control_state=(), params=()):
    return {"id": name, "target": [target], "control": list(controls),
            "control_state": list(control_state), "parameter": list(params)}


def random_state(n, dtype, seed=1):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (v / np.linalg.norm(v)).astype(dtype)


def random_matrix(dim, seed):
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q


def embed(n, matrix, targets, controls=(), control_state=()):
    """The 2^n x 2^n operator acting as `matrix` on `targets` (one qubit or a
    list; bit b of the matrix index is qubit targets[b]) where every control
    has its required value, and as the identity elsewhere."""
    if isinstance(targets, (int, np.integer)):
        targets = [targets]
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


def group_columns(n, targets, controls=(), control_state=()):
    """The amplitude indices of every group a gate on `targets` changes, one
    row per group (in increasing base), column c = bit b of c on targets[b]."""
    index = np.arange(2**n)
    keep = np.ones(2**n, bool)
    for t in targets:
        keep &= (index >> t) & 1 == 0
    for c, s in zip(controls, control_state):
        keep &= (index >> c) & 1 == s
    offsets = np.zeros(2 ** len(targets), np.int64)
    for b, t in enumerate(targets):
        offsets[(np.arange(offsets.size) >> b) & 1 == 1] |= 1 << t
    return index[keep][:, None] | offsets[None, :]


def sequential_unitary(psi, matrix, targets, controls=(), control_state=()):
    """The state after a unitary gate, computed as the kernels promise to:
    every output row from zero, adding the columns in increasing order, each
    product (a.re*b.re - a.im*b.im, a.re*b.im + a.im*b.re), all in the
    state's precision with the matrix rounded to it. The bits must match."""
    n = psi.size.bit_length() - 1
    real = psi.real.dtype
    columns = group_columns(n, targets, controls, control_state)
    vr, vi = psi.real[columns], psi.imag[columns]
    mr, mi = matrix.real.astype(real), matrix.imag.astype(real)
    acc_r = np.zeros(columns.shape, real)
    acc_i = np.zeros(columns.shape, real)
    for c in range(columns.shape[1]):
        br, bi = vr[:, c:c + 1], vi[:, c:c + 1]
        acc_r = acc_r + (mr[None, :, c] * br - mi[None, :, c] * bi)
        acc_i = acc_i + (mr[None, :, c] * bi + mi[None, :, c] * br)
    out = psi.copy()
    result = np.empty(columns.shape, psi.dtype)
    result.real, result.imag = acc_r, acc_i
    out[columns] = result
    return out


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


def gate_object(*args, **kwargs):
    """The gate of gate(...) as an object read by attribute."""
    return types.SimpleNamespace(**gate(*args, **kwargs))
