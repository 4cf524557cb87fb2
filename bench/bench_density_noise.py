"""Time per built-in channel and general Kraus application, per fused group,
and a 200-operation noisy circuit fused versus unfused, on n = 10."""
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from density_reference import CHANNELS, Gate, Kraus, channel, random_unitary  # noqa: E402
from qalvane import rhomira  # noqa: E402
from timing import best_of  # noqa: E402

N = 10


def timed(state, ops, fusion, repeats=3):
    if fusion:
        os.environ["QALVANE_DENSITY_FUSION"] = "1"
    else:
        os.environ.pop("QALVANE_DENSITY_FUSION", None)
    return best_of(repeats, lambda: rhomira.run_density_operations_device(state, N, ops))


def noisy_circuit(count, rng):
    ops = []
    for i in range(count):
        q = int(rng.integers(N))
        if i % 25 == 24:
            a, b = rng.choice(N, 2, replace=False).tolist()
            ops.append(Gate("cx", [b], [a], [1]))
        elif i % 3 == 2:
            ops.append(channel(CHANNELS[i % 5], q, 0.05))
        else:
            name = ["h", "rx", "rz", "sqrtx"][i % 4]
            ops.append(Gate(name, [q], parameter=[0.3] if name in ("rx", "rz") else []))
    return ops


def main():
    print("device:", "host runtime" if hasattr(rhomira, "_hostcuda") else "CUDA", f"n={N}")
    rng = np.random.default_rng(3)
    for dtype in ("complex128", "complex64"):
        state = rhomira.DeviceDensityState.zero_state(N, dtype)
        base = timed(state, [Gate("gp", [0], parameter=[0.1])], False)
        for name in CHANNELS:
            t = timed(state, [channel(name, 3, 0.1)] * 10, False)
            print(f"{dtype} {name:18s} {(t - base) / 10 * 1e3:8.3f} ms per application")
        for k in (1, 2, 3):
            ops = [Kraus(list(range(k)), np.array([0.5 * random_unitary(k, rng) for _ in range(4)]))] * 5
            t = timed(state, ops, False)
            print(f"{dtype} kraus {k} targets, 4 ops  {(t - base) / 5 * 1e3:8.3f} ms per application")
        group = [Gate("h", [q % 5]) for q in range(20)]
        t = timed(state, group, True)
        print(f"{dtype} fused group of 20 on 5 qubits {(t - base) * 1e3:8.3f} ms per group "
              f"(unfused {(timed(state, group, False) - base) * 1e3:8.3f} ms)")
        circuit = noisy_circuit(200, rng)
        fused, unfused = timed(state, circuit, True), timed(state, circuit, False)
        print(f"{dtype} 200-operation noisy circuit: fused {fused * 1e3:9.2f} ms, "
              f"unfused {unfused * 1e3:9.2f} ms, speed-up {unfused / fused:5.2f}x")


if __name__ == "__main__":
    main()
