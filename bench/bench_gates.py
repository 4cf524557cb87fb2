"""Gate records parsed per second (dictionary and object readers, 100 000
gates), and time per gate for SWAP, global phase and unitaries on an n-qubit
state (default 20) in each kernel mode. Usage: bench_gates.py [n] [gates per chunk]"""
import pathlib
import sys
import types

import numpy as np

from qalvane import tovrek
import timing

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from gate_reference import gate  # noqa: E402

ARGS = [int(a) for a in sys.argv[1:3]]
N = ARGS[0] if ARGS else 20
REPS = ARGS[1] if len(ARGS) > 1 else 2
TRIALS = 2
PARSE_GATES = 100_000
MODES = [tovrek.KernelMode.AllState, tovrek.KernelMode.Pair, tovrek.KernelMode.PairAuto]


def best_of(run, trials=TRIALS):
    return timing.best_of(trials, run)


def parse_rate():
    # A final unknown name makes the call fail after the whole list was
    # parsed and before any launch, so only the reader is timed.
    mix = [gate("h", [3]), gate("cx", [1], [0], [1]), gate("rz", [2], parameter=[0.3]),
           gate("u", [5], [2, 4], [1, 0], [0.1, 0.2, 0.3]), gate("t", [0])]
    gate_ir = [mix[i % len(mix)] for i in range(PARSE_GATES)] + [gate("bogus", [0])]
    objects = [types.SimpleNamespace(**g) for g in gate_ir]
    state = tovrek.DeviceState.zero_state(6)

    def read(run, gates):
        def call():
            try:
                run(state, gates)
            except ValueError:
                pass
        return PARSE_GATES / best_of(call, 3)

    print(f"gate_ir dictionaries: {read(tovrek.run_circuit_device, gate_ir):,.0f} records/s")
    print(f"gate objects:         {read(tovrek.run_circuit_device_gates, objects):,.0f} records/s")


def gate_times():
    rng = np.random.default_rng(1)

    def unitary(k):
        q, _ = np.linalg.qr(rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k)))
        return q

    cases = {
        "swap t0,t10": gate("swap", [0, 10]),
        "swap t4,t12": gate("swap", [4, 12]),
        "swap t4,t12 c2": gate("swap", [4, 12], [3, 15], [1, 0]),
        "gp": gate("gp", [], parameter=[0.3]),
        "gp c2": gate("gp", [], [3, 15], [1, 0], [0.3]),
        "unitary k1 t0": gate("unitary", [0], matrix=unitary(1)),
        "unitary k1 t10 c2": gate("unitary", [10], [3, 15], [1, 0], matrix=unitary(1)),
        "unitary k2 t0,t10": gate("unitary", [0, 10], matrix=unitary(2)),
        "unitary k2 t5,t10": gate("unitary", [5, 10], matrix=unitary(2)),
        "unitary k3": gate("unitary", [7, 1, 12], matrix=unitary(3)),
        "unitary k5": gate("unitary", [7, 1, 12, 3, 9], matrix=unitary(5)),
        "unitary k6": gate("unitary", [7, 1, 12, 3, 9, 0], matrix=unitary(6)),
        "unitary k7": gate("unitary", [7, 1, 12, 3, 9, 0, 14], matrix=unitary(7)),
    }
    state = tovrek.DeviceState.zero_state(N, "complex128")
    copy = best_of(state.to_numpy)
    flavour = "host runtime" if hasattr(tovrek, "_hostcuda") else "CUDA"
    print(f"n = {N}, complex128, {flavour}; ms per gate ({REPS} per chunk, one download of "
          f"{copy * 1e3:.1f} ms subtracted, best of {TRIALS})")
    print(f"{'gate':<20}" + "".join(f"{m.name:>10}" for m in MODES))
    for label, g in cases.items():
        row = []
        for mode in MODES:
            def chunk():
                tovrek.run_circuit_device(state, [g] * REPS, mode=mode)
                state.to_numpy()  # waits for the kernels
            row.append((best_of(chunk) - copy) / REPS)
        print(f"{label:<20}" + "".join(f"{t * 1e3:10.2f}" for t in row), flush=True)


if __name__ == "__main__":
    parse_rate()
    gate_times()
