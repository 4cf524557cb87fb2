"""Pauli expectation values: terms per second of expectation_pauli_device for
1, 100 and 10,000 random terms (weights 1 to 4 on random qubits, as in a
Hamiltonian) and for 1,000 terms of I and Z only, beside the cost of
to_numpy() plus a NumPy evaluation of the same terms. The NumPy rate is
measured on at most 200 terms (grouped by X/Y pattern as the device does)
and scaled to the full count."""
import sys
import time

import numpy as np

from qalvane import tovrek
from timing import best_of

NUMPY_SAMPLE = 200


def random_terms(rng, n, count):
    terms = []
    for _ in range(count):
        k = int(rng.integers(1, 5))
        terms.append(("".join(rng.choice(list("IXYZ"), size=k)), rng.permutation(n)[:k].tolist()))
    return terms


def masks(letters, qubits):
    x = sum(1 << q for l, q in zip(letters, qubits) if l in "XY")
    z = sum(1 << q for l, q in zip(letters, qubits) if l in "ZY")
    return x, z, bin(x & z).count("1") % 4


def numpy_values(psi, terms):
    """Re <psi|P|psi> from the amplitudes on the host, one product per X/Y
    pattern, in double precision as on the device."""
    psi = psi.astype(np.complex128, copy=False)
    index = np.arange(psi.size, dtype=np.uint64)
    parsed = [masks(l, q) for l, q in terms]
    values = np.empty(len(terms))
    for x in sorted({m[0] for m in parsed}):
        product = np.conj(psi) * psi[index ^ np.uint64(x)]
        for k, (tx, z, y) in enumerate(parsed):
            if tx != x:
                continue
            signs = 1 - 2 * (np.bitwise_count(index & np.uint64(z)) & 1).astype(np.int8)
            values[k] = ((-1j) ** y * np.dot(signs, product)).real
    return values


def bench(state, label, terms, repeats):
    groups = len({masks(l, q)[0] for l, q in terms})
    device = best_of(repeats, lambda: tovrek.expectation_pauli_device(state, terms))
    download = best_of(repeats, state.to_numpy)
    psi = state.to_numpy()
    sample = terms[:NUMPY_SAMPLE]
    start = time.perf_counter()
    expected = numpy_values(psi, sample)
    host = (time.perf_counter() - start) * len(terms) / len(sample)
    got = tovrek.expectation_pauli_device(state, sample)
    assert np.allclose(got, expected, rtol=0, atol=1e-9), "device and NumPy disagree"
    print(f"{label:22s} {len(terms):6d} terms {groups:5d} X/Y groups: device {device:9.4f} s "
          f"{len(terms) / device:10.4g} terms/s | to_numpy {download:7.4f} s + NumPy {host:9.3f} s "
          f"= {len(terms) / (download + host):10.4g} terms/s", flush=True)


if __name__ == "__main__":
    host_runtime = hasattr(tovrek, "_hostcuda")
    print("device:", "host runtime" if host_runtime else "CUDA")
    n = 20 if host_runtime else int(sys.argv[1]) if len(sys.argv) > 1 else 28
    rng = np.random.default_rng(11)
    for dtype in ("complex64", "complex128"):
        a = (rng.normal(size=2**n) + 1j * rng.normal(size=2**n)).astype(dtype)
        state = tovrek.DeviceState.from_numpy(n, a / np.linalg.norm(a))
        del a
        print(f"n={n} {dtype}")
        for count in (1, 100, 10_000):
            bench(state, "random", random_terms(rng, n, count), 3 if count < 10_000 else 1)
        z_only = [("".join(rng.choice(list("IZ"), size=n)), list(range(n))) for _ in range(1000)]
        bench(state, "I/Z only", z_only, 1)
