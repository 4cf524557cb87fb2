"""Fusion planner and fused execution figures.

1. Builds bench_fusion_planner.cpp with the planner sources (a pure CPU
   program) and prints planned gates per second for 10^5 random one- and
   two-qubit gates at n = 20 and n = 30, with the resulting groups per kind,
   next to the ordered-set formulation of the same rules.
2. If the tovrek module is importable, times prepare_fusion_chunk_gates
   (parsing included) and, on a chunk at n = 20, fused execution against
   gate-by-gate PairAuto (meaningful on the CUDA flavour only).
"""
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def planner_figures():
    out_dir = os.path.join(ROOT, "build", "bench")
    os.makedirs(out_dir, exist_ok=True)
    exe = os.path.join(out_dir, "bench_fusion_planner")
    cuda_include = "/usr/local/cuda/include"
    include = cuda_include if os.path.isdir(cuda_include) else os.path.join(ROOT, "hostcuda", "include")
    subprocess.run(
        ["g++", "-std=c++17", "-O2", "-DNDEBUG", f"-I{include}", f"-I{ROOT}/common",
         f"-I{ROOT}/statevector", f"-I{ROOT}/tests/cpp/tovrek",
         os.path.join(ROOT, "bench", "bench_fusion_planner.cpp"),
         os.path.join(ROOT, "statevector", "fusion.cpp"), "-o", exe],
        check=True)
    subprocess.run([exe], check=True)


class Gate:
    def __init__(self, id, target, control=(), parameter=()):
        self.id, self.target, self.control = id, list(target), list(control)
        self.control_state = [1] * len(self.control)
        self.parameter = list(parameter)
        self.matrix = None


def random_gates(n, count, seed):
    import numpy as np

    rng = np.random.default_rng(seed)
    gates = []
    for _ in range(count):
        a, b = (int(q) for q in rng.choice(n, 2, replace=False))
        kind = rng.integers(10)
        if kind < 6:
            gates.append(Gate(["h", "x", "sx", "s"][kind % 4], [a]) if kind < 4 else Gate("rz", [a], (), [0.3]))
        elif kind < 9:
            gates.append(Gate(["cx", "cz", "crz"][kind - 6], [a], [b], [0.4] if kind == 8 else []))
        else:
            gates.append(Gate("swap", [a, b]))
    return gates


def module_figures():
    try:
        from qalvane import tovrek
    except ImportError:
        print("tovrek not importable: module figures skipped")
        return
    for n in (20, 30):
        gates = random_gates(n, 100000, n)
        t0 = time.perf_counter()
        tovrek.prepare_fusion_chunk_gates(n, gates, max_gates_per_group=0)
        parse = time.perf_counter() - t0
        t0 = time.perf_counter()
        tovrek.prepare_fusion_chunk_gates(n, gates)
        total = time.perf_counter() - t0
        print(f"n={n}: prepare_fusion_chunk_gates {total:.3f} s for 10^5 gates "
              f"({len(gates) / total / 1e6:.2f} M gates/s with parsing; "
              f"parsing alone about {parse:.3f} s)")
    n = int(os.environ.get("BENCH_FUSION_N", "20" if "cuda" in sys.argv else "14"))
    gates = random_gates(n, 2000, 1)
    chunk = tovrek.prepare_fusion_chunk_gates(n, gates)
    state = tovrek.DeviceState.zero_state(n, "complex64")
    tovrek.execute_prepared_fusion_chunk(state, chunk)
    t0 = time.perf_counter()
    tovrek.execute_prepared_fusion_chunk(state, chunk)
    fused = time.perf_counter() - t0
    t0 = time.perf_counter()
    tovrek.run_circuit_device_gates(state, gates, mode=tovrek.PairAuto)
    state.to_numpy()
    plain = time.perf_counter() - t0
    print(f"n={n}, 2000 gates, complex64: fused {fused * 1e3:.1f} ms, PairAuto {plain * 1e3:.1f} ms")


if __name__ == "__main__":
    planner_figures()
    module_figures()
