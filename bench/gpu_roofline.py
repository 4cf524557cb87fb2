"""Achieved memory bandwidth of each kernel family beside a device-to-device
cudaMemcpy measured in the same run.

Per family, at two sizes (state vectors of n = 28 and 30 qubits, density
matrices of 14 and 15) in both precisions: the best wall time of one
operation, waited for, and the bandwidth it reaches if it reads and writes the
state once per pass (a family's passes: 1 for a gate, fused group or density
operation, 0.5 for a gate whose one high control leaves half the state alone,
1.5 for a measurement: the probability read, then the collapse). The copy is a
cudaMemcpy of a state-sized buffer, counted as one read and one write; on the
host flavour, which has no runtime library to call, DeviceDensityState.copy()
stands in for it (its allocation included). Writes a Markdown table
(gpu_roofline.md) and a plot of percent of copy bandwidth (gpu_roofline.png,
when matplotlib is there) to --output.

usage: gpu_roofline.py [--quick] [--output DIR] [--budget SECONDS]
  --quick: n = 12 and 14 (density 6 and 7), a few repeats: seconds on any flavour.
  --budget: families still to run after this many seconds are skipped (default 210).
"""
import argparse
import ctypes
import os
import pathlib
import sys
import threading
import time
from types import SimpleNamespace

import numpy as np

from qalvane import rhomira, tovrek
import timing

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from density_reference import Gate, Kraus, channel, random_unitary  # noqa: E402
from gate_reference import gate as gate_ir, random_matrix  # noqa: E402

HOST = hasattr(tovrek, "_hostcuda")
DTYPES = ("complex64", "complex128")
ITEM = {"complex64": 8, "complex128": 16}
SLOW = 2.0  # seconds: an operation this slow is timed once, on its first run


def spread(n, k):
    """k distinct qubits spread from 0 to n - 1."""
    return sorted({int(round(q)) for q in np.linspace(0, n - 1, k)})


def gate(name, targets, controls=(), parameter=(), matrix=None):
    """A gate object, controls required to be 1."""
    return SimpleNamespace(**{"matrix": None, **gate_ir(name, targets, controls, [1] * len(controls),
                                                        parameter, matrix)})


def unitary_gate(targets):
    return gate("unitary", targets, matrix=random_matrix(2 ** len(targets), len(targets)))


def density_unitary(targets):
    return Gate("unitary", targets, matrix=random_matrix(2 ** len(targets), len(targets)))


def kraus_pair(targets):
    """Two Kraus operators, each a unitary over sqrt 2: trace preserving."""
    rng = np.random.default_rng(len(targets))
    return Kraus(targets, np.array([random_unitary(len(targets), rng) for _ in range(2)]) / np.sqrt(2))


class Copy:
    """Device-to-device copies of `size` bytes, waited for."""

    def __init__(self):
        self.runtime = None
        if not HOST:
            for line in open("/proc/self/maps"):
                path = line.split()[-1]
                if "libcudart.so" in os.path.basename(path):
                    self.runtime = ctypes.CDLL(path)
                    break
        self.method = "cudaMemcpy" if self.runtime else "DeviceDensityState.copy()"

    def timer(self, n, dtype):
        """A call that copies a state of 2^n amplitudes once, and its cleanup."""
        if self.runtime is None:  # n is even: a density matrix of n / 2 qubits
            rho = rhomira.DeviceDensityState.zero_state(n // 2, dtype)
            return lambda: (rho.copy(), density_sync(dtype)), lambda: None
        size = ctypes.c_size_t(2**n * ITEM[dtype])
        src, dst = ctypes.c_void_p(), ctypes.c_void_p()
        rt = self.runtime

        def free():
            for p in (src, dst):
                if p.value:
                    rt.cudaFree(p)

        for p in (src, dst):
            if (code := rt.cudaMalloc(ctypes.byref(p), size)) != 0:
                free()
                raise RuntimeError(f"cudaMalloc of the copy baseline failed: error {code}")
        rt.cudaMemset(src, 0, size)

        def copy():
            code = rt.cudaMemcpy(dst, src, size, 3) or rt.cudaDeviceSynchronize()  # 3: device to device
            if code != 0:
                raise RuntimeError(f"cudaMemcpy failed: error {code}")

        return copy, free


_sync_states = {}


def density_sync(dtype):
    """Waits for the whole device: the density executor ends in a device
    synchronisation, even for no operations."""
    if dtype not in _sync_states:
        _sync_states[dtype] = rhomira.DeviceDensityState.zero_state(1, dtype)
    rhomira.run_density_operations_device(_sync_states[dtype], 1, [])


def state_sync(state):
    """Waits for the state's stream: an empty prepared chunk does only that."""
    tovrek.execute_prepared_fusion_chunk(state, tovrek.prepare_fusion_chunk_gates(state.n, []))


def time_op(call, repeats):
    """Best wall time of `call` after a first run; an operation slower than
    SLOW seconds is taken from its first run alone."""
    first = timing.best_of(1, call)
    return first if first > SLOW else timing.best_of(repeats, call)


def in_thread(call):
    """Runs `call` on a thread of its own, so that per-thread caches (the
    DenseMM workspace) are freed when it ends; returns its result."""
    result = {}

    def body():
        try:
            result["value"] = call()
        except BaseException as error:  # noqa: BLE001 - re-raised below
            result["error"] = error

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result["value"]


def statevector_families(n):
    """(name, passes, run(state, repeats) -> seconds per operation)."""
    def gates(g, count=8):
        def run(state, repeats):
            def call():
                tovrek.run_circuit_device_gates(state, [g] * count)
                state_sync(state)
            return time_op(call, repeats) / count
        return run

    def unitaries(targets, count=2):
        return gates(unitary_gate(targets), count)

    def fused(gate_list, **options):
        chunk = tovrek.prepare_fusion_chunk_gates(n, gate_list, **options)

        def run(state, repeats):
            return in_thread(lambda: time_op(lambda: tovrek.execute_prepared_fusion_chunk(state, chunk),
                                             repeats))
        return run

    def measure(targets):
        def run(state, repeats):
            return time_op(lambda: tovrek.measure_device(state, targets, seed=1), repeats)
        return run

    rng = np.random.default_rng(5)
    ssm_qubits = spread(n, 10)
    ssm_gates = []
    for i in range(50):
        a, b = (ssm_qubits[int(j)] for j in rng.choice(10, 2, replace=False))
        ssm_gates.append([gate("h", [a]), gate("rz", [a], parameter=[0.3]), gate("cx", [a], [b]),
                          gate("sx", [a]), gate("ry", [a], parameter=[0.2])][i % 5])
    dense_qubits = spread(n, 7)
    dense_gates = [gate(["h", "cx", "rz"][i % 3], [dense_qubits[i % 7]],
                        [dense_qubits[(i + 3) % 7]] if i % 3 == 1 else [],
                        [0.4] if i % 3 == 2 else []) for i in range(21)]
    return [
        ("1q gate, target 0", 1, gates(gate("h", [0]))),
        ("1q gate, target n-1", 1, gates(gate("h", [n - 1]))),
        ("controlled gate (cx, control n-2)", 0.5, gates(gate("cx", [3], [n - 2]))),
        ("unitary, 2 targets", 1, unitaries([1, n - 1])),
        ("unitary, 3 targets", 1, unitaries(spread(n, 3))),
        ("unitary, 5 targets", 1, unitaries(spread(n, 5))),
        ("unitary, 7 targets", 1, unitaries(spread(n, 7), 1)),
        ("SparseShareMem, 10 qubits, 50 gates", 1, fused(ssm_gates, densemm_max_qubits=0)),
        ("DenseMM, 7 qubits", 1, fused(dense_gates, densemm_gate_threshold_scale=0.0)),
        ("measure 1 qubit", 1.5, measure([n - 1])),
        ("measure 10 qubits", 1.5, measure(spread(n, 10))),
    ]


def density_families(m):
    def ops(op_list):
        def run(rho, repeats):
            return time_op(lambda: rhomira.run_density_operations_device(rho, m, op_list), repeats)
        return run

    return [
        ("density channel (depolarizing)", 1, ops([channel("depolarizing", 1, 0.1)])),
        ("density unitary, 2 targets", 1, ops([density_unitary([0, m - 1])])),
        ("density unitary, 5 targets", 1, ops([density_unitary(spread(m, 5))])),
        ("density Kraus, 1 qubit", 1, ops([kraus_pair([2])])),
        ("density Kraus, 3 qubits", 1, ops([kraus_pair(spread(m, 3))])),
    ]


def measure_all(sizes, repeats, deadline):
    """Times the copy and every family per size and precision. A family that
    fails, or comes after the deadline, is reported and left out."""
    copier = Copy()
    results = []  # (family, n, dtype, seconds, passes)
    copies = {}

    def family(name, n, dtype, passes, run, target):
        if time.perf_counter() > deadline:
            print(f"  {name}: skipped, the time budget is spent", flush=True)
            return
        try:
            seconds = run(target, repeats)
        except RuntimeError as error:
            print(f"  {name}: failed: {error}", flush=True)
            return
        results.append((name, n, dtype, seconds, passes))
        print(f"  {name}: {seconds * 1e3:.3f} ms", flush=True)

    for dtype in DTYPES:
        for n in sizes:
            copy, free = copier.timer(n, dtype)
            try:
                copies[n, dtype] = time_op(copy, repeats)
            finally:
                free()
            print(f"n={n} {dtype}: copy {copies[n, dtype] * 1e3:.3f} ms", flush=True)
            state = tovrek.DeviceState.zero_state(n, dtype)
            for name, passes, run in statevector_families(n):
                family(name, n, dtype, passes, run, state)
            del state
            rho = rhomira.DeviceDensityState.zero_state(n // 2, dtype)
            for name, passes, run in density_families(n // 2):
                family(name, n, dtype, passes, run, rho)
            del rho
    return copier.method, copies, results


def bandwidth(n, dtype, seconds, passes):
    return passes * 2 * 2**n * ITEM[dtype] / seconds / 1e9


def tables(method, copies, results, sizes):
    columns = [(n, d) for d in DTYPES for n in sizes]
    label = lambda n, d: f"n={n} {d}"  # noqa: E731
    pct = {(f, n, d): bandwidth(n, d, s, p) / bandwidth(n, d, copies[n, d], 1) * 100
           for f, n, d, s, p in results}
    families = list(dict.fromkeys(f for f, *_ in results))
    lines = ["Percent of copy bandwidth. A column's n gives the 2^n elements of the state: "
             "density families run on density matrices of n / 2 qubits.", "",
             "| family | " + " | ".join(label(n, d) for n, d in columns) + " |",
             "|---|" + "---:|" * len(columns)]
    lines.append(f"| copy ({method}), GB/s | "
                 + " | ".join(f"{bandwidth(n, d, copies[n, d], 1):.0f}" for n, d in columns) + " |")
    for f in families:
        lines.append(f"| {f} | " + " | ".join(f"{pct[f, n, d]:.0f}%" if (f, n, d) in pct else "-"
                                              for n, d in columns) + " |")
    lines += ["", "| family | n | precision | passes | ms per operation | GB/s | % of copy |",
              "|---|---:|---|---:|---:|---:|---:|"]
    for n, d in columns:
        lines.append(f"| copy ({method}) | {n} | {d} | 1 | {copies[n, d] * 1e3:.3f} | "
                     f"{bandwidth(n, d, copies[n, d], 1):.1f} | 100% |")
    for f, n, d, s, p in results:
        lines.append(f"| {f} | {n} | {d} | {p:g} | {s * 1e3:.3f} | {bandwidth(n, d, s, p):.1f} | "
                     f"{pct[f, n, d]:.1f}% |")
    return "\n".join(lines), pct, families, columns


def plot(path, pct, families, columns, title):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ax = plt.subplots(figsize=(12, 5.5))
    width = 0.8 / len(columns)
    x = np.arange(len(families))
    for i, (n, d) in enumerate(columns):
        ax.bar(x + (i - (len(columns) - 1) / 2) * width, [pct.get((f, n, d), 0) for f in families], width,
               label=f"n={n} {d}")
    ax.axhline(100, color="black", linewidth=0.8)
    ax.set_xticks(x, families, rotation=35, ha="right", fontsize=8)
    ax.set_ylabel("% of device-to-device copy bandwidth")
    ax.set_title(title)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small n, few repeats")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("build/roofline"))
    parser.add_argument("--budget", type=float, default=210,
                        help="seconds after which the families left are skipped (default 210)")
    args = parser.parse_args()
    sizes = (12, 14) if args.quick else (28, 30)
    repeats = 2 if args.quick else 3
    start = time.perf_counter()
    flavour = "host runtime" if HOST else "CUDA"
    print(f"gpu_roofline: {flavour}, n = {sizes}", flush=True)
    method, copies, results = measure_all(sizes, repeats, start + args.budget)
    text, pct, families, columns = tables(method, copies, results, sizes)
    args.output.mkdir(parents=True, exist_ok=True)
    (args.output / "gpu_roofline.md").write_text(text + "\n")
    print(text)
    title = f"Achieved bandwidth, percent of a device-to-device copy ({flavour})"
    if plot(args.output / "gpu_roofline.png", pct, families, columns, title):
        print(f"plot: {args.output / 'gpu_roofline.png'}")
    else:
        print("plot: matplotlib not found, none written")
    print(f"gpu_roofline: {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    sys.exit(main())
