"""Independent references for gate tests: each named gate's 2x2 matrix,
embedded with its controls into the full 2^n space by NumPy, and random
normalised states."""
import numpy as np

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


def embed(n, m, target, controls=(), control_state=()):
    """The 2^n x 2^n matrix acting as m on `target` where every control has
    its required value, and as the identity elsewhere."""
    idx = np.arange(2**n)
    on = ((idx >> target) & 1) == 0
    for c, v in zip(controls, control_state):
        on &= ((idx >> c) & 1) == v
    i0 = idx[on]
    i1 = i0 | (1 << target)
    full = np.eye(2**n, dtype=complex)
    full[i0, i0], full[i0, i1] = m[0, 0], m[0, 1]
    full[i1, i0], full[i1, i1] = m[1, 0], m[1, 1]
    return full


def random_state(n, dtype, seed=1):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (psi / np.linalg.norm(psi)).astype(dtype)


def gate_ir(name, target, controls=(), control_state=(), params=()):
    return {"id": name, "target": [target], "control": list(controls),
            "control_state": list(control_state), "parameter": list(params)}
