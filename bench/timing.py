"""Timing shared by the benchmark scripts."""
import time


def best_of(repeats, call):
    """Best wall time of `repeats` calls, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best
