"""Time per named single-qubit gate on an n-qubit state (default 20), per
kernel mode and gate shape. Usage: bench_named_gates.py [n] [gates per chunk]"""
import sys

import numpy as np

from qalvane import tovrek
import timing

ARGS = [int(a) for a in sys.argv[1:3]]
N = ARGS[0] if ARGS else 20
REPS = ARGS[1] if len(ARGS) > 1 else 4
TRIALS = 3
MODES = [tovrek.KernelMode.AllState, tovrek.KernelMode.Pair, tovrek.KernelMode.PairAuto]
GATES = {"x": [], "h": [], "phase": [0.3], "rx": [0.3], "u": [0.3, 0.5, 0.7]}
SHAPES = {  # label -> (target, controls, control_state)
    "t0": (0, [], []),
    "t10": (10, [], []),
    "t10 c2": (10, [3, 15], [1, 0]),
    "t0 c2": (0, [3, 15], [1, 0]),
}


def best_of(run):
    return timing.best_of(TRIALS, run)


def time_per_gate(state, name, params, shape, mode, copy):
    target, controls, values = shape
    gate = {"id": name, "target": [target], "control": controls, "control_state": values,
            "parameter": params}

    def chunk():
        tovrek.run_circuit_device(state, [gate] * REPS, mode=mode)
        state.to_numpy()  # waits for the kernels

    return (best_of(chunk) - copy) / REPS


def main():
    state = tovrek.DeviceState.zero_state(N, "complex128")
    copy = best_of(state.to_numpy)
    flavour = "host runtime" if hasattr(tovrek, "_hostcuda") else "CUDA"
    print(f"n = {N}, complex128, {flavour}; ms per gate ({REPS} per chunk, one download of "
          f"{copy * 1e3:.1f} ms subtracted, best of {TRIALS})")
    print("gate   shape     " + "".join(f"{m.name:>10}" for m in MODES))
    for name, params in GATES.items():
        for label, shape in SHAPES.items():
            row = [time_per_gate(state, name, params, shape, m, copy) for m in MODES]
            print(f"{name:<6} {label:<9} " + "".join(f"{t * 1e3:10.2f}" for t in row), flush=True)


if __name__ == "__main__":
    main()
