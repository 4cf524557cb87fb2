"""Dense NumPy references and operation objects for the density tests."""
from types import SimpleNamespace

import numpy as np

I2 = np.eye(2, dtype=complex)
X = np.array([[0, 1], [1, 0]], dtype=complex)
Y = np.array([[0, -1j], [1j, 0]])
Z = np.diag([1, -1]).astype(complex)


def gate(name, targets, controls=(), states=None, params=(), matrix=None):
    return SimpleNamespace(
        id=name, target=list(targets), control=list(controls),
        control_state=list(states) if states is not None else [1] * len(controls),
        parameter=list(params), has_stored_matrix=matrix is not None,
        stored_matrix=None if matrix is None else np.asarray(matrix, dtype=complex))


def kraus(targets, operators, name=""):
    return SimpleNamespace(operation_kind="kraus", target=list(targets), channel_name=name,
                           kraus_matrices=np.asarray(operators, dtype=complex))


def channel_operators(name, p):
    if name == "bit_flip":
        return [np.sqrt(1 - p) * I2, np.sqrt(p) * X]
    if name == "phase_flip":
        return [np.sqrt(1 - p) * I2, np.sqrt(p) * Z]
    if name == "depolarizing":
        return [np.sqrt(1 - p) * I2] + [np.sqrt(p / 3) * P for P in (X, Y, Z)]
    if name == "amplitude_damping":
        return [np.array([[1, 0], [0, np.sqrt(1 - p)]], dtype=complex),
                np.array([[0, np.sqrt(p)], [0, 0]], dtype=complex)]
    if name == "phase_damping":
        return [np.sqrt(1 - p) * I2, np.sqrt(p) * np.diag([1, 0]).astype(complex),
                np.sqrt(p) * np.diag([0, 1]).astype(complex)]
    raise ValueError(name)


CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping"]


def channel(name, target, p):
    return kraus([target], channel_operators(name, p), name)


def embed(k, targets, n, controls=(), states=()):
    """The 2^n operator acting as k on targets (targets[0] = bit 0 of k's
    index) where the controls hold their values, identity elsewhere."""
    idx = np.arange(2**n)
    loc = np.zeros(2**n, dtype=int)
    mask = 0
    for j, t in enumerate(targets):
        loc |= ((idx >> t) & 1) << j
        mask |= 1 << t
    rest = idx & ~mask
    full = np.where(rest[:, None] == rest[None, :], k[loc[:, None], loc[None, :]], 0)
    active = np.ones(2**n, dtype=bool)
    for c, s in zip(controls, states):
        active &= ((idx >> c) & 1) == s
    return np.where(active[:, None], full, np.eye(2**n))


def apply_kraus(rho, operators, targets, n):
    out = np.zeros_like(rho, dtype=complex)
    for k in operators:
        f = embed(np.asarray(k, dtype=complex), targets, n)
        out += f @ rho @ f.conj().T
    return out


def apply_unitary(rho, u, targets, n, controls=(), states=()):
    f = embed(np.asarray(u, dtype=complex), targets, n, controls, states)
    return f @ rho @ f.conj().T


def random_density(n, seed, dtype="complex128"):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(2**n, 2**n)) + 1j * rng.normal(size=(2**n, 2**n))
    rho = a @ a.conj().T
    return (rho / np.trace(rho).real).astype(dtype)


def random_unitary(dim, rng):
    q, r = np.linalg.qr(rng.normal(size=(dim, dim)) + 1j * rng.normal(size=(dim, dim)))
    return q * (np.diag(r) / abs(np.diag(r)))


def tolerance(dtype):
    return 2e-5 if dtype == "complex64" else 1e-12
