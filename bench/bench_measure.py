"""Shots per second of sample_measure_device: one call draws all shots from
one probability table. The time of a one-shot call (reduction, table copy,
collapse) is given apart, and subtracted for the draw rate."""

import numpy as np

from qalvane import tovrek
from timing import best_of


def bench(n, k, shots, repeats=3):
    rng = np.random.default_rng(7)
    a = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    state = tovrek.DeviceState.from_numpy(n, a / np.linalg.norm(a))
    targets = list(range(k))
    one = best_of(repeats, lambda: tovrek.sample_measure_device(state, targets, 1, seed=1,
                                                                collapse_last=False))
    full = best_of(repeats, lambda: tovrek.sample_measure_device(state, targets, shots, seed=1,
                                                                 collapse_last=False))
    store = "dense" if 2**k < shots else "hash"
    print(f"n={n:2d} targets={k:2d} shots={shots:.0e} ({store:5s}): call {full * 1e3:8.1f} ms, "
          f"one-shot call {one * 1e3:7.1f} ms, {shots / full:12.4g} shots/s overall, "
          f"{shots / max(full - one, 1e-9):12.4g} shots/s drawing")


if __name__ == "__main__":
    print("device:", "host runtime" if hasattr(tovrek, "_hostcuda") else "CUDA")
    bench(20, 20, 10**6)
    bench(20, 3, 10**6)
    bench(10, 3, 10**6)
