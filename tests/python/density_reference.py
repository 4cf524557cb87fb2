"""Independent NumPy references for the density-matrix tests: random states
and unitaries, the full-space operator of a controlled gate, and operation
objects read by attribute the way the toolkit hands them in."""
import numpy as np


def failure(call, *args):
    """(exception class, message) of what call(*args) raises. The traceback
    is dropped on return, so it keeps no state object alive for the next
    test's allocation count."""
    try:
        call(*args)
    except Exception as error:  # noqa: BLE001 - the class is what is checked
        return type(error), str(error)
    raise AssertionError("no exception raised")


class Gate:
    """Gate form: no `operation_kind` attribute."""

    def __init__(self, id, target, control=(), control_state=(), parameter=None, matrix=None):
        self.id = id
        self.target = list(target)
        self.control = list(control)
        self.control_state = list(control_state)
        self.parameter = parameter
        self.has_stored_matrix = matrix is not None
        self.stored_matrix = matrix


class Kraus:
    """Kraus form: `operation_kind` present; `channel_name` optional."""

    def __init__(self, target, matrices, channel_name=None, operation_kind="kraus"):
        self.operation_kind = operation_kind
        self.target = list(target)
        if channel_name is not None:
            self.channel_name = channel_name
        self.kraus_matrices = matrices


def random_density(n, rng, dtype=np.complex128):
    """Positive, unit trace, full rank."""
    d = 2**n
    a = rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d))
    rho = a @ a.conj().T
    return (rho / np.trace(rho).real).astype(dtype)


def random_unitary(m, rng):
    d = 2**m
    q, r = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def controlled_operator(u, n, targets, controls=(), control_state=()):
    """The 2^n x 2^n operator acting as u on the targets (target j = bit j of
    u's index) where every control holds its required value."""
    d = 2**n
    full = np.zeros((d, d), dtype=np.complex128)
    for col in range(d):
        if any(((col >> c) & 1) != s for c, s in zip(controls, control_state)):
            full[col, col] = 1
            continue
        a = sum(((col >> t) & 1) << j for j, t in enumerate(targets))
        base = col & ~sum(1 << t for t in targets)
        for i in range(2 ** len(targets)):
            row = base | sum(((i >> j) & 1) << t for j, t in enumerate(targets))
            full[row, col] = u[i, a]
    return full


def conjugate(rho, c):
    return c @ rho @ c.conj().T


def apply_rows(rho, u, targets, controls=(), control_state=()):
    """u applied to the target bits of the row index, on the rows where the
    controls hold, without forming the 2^n x 2^n operator."""
    rows = np.arange(rho.shape[0])
    keep = (rows & sum(1 << t for t in targets)) == 0
    for c, s in zip(controls, control_state):
        keep &= ((rows >> c) & 1) == s
    local = np.arange(2 ** len(targets))
    pattern = sum(((local >> j) & 1) << t for j, t in enumerate(targets))
    groups = rows[keep][:, None] | pattern[None, :]
    out = rho.astype(np.complex128)
    out[groups] = np.einsum("ij,gjc->gic", u, out[groups])
    return out


def conjugate_on(rho, u, targets, controls=(), control_state=()):
    """C rho C^dagger for u on the targets under the controls, rows first:
    C rho C^dagger = (C (C rho)^dagger)^dagger."""
    left = apply_rows(rho, u, targets, controls, control_state)
    return apply_rows(left.conj().T, u, targets, controls, control_state).conj().T


def named_matrix(name, params=()):
    """The named single-qubit matrices from their definitions."""
    r = 1 / np.sqrt(2)
    th = params[0] if params else 0.0
    c, s = np.cos(th / 2), np.sin(th / 2)
    table = {
        "x": [[0, 1], [1, 0]],
        "y": [[0, -1j], [1j, 0]],
        "z": [[1, 0], [0, -1]],
        "-z": [[-1, 0], [0, 1]],
        "h": [[r, r], [r, -r]],
        "s": [[1, 0], [0, 1j]],
        "s_dag": [[1, 0], [0, -1j]],
        "t": [[1, 0], [0, np.exp(1j * np.pi / 4)]],
        "t_dag": [[1, 0], [0, np.exp(-1j * np.pi / 4)]],
        "sqrtx": 0.5 * np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]),
        "sqrtx_dag": 0.5 * np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]]),
        "sqrty": 0.5 * np.array([[1 + 1j, -1 - 1j], [1 + 1j, 1 + 1j]]),
        "sqrty_dag": 0.5 * np.array([[1 - 1j, 1 - 1j], [-1 + 1j, 1 - 1j]]),
        "x2p": [[r, -1j * r], [-1j * r, r]],
        "x2m": [[r, 1j * r], [1j * r, r]],
        "y2p": [[r, -r], [r, r]],
        "y2m": [[r, r], [-r, r]],
    }
    if name in table:
        return np.array(table[name], dtype=np.complex128)
    if name == "rx":
        return np.array([[c, -1j * s], [-1j * s, c]])
    if name == "ry":
        return np.array([[c, -s], [s, c]], dtype=np.complex128)
    if name == "rz":
        return np.diag([np.exp(-1j * th / 2), np.exp(1j * th / 2)])
    if name == "p":
        return np.diag([1, np.exp(1j * th)])
    if name == "gp":
        return np.exp(1j * th) * np.eye(2)
    if name == "u":
        _, phi, lam = params
        return np.array([[c, -np.exp(1j * lam) * s],
                         [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])
    if name == "rxy":
        theta, phi = params
        return named_matrix("rz", [theta]) @ named_matrix("rx", [phi]) @ named_matrix("rz", [-theta])
    raise KeyError(name)


def tolerance(dtype):
    return 2e-5 if np.dtype(dtype) == np.complex64 else 1e-12


CHANNELS = ["bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping"]


def channel_operators(name, p):
    """The standard Kraus operators of each built-in channel."""
    i2, x = np.eye(2, dtype=complex), named_matrix("x")
    y, z = named_matrix("y"), named_matrix("z")
    if name == "bit_flip":
        return [np.sqrt(1 - p) * i2, np.sqrt(p) * x]
    if name == "phase_flip":
        return [np.sqrt(1 - p) * i2, np.sqrt(p) * z]
    if name == "depolarizing":
        return [np.sqrt(1 - p) * i2] + [np.sqrt(p / 3) * m for m in (x, y, z)]
    if name == "amplitude_damping":
        return [np.array([[1, 0], [0, np.sqrt(1 - p)]], dtype=complex),
                np.array([[0, np.sqrt(p)], [0, 0]], dtype=complex)]
    if name == "phase_damping":
        return [np.sqrt(1 - p) * i2, np.sqrt(p) * np.diag([1, 0]).astype(complex),
                np.sqrt(p) * np.diag([0, 1]).astype(complex)]
    raise KeyError(name)


def channel(name, target, p):
    return Kraus([target], np.array(channel_operators(name, p)), name)


def apply_kraus(rho, operators, n, targets):
    """sum_k K_k rho K_k^dagger with each K_k on the targets."""
    return sum(conjugate(rho, controlled_operator(np.asarray(k), n, targets)) for k in operators)
