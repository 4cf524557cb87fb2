"""A short tour: a state-vector circuit with measurement and sampling, then a
noisy density-matrix circuit. Runs on whichever flavour is installed."""
import numpy as np

from qalvane import rhomira, tovrek


def gate(name, target, control=(), control_state=(), parameter=()):
    return {"id": name, "target": list(target), "control": list(control),
            "control_state": list(control_state), "parameter": list(parameter)}


def main():
    n = 3
    psi = np.zeros(2**n, dtype=np.complex128)
    psi[0] = 1
    ghz = [gate("h", [0]), gate("cx", [1], [0], [1]), gate("cx", [2], [1], [1]),
           gate("rz", [2], parameter=[np.pi / 4])]
    out = tovrek.run_circuit(n, psi, ghz)
    print("GHZ state amplitudes (index: amplitude):")
    for i, a in enumerate(out):
        if abs(a) > 1e-12:
            print(f"  |{i:03b}>  {a.real:+.6f}{a.imag:+.6f}j")

    state = tovrek.DeviceState.from_numpy(n, out)
    counts, last = tovrek.sample_measure_device(state, [2, 1, 0], 1000, seed=7)
    print("1000 shots over qubits 2,1,0:", dict(sorted(counts.items())), "last:", last)
    print("state after collapse to", last, ":", np.round(state.to_numpy(), 6))
    print("measure() on a fresh copy of the GHZ state:", tovrek.measure(n, out.copy(), [0, 1, 2]))

    rho = rhomira.DeviceDensityState.zero_state(2)
    noisy = [NoisyOp("h", [0]), NoisyOp("cx", [1], [0], [1]),
             KrausOp("depolarizing", [0], depolarizing_kraus(0.1)),
             KrausOp("amplitude_damping", [1], amplitude_damping_kraus(0.2))]
    rhomira.run_density_operations_device(rho, 2, noisy)
    print("noisy Bell pair, density matrix diagonal:", np.round(np.diag(rho.to_numpy()).real, 6))
    print("purity tr(rho^2):", round(float(np.trace(rho.to_numpy() @ rho.to_numpy()).real), 6))
    print("measured:", rhomira.measure_device(rho, [1, 0], seed=3))


class NoisyOp:
    def __init__(self, id, target, control=(), control_state=(), parameter=None):
        self.id, self.target, self.control = id, list(target), list(control)
        self.control_state, self.parameter = list(control_state), parameter
        self.has_stored_matrix, self.stored_matrix = False, None


class KrausOp:
    operation_kind = "kraus"

    def __init__(self, channel_name, target, kraus_matrices):
        self.channel_name, self.target, self.kraus_matrices = channel_name, list(target), kraus_matrices


def depolarizing_kraus(p):
    i2 = np.eye(2)
    x = np.array([[0, 1], [1, 0]])
    y = np.array([[0, -1j], [1j, 0]])
    z = np.diag([1, -1])
    return np.array([np.sqrt(1 - p) * i2, np.sqrt(p / 3) * x, np.sqrt(p / 3) * y, np.sqrt(p / 3) * z])


def amplitude_damping_kraus(gamma):
    return np.array([[[1, 0], [0, np.sqrt(1 - gamma)]], [[0, np.sqrt(gamma)], [0, 0]]])


if __name__ == "__main__":
    main()
