"""A sample of every operation of both modules, small enough to run in seconds
on the host flavour, that launches every kernel in each shape its launcher
picks: every gate in every kernel mode, with and without controls, on qubit 0
and on another qubit, unitaries on 1 to 9 targets, both fused executors,
measurement and sampling, and every density operation with fusion off and on.
The kernel report runs it on the host flavour, whose runtime records each
launch's kernel, block and dynamic shared memory."""
import os
import pathlib
import sys
from types import SimpleNamespace

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from density_reference import Gate, Kraus, channel, random_unitary  # noqa: E402
from gate_reference import gate, random_matrix  # noqa: E402

N = 12  # room for a 10-qubit SparseShareMem group and 9-target unitaries
DENSITY_N = 9  # fused density groups reach their largest, 5 qubits, from n = 9
DTYPES = ("complex64", "complex128")
NAMED = {"x": 0, "y": 0, "z": 0, "h": 0, "s": 0, "s_dag": 0, "sqrtx": 0, "sqrtx_dag": 0,
         "sqrty": 0, "sqrty_dag": 0, "t": 0, "phase": 1, "rx": 1, "ry": 1, "rz": 1, "u": 3}
CHANNELS = ("bit_flip", "phase_flip", "depolarizing", "amplitude_damping", "phase_damping")


def controlled(name, targets, controls=(), states=None, parameter=(), matrix=None):
    """A gate_ir entry; controls required to be 1 unless `states` says otherwise."""
    states = [1] * len(controls) if states is None else states
    return gate(name, targets, controls, states, parameter, matrix)


def statevector_gates():
    """Every gate shape the launchers tell apart."""
    gates = []
    for name, angles in NAMED.items():
        parameter = [0.3, 0.2, 0.1][:angles]
        for target in (0, 5):
            gates.append(controlled(name, [target], parameter=parameter))
            gates.append(controlled(name, [target], [7], parameter=parameter))
            gates.append(controlled(name, [target], [3, 9], [1, 0], parameter=parameter))
    for a, b in ((0, 6), (4, 6), (6, 0)):
        gates.append(controlled("swap", [a, b]))
        gates.append(controlled("swap", [a, b], [2]))
        gates.append(controlled("swap", [a, b], [2, 8], [0, 1]))
    gates.append(controlled("gp", [], parameter=[0.4]))
    gates.append(controlled("gp", [], [2], parameter=[0.4]))
    for k in range(1, 10):
        m = random_matrix(2**k, k)
        for targets in (list(range(k)), list(range(k))[::-1], [t + 1 for t in range(k)]):
            gates.append(controlled("unitary", targets, matrix=m))
            gates.append(controlled("unitary", targets, [N - 1], matrix=m))
    return gates


def fusable_gates(count=60, seed=2):
    """Gate objects on qubits 0-9, with controls beyond them now and then."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(count):
        kind = ["h", "rx", "cx", "rz", "sqrtx", "swap"][i % 6]
        targets = [int(q) for q in rng.choice(10, 2 if kind == "swap" else 1, replace=False)]
        controls = [int(rng.integers(10, N))] if kind == "cx" else []
        g = controlled(kind, targets, controls, parameter=[0.3] if kind in ("rx", "rz") else [])
        out.append(SimpleNamespace(**{"matrix": None, **g}))
    return out


def pauli_terms(n):
    """A direct group (at most four terms flipping the same qubits) and
    transform groups (more than four; more than 256 take a second pass)."""
    # Groups of one to four terms: X on 1; X on 2; X on 3; X on 0.
    direct = [("Y", [1]),
              ("X", [2]), ("ZX", [3, 2]),
              ("X", [3]), ("XZ", [3, 0]), ("YZ", [3, n - 1]),
              ("X", [0]), ("XZ", [0, 1]), ("YZ", [0, n - 1]), ("YI", [0, 2])]
    transform = [("Z" * (q % 3 + 1), [(q + j) % n for j in range(q % 3 + 1)]) for q in range(300)]
    flipped = [("XX" + "Z" * (q % 2), [1, 2] + ([3 + q % (n - 3)] if q % 2 else [])) for q in range(6)]
    return direct + transform + flipped


def run_statevector(tovrek):
    modes = [tovrek.KernelMode.AllState, tovrek.KernelMode.Pair, tovrek.KernelMode.PairAuto]
    gates = statevector_gates()
    fused = fusable_gates()
    for dtype in DTYPES:
        state = tovrek.DeviceState.zero_state(N, dtype)
        for mode in modes:
            tovrek.run_circuit_device(state, gates, mode=mode)
        tovrek.run_circuit_device(state, [controlled("h", [q]) for q in range(N)],
                                  mode=tovrek.KernelMode.PairAutoFusion)
        for options in ({"densemm_max_qubits": 0}, {"densemm_gate_threshold_scale": 0.0},
                        {"pad_sparsesharemem": False, "densemm_max_qubits": 0}):
            chunk = tovrek.prepare_fusion_chunk_gates(N, fused, **options)
            tovrek.execute_prepared_fusion_chunk(state, chunk)
        for targets in ([0], [N - 1, 2], list(range(10))):
            tovrek.measure_device(state, targets, seed=1)
            tovrek.sample_measure_device(state, targets, 16, seed=1)
        tovrek.expectation_pauli_device(state, pauli_terms(N))
        state.to_numpy()
        # From n = 15 the tiles of a group are split into runs, added by a second pass.
        tovrek.measure_device(tovrek.DeviceState.zero_state(16, dtype), [1], seed=1)
        psi = np.zeros(2**4, dtype)
        psi[0] = 1
        tovrek.run_circuit(4, psi, [controlled("h", [0]), controlled("cx", [1], [0])])
        tovrek.measure(4, psi, [0, 1])


def density_gate(name, targets, controls=(), parameter=None, matrix=None):
    return Gate(name, targets, controls, [1] * len(controls), parameter, matrix)


def kraus_set(k, count, seed):
    """A trace-preserving set of `count` operators on k qubits."""
    rng = np.random.default_rng(seed)
    return np.array([random_unitary(k, rng) for _ in range(count)]) / np.sqrt(count)


def density_operations():
    ops = []
    for name, angles in NAMED.items():
        name = "p" if name == "phase" else name
        parameter = [0.3, 0.2, 0.1][:angles]
        for target in (0, 5):
            ops.append(density_gate(name, [target], parameter=parameter))
            ops.append(density_gate(name, [target], [2], parameter=parameter))
    ops += [density_gate("swap", [1, 6]), density_gate("swap", [1, 6], [0]),
            density_gate("gp", [0], parameter=[0.2]), density_gate("gp", [0], [3], parameter=[0.2])]
    for k in range(1, 7):
        m = random_matrix(2**k, k)
        high = list(range(DENSITY_N - 1, DENSITY_N - 1 - k, -1))
        ops += [density_gate("unitary", list(range(k)), matrix=m),
                density_gate("unitary", high, matrix=m),
                density_gate("unitary", list(range(k)), [DENSITY_N - 1], matrix=m)]
    ops += [channel(name, target, 0.1) for name in CHANNELS for target in (0, 4)]
    for k in (1, 2, 3):
        for count in (2, 4):
            ops.append(Kraus(list(range(k)), kraus_set(k, count, k + count)))
            ops.append(Kraus(list(range(DENSITY_N - 1, DENSITY_N - 1 - k, -1)), kraus_set(k, count, k)))
    return ops


def density_fusion_runs():
    """Operation lists, one call each, that the density planner fuses: a
    unitary and a channel on one qubit, and a run over five qubits."""
    runs = [[density_gate("h", [3]), density_gate("rx", [3], parameter=[0.3]), channel(name, 3, 0.1)]
            for name in CHANNELS]
    runs.append([op for q in range(5) for op in (
        density_gate("h", [q]), density_gate("x", [(q + 1) % 5]),
        density_gate("rz", [q], parameter=[0.2]), density_gate("cx", [q], [(q + 2) % 5]),
        channel(CHANNELS[q], q, 0.1))])
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
                rhomira.expectation_pauli_device(rho, pauli_terms(DENSITY_N))
                rho.copy().to_numpy()
    finally:
        if previous is None:
            os.environ.pop("QALVANE_DENSITY_FUSION", None)
        else:
            os.environ["QALVANE_DENSITY_FUSION"] = previous


def run(tovrek, rhomira):
    run_statevector(tovrek)
    run_density(rhomira)
