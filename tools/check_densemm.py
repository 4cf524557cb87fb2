"""Runs a DenseMM circuit on the installed modules and checks it against a
NumPy reference: a three-qubit group planned into one dense product (cuBLAS
gemm; OpenBLAS in the host flavour), then a noisy density-matrix step."""
import sys
from types import SimpleNamespace

import numpy as np

from qalvane import rhomira, tovrek


def gate(name, target, control=(), parameter=()):
    return SimpleNamespace(id=name, target=[target], control=list(control),
                           control_state=[1] * len(control), parameter=list(parameter), matrix=None)


def main():
    n = 6
    gates = [gate("h", 0), gate("h", 1), gate("x", 2, [0]), gate("rz", 1, parameter=[0.4])]
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    psi = np.zeros(2**n, np.complex128)
    psi[0] = 1
    state = tovrek.DeviceState.from_numpy(n, psi)
    chunk = tovrek.prepare_fusion_chunk_gates(n, gates, densemm_gate_threshold_scale=0.0)
    tovrek.execute_prepared_fusion_chunk(state, chunk)

    # |psi> = rz(0.4) on 1 . cx(0 -> 2) . h(1) h(0) |0>, qubit q = bit q.
    expected = np.zeros(2**n, np.complex128)
    for q0 in (0, 1):
        for q1 in (0, 1):
            phase = np.exp(0.2j if q1 else -0.2j)
            expected[q0 | q1 << 1 | q0 << 2] = h[q0, 0] * h[q1, 0] * phase
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12, rtol=0)
    runtime = getattr(tovrek, "_hostcuda", None)
    if runtime is not None and runtime.call_count("cublasZgemm") == 0:
        sys.exit("the chunk did not run as a dense product")

    rho = rhomira.DeviceDensityState.zero_state(1)
    flip = np.array([np.sqrt(0.75) * np.eye(2), np.sqrt(0.25) * np.array([[0, 1], [1, 0]])])
    rhomira.run_density_operations_device(
        rho, 1, [SimpleNamespace(operation_kind="kraus", target=[0], channel_name="bit_flip",
                                 kraus_matrices=flip)])
    np.testing.assert_allclose(rho.to_numpy(), np.diag([0.75, 0.25]), atol=1e-12, rtol=0)
    print(f"DenseMM circuit and bit flip channel correct ({tovrek.runtime} flavour "
          f"{tovrek.__version__})")


if __name__ == "__main__":
    main()
