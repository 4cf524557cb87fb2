"""Time per density operation for n = 10 (a 1024 x 1024 matrix): one-, two-
and five-target unitaries, a diagonal gate and an X, in both precisions.
Each figure is the median over repeated runs of a batch of identical
operations in one call, divided by the batch size."""
import statistics
import time

import numpy as np

from qalvane import rhomira


class Gate:
    def __init__(self, id, target, parameter=None, matrix=None):
        self.id, self.target, self.control, self.control_state = id, list(target), [], []
        self.parameter = parameter
        self.has_stored_matrix = matrix is not None
        self.stored_matrix = matrix


def unitary(m, seed):
    rng = np.random.default_rng(seed)
    q, _ = np.linalg.qr(rng.normal(size=(2**m, 2**m)) + 1j * rng.normal(size=(2**m, 2**m)))
    return q


def per_operation(state, n, ops, repeats=5):
    rhomira.run_density_operations_device(state, n, ops[:1])  # warm-up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        rhomira.run_density_operations_device(state, n, ops)
        times.append(time.perf_counter() - start)
    return statistics.median(times) / len(ops)


def main(n=10, batch=8):
    cases = {
        "1-target unitary": [Gate("u1", [3], matrix=unitary(1, 1))],
        "2-target unitary": [Gate("u2", [7, 2], matrix=unitary(2, 2))],
        "5-target unitary": [Gate("u5", [0, 9, 4, 6, 2], matrix=unitary(5, 3))],
        "diagonal (rz)": [Gate("rz", [5], parameter=[0.3])],
        "x": [Gate("x", [8])],
    }
    print(f"rhomira, n = {n}, time per operation (median of 5 batches of {batch})")
    for dtype in ("complex64", "complex128"):
        state = rhomira.DeviceDensityState.zero_state(n, dtype)
        for label, op in cases.items():
            t = per_operation(state, n, op * batch)
            print(f"  {dtype:10s} {label:18s} {t * 1e3:9.2f} ms")


if __name__ == "__main__":
    main()
