"""A sample of every operation of both modules, small enough to run in seconds
on the host flavour, that launches every kernel in each shape its launcher
picks: every gate in every kernel mode, with and without controls, on qubit 0
and on another qubit, unitaries on 1 to 7 targets, both fused executors,
measurement and sampling, and every density operation with fusion off and on.
The kernel report runs it on the host flavour, whose runtime records each
launch's kernel, block and dynamic shared memory."""
import os
from types import SimpleNamespace

import numpy as np

N = 12  # room for a 10-qubit SparseShareMem group and 7-target unitaries
DENSITY_N = 9  # fused density groups reach their largest, 5 qubits, from n = 9
DTYPES = ("complex64", "complex128")
NAMED = {"x": 0, "y": 0, "z": 0, "h": 0, "s": 0, "s_dag": 0, "sqrtx": 0, "sqrtx_dag": 0,
         "sqrty": 0, "sqrty_dag": 0, "t": 0, "phase": 1, "rx": 1, "ry": 1, "rz": 1, "u": 3}


def unitary(k, seed=1):
    rng = np.random.default_rng(seed)
    d = 2**k
    q, _ = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))
    return q


def gate(name, targets, controls=(), states=None, parameter=(), matrix=None):
    g = {"id": name, "target": list(targets), "control": list(controls),
         "control_state": list(states if states is not None else [1] * len(controls)),
         "parameter": list(parameter)}
    if matrix is not None:
        g["matrix"] = matrix
    return g


def gate_object(g):
    """The attribute form of a gate_ir dictionary (the planner reads these)."""
    return SimpleNamespace(matrix=None, **g)


def statevector_gates():
    """Every gate shape the launchers tell apart."""
    gates = []
    for name, angles in NAMED.items():
        parameter = [0.3, 0.2, 0.1][:angles]
        for target in (0, 5):
            gates.append(gate(name, [target], parameter=parameter))
            gates.append(gate(name, [target], [7], parameter=parameter))
            gates.append(gate(name, [target], [3, 9], [1, 0], parameter=parameter))
    for a, b in ((0, 6), (4, 6), (6, 0)):
        gates.append(gate("swap", [a, b]))
        gates.append(gate("swap", [a, b], [2], [1]))
        gates.append(gate("swap", [a, b], [2, 8], [0, 1]))
    gates.append(gate("gp", [], parameter=[0.4]))
    gates.append(gate("gp", [], [2], parameter=[0.4]))
    for k in range(1, 8):
        for targets in (list(range(k)), list(range(k))[::-1], [t + 1 for t in range(k)]):
            m = unitary(k, k)
            gates.append(gate("unitary", targets, matrix=m))
            gates.append(gate("unitary", targets, [N - 1], [1], matrix=m))
    return gates


def run_statevector(tovrek):
    modes = [tovrek.KernelMode.AllState, tovrek.KernelMode.Pair, tovrek.KernelMode.PairAuto]
    gates = statevector_gates()
    rng = np.random.default_rng(2)
    fused = [gate_object(gate(["h", "rx", "cx", "rz", "sqrtx", "swap"][i % 6],
                              [int(q) for q in rng.choice(10, 2 if i % 6 == 5 else 1, replace=False)],
                              [] if i % 6 != 2 else [int(rng.integers(10, N))],
                              parameter=[0.3] if i % 6 in (1, 3) else []))
             for i in range(60)]
    for dtype in DTYPES:
        state = tovrek.DeviceState.zero_state(N, dtype)
        for mode in modes:
            tovrek.run_circuit_device(state, gates, mode=mode)
        tovrek.run_circuit_device(state, [gate("h", [q]) for q in range(N)],
                                  mode=tovrek.KernelMode.PairAutoFusion)
        for options in ({"densemm_max_qubits": 0}, {"densemm_gate_threshold_scale": 0.0},
                        {"pad_sparsesharemem": False, "densemm_max_qubits": 0}):
            chunk = tovrek.prepare_fusion_chunk_gates(N, fused, **options)
            tovrek.execute_prepared_fusion_chunk(state, chunk)
        for targets in ([0], [N - 1, 2], list(range(10))):
            tovrek.measure_device(state, targets, seed=1)
            tovrek.sample_measure_device(state, targets, 16, seed=1)
        state.to_numpy()
        psi = np.zeros(2**4, dtype)
        psi[0] = 1
        tovrek.run_circuit(4, psi, [gate("h", [0]), gate("cx", [1], [0])])
        tovrek.measure(4, psi, [0, 1])


class DensityGate:
    def __init__(self, id, target, control=(), control_state=None, parameter=None, matrix=None):
        self.id, self.target, self.control = id, list(target), list(control)
        self.control_state = list(control_state if control_state is not None else [1] * len(control))
        self.parameter = parameter
        self.has_stored_matrix = matrix is not None
        self.stored_matrix = matrix


class Kraus:
    def __init__(self, target, matrices, channel_name=None):
        self.operation_kind = "kraus"
        self.target = list(target)
        if channel_name is not None:
            self.channel_name = channel_name
        self.kraus_matrices = matrices


def channel_sets(p=0.1):
    i2, x = np.eye(2), np.array([[0, 1], [1, 0]])
    y, z = np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])
    damp = [np.array([[1, 0], [0, np.sqrt(1 - p)]]), np.array([[0, np.sqrt(p)], [0, 0]])]
    return {
        "bit_flip": [np.sqrt(1 - p) * i2, np.sqrt(p) * x],
        "phase_flip": [np.sqrt(1 - p) * i2, np.sqrt(p) * z],
        "depolarizing": [np.sqrt(1 - p) * i2] + [np.sqrt(p / 3) * m for m in (x, y, z)],
        "amplitude_damping": damp,
        "phase_damping": [np.sqrt(1 - p) * i2, np.sqrt(p) * np.diag([1, 0]), np.sqrt(p) * np.diag([0, 1])],
    }


def kraus_set(k, count, seed):
    """A valid Kraus set of `count` operators on k qubits: slices of an isometry."""
    d = 2**k
    q = unitary(k + 2, seed)[:, :d]  # (4d x d) with orthonormal columns
    return np.array([q[i * d:(i + 1) * d] for i in range(count)]) * np.sqrt(4 / count)


def density_operations():
    ops = []
    for name, angles in NAMED.items():
        name = "p" if name == "phase" else name
        parameter = [0.3, 0.2, 0.1][:angles]
        for target in (0, 5):
            ops.append(DensityGate(name, [target], parameter=parameter))
            ops.append(DensityGate(name, [target], [2], parameter=parameter))
    ops += [DensityGate("swap", [1, 6]), DensityGate("swap", [1, 6], [0]),
            DensityGate("gp", [0], parameter=[0.2]), DensityGate("gp", [0], [3], parameter=[0.2])]
    for k in range(1, 7):
        m = unitary(k, k)
        ops.append(DensityGate("unitary", list(range(k)), matrix=m))
        ops.append(DensityGate("unitary", list(range(DENSITY_N - 1, DENSITY_N - 1 - k, -1)), matrix=m))
        ops.append(DensityGate("unitary", list(range(k)), [DENSITY_N - 1], matrix=m))
    for name, matrices in channel_sets().items():
        for target in (0, 4):
            ops.append(Kraus([target], np.array(matrices), name))
    for k in (1, 2, 3):
        for count in (2, 4):
            ops.append(Kraus(list(range(k)), kraus_set(k, count, k + count)))
            ops.append(Kraus(list(range(DENSITY_N - 1, DENSITY_N - 1 - k, -1)), kraus_set(k, count, k)))
    return ops


def density_fusion_runs():
    """Operation lists, one call each, that the density planner fuses: a
    unitary and a channel on one qubit, and a run over five qubits."""
    runs = [[DensityGate("h", [3]), DensityGate("rx", [3], parameter=[0.3]), Kraus([3], np.array(m), name)]
            for name, m in channel_sets().items()]
    names = list(channel_sets())
    runs.append([op for q in range(5) for op in (
        DensityGate("h", [q]), DensityGate("x", [(q + 1) % 5]), DensityGate("rz", [q], parameter=[0.2]),
        DensityGate("cx", [q], [(q + 2) % 5]), Kraus([q], np.array(channel_sets()[names[q]]), names[q]))])
    return runs


def run_density(rhomira):
    ops = density_operations()
    previous = os.environ.get("QALVANE_DENSITY_FUSION")
    try:
        for fusion in ("0", "1"):
            os.environ["QALVANE_DENSITY_FUSION"] = fusion
            for dtype in DTYPES:
                rho = rhomira.DeviceDensityState.zero_state(DENSITY_N, dtype)
                rhomira.run_density_operations_device(rho, DENSITY_N, ops)
                for run in density_fusion_runs():
                    rhomira.run_density_operations_device(rho, DENSITY_N, run)
                for targets in ([0], [DENSITY_N - 1, 1], list(range(DENSITY_N))):
                    rhomira.measure_device(rho, targets, seed=1)
                rho.copy().to_numpy()
    finally:
        if previous is None:
            os.environ.pop("QALVANE_DENSITY_FUSION", None)
        else:
            os.environ["QALVANE_DENSITY_FUSION"] = previous


def run(tovrek, rhomira):
    run_statevector(tovrek)
    run_density(rhomira)
