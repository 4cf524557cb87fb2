// Docstrings of the rhomira module surface.
#pragma once

namespace qalvane::rhomira::docs {

inline constexpr const char* kModule = "CUDA dense density-matrix backend for qalvane";

inline constexpr const char* kDeviceDensityState =
    "A dense 2**n x 2**n density matrix (0 <= n <= 15; complex64 or complex128, row-major)\n"
    "in the memory of one GPU; qubit q is bit q of the row and column index. Create one with\n"
    "zero_state() or from_numpy(); it frees its buffer when the last reference goes.";
inline constexpr const char* kZeroState =
    "A new state |0...0><0...0| of n qubits; dtype is 'complex64' or 'complex128', device\n"
    "'cuda', 'gpu' or 'cuda:<id>'.";
inline constexpr const char* kFromNumpy =
    "Upload a density matrix: a writable C-contiguous complex64 or complex128 array of shape\n"
    "(2**n, 2**n); the precision follows the array, which is only read.";
inline constexpr const char* kToNumpy =
    "Download the matrix into a new (2**n, 2**n) array of the state's dtype.";
inline constexpr const char* kCopy = "A new state on the same device holding a copy of this one.";
inline constexpr const char* kNumQubits = "Number of qubits n.";
inline constexpr const char* kDimension = "Side of the matrix, 2**n.";
inline constexpr const char* kDtype = "'complex64' or 'complex128'.";
inline constexpr const char* kDeviceId = "CUDA device ordinal that holds the state.";

inline constexpr const char* kRunDensityOperationsDevice =
    "Apply operations, in order, to the state (num_qubits must be its n).\n\n"
    "operations is an iterable of objects read by attribute, in two forms.\n"
    "Gates (rho -> C rho C^dagger, C the controlled operator):\n"
    "  id (str): x, y, z, -z, h, s, s_dag, t, t_dag, sqrtx, sqrtx_dag, sqrty, sqrty_dag,\n"
    "      x2p, x2m, y2p, y2m, rx, ry, rz, p, gp, u, rxy, swap (two targets); c and mc\n"
    "      prefixes (cx, cnot, mcx, crz, ...) are spellings only.\n"
    "  target (sequence of int): target qubits; target j is bit j of the local matrix index.\n"
    "  control (sequence of int), control_state (sequence of int, 0 or 1 each).\n"
    "  parameter (iterable of float, or None): rx, ry, rz, p, gp one angle; rxy two; u three.\n"
    "  has_stored_matrix (bool): use stored_matrix instead of the named matrix.\n"
    "  stored_matrix (complex array, 2**k x 2**k): read only when has_stored_matrix is true.\n"
    "Kraus sets (rho -> sum_k K_k rho K_k^dagger), told apart by operation_kind:\n"
    "  operation_kind (str): 'kraus'.\n"
    "  target (sequence of int): one to three target qubits.\n"
    "  channel_name (str, optional): bit_flip, phase_flip, depolarizing, amplitude_damping or\n"
    "      phase_damping runs a one-qubit set as that built-in channel.\n"
    "  kraus_matrices (complex array of shape (count, d, d), d = 2**len(target)).\n"
    "The whole list is checked before anything runs; the call waits for the GPU.";
inline constexpr const char* kMeasureDevice =
    "Measure target qubits and collapse the state; returns one '0' or '1' per target, first\n"
    "target first. endian 'big' reads target q as index bit n-1-q; seed is None (fresh) or an\n"
    "int in [0, 2**64).";

}  // namespace qalvane::rhomira::docs
