// Docstrings of the tovrek module surface. A function's first line is its
// fixed summary; the paragraphs after it document what it reads and returns.
#pragma once

namespace tovrek::docs {

#define TOVREK_GATE_FIELDS                                                                         \
  "  id (str): gate name: x, y, z, h, s, s_dag, t, t_dag, sqrtx or sx, sqrtx_dag or sxdg,\n"       \
  "      sqrty, sqrty_dag, swap (two targets), rx, ry, rz, phase or p, u (also u1, u2, u3),\n"     \
  "      gp (also global_phase, gphase), unitary; the prefixes c and mc (cx, mcx, cp, crz,\n"      \
  "      ...) are spellings only: the controls come from the control list.\n"                      \
  "  target (sequence of int): target qubits; qubit q is bit q of the amplitude index.\n"          \
  "  control (sequence of int): control qubits.\n"                                                  \
  "  control_state (sequence of int): required value, 0 or 1, of each control.\n"

#define TOVREK_GATE_PARAMETERS                                                                     \
  "      rx, ry, rz, phase and gp take one angle in radians, u three (theta, phi, lambda),\n"      \
  "      the others none (t and t_dag set their own).\n"

inline constexpr const char* kModule = "CUDA gate backend for qalvane";

inline constexpr const char* kKernelMode =
    "How gates are launched: AllState (all-state kernels), Pair (pair kernels), PairAuto\n"
    "(automatic pair kernels, the default) or PairAutoFusion (gates planned into fused groups,\n"
    "leftover single gates as PairAuto). The members are also module attributes.";
inline constexpr const char* kKernelModeName = "The member's name, such as 'PairAuto'.";
inline constexpr const char* kKernelModeValue = "The member's integer value, 0 to 3.";
inline constexpr const char* kAllState = "Every gate by its all-state kernel.";
inline constexpr const char* kPair = "Every gate by its pair kernel.";
inline constexpr const char* kPairAuto = "Every gate by its automatic pair kernel (the default).";
inline constexpr const char* kPairAutoFusion =
    "Gates planned into fused groups (shared-memory or dense-product); single gates as PairAuto.";

inline constexpr const char* kDeviceState =
    "A state vector of 2**n complex amplitudes (complex64 or complex128) in the memory of one\n"
    "GPU. Amplitude i holds basis state i, qubit q being bit q of i. Create one with\n"
    "zero_state() or from_numpy(); it frees its buffer when the last reference goes.";
inline constexpr const char* kFromNumpy =
    "Upload a NumPy state: a 1-D C-contiguous complex64 or complex128 array of 2**n\n"
    "elements (1 <= n <= 62; the precision follows the array; the array is only read).\n"
    "device is 'cuda', 'gpu' or 'cuda:<id>'; use_pinned_host page-locks the array for the copy.";
inline constexpr const char* kZeroState =
    "A new state |0...0> of n qubits (1 <= n <= 62); dtype is 'complex64' or 'complex128',\n"
    "device 'cuda', 'gpu' or 'cuda:<id>'.";
inline constexpr const char* kToNumpy =
    "Download the amplitudes into a new 1-D array of the state's dtype (waits for queued work).";
inline constexpr const char* kCopyToNumpy =
    "Download the amplitudes into state, a writable 1-D C-contiguous array of 2**n elements\n"
    "of the state's dtype.";
inline constexpr const char* kStateN = "Number of qubits.";
inline constexpr const char* kNumState = "Number of amplitudes, 2**n.";
inline constexpr const char* kDeviceId = "CUDA device ordinal that holds the state.";
inline constexpr const char* kStateDtype = "'complex64' or 'complex128'.";

inline constexpr const char* kPreparedFusionChunk =
    "A chunk of gates planned into fused groups on the CPU by prepare_fusion_chunk_gates();\n"
    "immutable, it runs with execute_prepared_fusion_chunk() on any state of the same n.";
inline constexpr const char* kChunkN = "Number of qubits the chunk was planned for.";
inline constexpr const char* kGateCount = "Number of gates read into the chunk (not of fused groups).";

inline constexpr const char* kRunCircuitDevice =
    "Run a gate_ir chunk on an existing CUDA DeviceState.\n\n"
    "gate_ir is a list of dicts with the keys:\n" TOVREK_GATE_FIELDS
    "  parameter (sequence of float):\n" TOVREK_GATE_PARAMETERS
    "  matrix (optional; complex array-like, 2**k x 2**k): the matrix of a unitary gate on\n"
    "      its k targets.\n"
    "endian ('little' or 'big') is checked; gates ignore it. mode is a KernelMode.\n"
    "Returns once the work is enqueued; the next blocking copy waits for it.";
inline constexpr const char* kRunCircuitDeviceGates =
    "Run a QuantumGate object chunk on an existing CUDA DeviceState.\n\n"
    "gates is an iterable of objects with the attributes:\n" TOVREK_GATE_FIELDS
    "  parameter (sequence of float, or None for none):\n" TOVREK_GATE_PARAMETERS
    "  matrix (complex array-like, 2**k x 2**k): read only from unitary gates.\n"
    "endian ('little' or 'big') is checked; gates ignore it. mode is a KernelMode.\n"
    "Returns once the work is enqueued; the next blocking copy waits for it.";
inline constexpr const char* kRunCircuit =
    "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.\n\n"
    "state is a writable 1-D C-contiguous complex64 or complex128 array of 2**n elements;\n"
    "gate_ir, endian and mode as for run_circuit_device(). If a gate fails, state is left\n"
    "as it was.";
inline constexpr const char* kPrepareFusionChunkGates =
    "Parse and plan one streamed chunk on the CPU without launching CUDA.\n\n"
    "gates is an iterable of gate objects as for run_circuit_device_gates(); the options\n"
    "bound the fused groups (the defaults are those of mode PairAutoFusion).";
inline constexpr const char* kExecutePreparedFusionChunk =
    "Execute one CPU-prepared fusion chunk and wait for its CUDA work.\n\n"
    "The state must have the chunk's n.";
inline constexpr const char* kMeasureDevice =
    "Measure target qubits on an existing CUDA DeviceState.\n\n"
    "Collapses the state and returns the outcome: one '0' or '1' per target, first target\n"
    "first. endian 'big' reads target q as index bit n-1-q. seed is None (fresh) or an int in\n"
    "[0, 2**64).";
inline constexpr const char* kSampleMeasureDevice =
    "Batch-sample target qubits and optionally collapse to the final outcome.\n\n"
    "Returns (counts, last): counts maps each observed outcome string to its number of\n"
    "shots, last is the outcome of the last shot. shots must be positive; endian and seed\n"
    "as for measure_device().";
inline constexpr const char* kMeasure =
    "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured "
    "bit string is returned.\n\n"
    "state as for run_circuit(); targets, endian as for measure_device() (with a fresh seed).";

#undef TOVREK_GATE_FIELDS
#undef TOVREK_GATE_PARAMETERS

}  // namespace tovrek::docs
