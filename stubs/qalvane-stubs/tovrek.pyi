"""
CUDA gate backend for qalvane
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['AllState', 'DeviceState', 'KernelMode', 'Pair', 'PairAuto', 'PairAutoFusion', 'PreparedFusionChunk', 'execute_prepared_fusion_chunk', 'expectation_pauli_device', 'measure', 'measure_device', 'prepare_fusion_chunk_gates', 'run_circuit', 'run_circuit_device', 'run_circuit_device_gates', 'runtime', 'sample_measure_device']
class KernelMode:
    """
    How gates are launched: AllState (all-state kernels), Pair (pair kernels), PairAuto
    (automatic pair kernels, the default) or PairAutoFusion (gates planned into fused groups,
    leftover single gates as PairAuto). The members are also module attributes.
    
    Members:
    
      AllState : Every gate by its all-state kernel.
    
      Pair : Every gate by its pair kernel.
    
      PairAuto : Every gate by its automatic pair kernel (the default).
    
      PairAutoFusion : Gates planned into fused groups (shared-memory or dense-product); single gates as PairAuto.
    """
    AllState: typing.ClassVar[KernelMode]
    Pair: typing.ClassVar[KernelMode]
    PairAuto: typing.ClassVar[KernelMode]
    PairAutoFusion: typing.ClassVar[KernelMode]
    __members__: typing.ClassVar[dict[str, KernelMode]]
    @typing.overload
    def __eq__(self, other: KernelMode) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    @typing.overload
    def __ne__(self, other: KernelMode) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        """
        The member's name, such as 'PairAuto'.
        """
    @property
    def value(self) -> int:
        """
        The member's integer value, 0 to 3.
        """
class DeviceState:
    """
    A state vector of 2**n complex amplitudes (complex64 or complex128) in the memory of one
    GPU. Amplitude i holds basis state i, qubit q being bit q of i. Create one with
    zero_state() or from_numpy(); it frees its buffer when the last reference goes.
    """
    @staticmethod
    def from_numpy(n: typing.SupportsInt | typing.SupportsIndex, state: numpy.ndarray, device: str = 'cuda:0', use_pinned_host: bool = False) -> DeviceState:
        """
        Upload a NumPy state: a 1-D C-contiguous complex64 or complex128 array of 2**n
        elements (1 <= n <= 62; the precision follows the array; the array is only read).
        device is 'cuda', 'gpu' or 'cuda:<id>'; use_pinned_host page-locks the array for the copy.
        """
    @staticmethod
    def zero_state(n: typing.SupportsInt | typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceState:
        """
        A new state |0...0> of n qubits (1 <= n <= 62); dtype is 'complex64' or 'complex128',
        device 'cuda', 'gpu' or 'cuda:<id>'.
        """
    def copy_to_numpy(self, state: numpy.ndarray, use_pinned_host: bool = False) -> None:
        """
        Download the amplitudes into state, a writable 1-D C-contiguous array of 2**n elements
        of the state's dtype.
        """
    def to_numpy(self, use_pinned_host: bool = False) -> numpy.ndarray:
        """
        Download the amplitudes into a new 1-D array of the state's dtype (waits for queued work).
        """
    @property
    def device_id(self) -> int:
        """
        CUDA device ordinal that holds the state.
        """
    @property
    def dtype(self) -> str:
        """
        'complex64' or 'complex128'.
        """
    @property
    def n(self) -> int:
        """
        Number of qubits.
        """
    @property
    def num_state(self) -> int:
        """
        Number of amplitudes, 2**n.
        """
class PreparedFusionChunk:
    """
    A chunk of gates planned into fused groups on the CPU by prepare_fusion_chunk_gates();
    immutable, it runs with execute_prepared_fusion_chunk() on any state of the same n.
    """
    @property
    def gate_count(self) -> int:
        """
        Number of gates read into the chunk (not of fused groups).
        """
    @property
    def n(self) -> int:
        """
        Number of qubits the chunk was planned for.
        """
def execute_prepared_fusion_chunk(state: DeviceState, chunk: PreparedFusionChunk) -> None:
    """
    Execute one CPU-prepared fusion chunk and wait for its CUDA work.
    
    The state must have the chunk's n.
    """
def expectation_pauli_device(state: DeviceState, terms: collections.abc.Iterable) -> numpy.typing.NDArray[numpy.float64]:
    """
    Pauli expectation values on an existing CUDA DeviceState.
    
    terms is a sequence of (paulis, qubits) pairs: paulis a string over 'I', 'X', 'Y' and 'Z', qubits a sequence of as many distinct qubit indices in [0, n); letter j acts on qubits[j], qubit q being bit q of the amplitude index, and ("", []) is the identity. Returns a float64 array holding Re <psi|P|psi> for each term, in order, for the state as it is (no normalisation). Terms that flip the same qubits share passes over the state; only the values leave the device.
    """
def measure(n: typing.SupportsInt | typing.SupportsIndex, state: numpy.ndarray, targets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], endian: str = 'little', device: str = 'cuda:0', use_pinned_host: bool = False) -> str:
    """
    Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is returned.
    
    state as for run_circuit(); targets, endian as for measure_device() (with a fresh seed).
    """
def measure_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits on an existing CUDA DeviceState.
    
    Collapses the state and returns the outcome: one '0' or '1' per target, first target
    first. endian 'big' reads target q as index bit n-1-q. seed is None (fresh) or an int in
    [0, 2**64).
    """
def prepare_fusion_chunk_gates(n: typing.SupportsInt | typing.SupportsIndex, gates: collections.abc.Iterable, fuse_swap: bool = True, sparsesharemem_qubits: typing.SupportsInt | typing.SupportsIndex = 10, densemm_min_qubits: typing.SupportsInt | typing.SupportsIndex = 1, densemm_max_qubits: typing.SupportsInt | typing.SupportsIndex = 7, densemm_gate_threshold_scale: typing.SupportsFloat | typing.SupportsIndex = 1.0, max_gates_per_group: typing.SupportsInt | typing.SupportsIndex = 512, pad_sparsesharemem: bool = True) -> PreparedFusionChunk:
    """
    Parse and plan one streamed chunk on the CPU without launching CUDA.
    
    gates is an iterable of gate objects as for run_circuit_device_gates(); the options
    bound the fused groups (the defaults are those of mode PairAutoFusion).
    """
def run_circuit(n: typing.SupportsInt | typing.SupportsIndex, state: numpy.ndarray, gate_ir: list, endian: str = 'little', device: str = 'cuda:0', mode: KernelMode = KernelMode.PairAuto, use_pinned_host: bool = False) -> numpy.ndarray:
    """
    Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.
    
    state is a writable 1-D C-contiguous complex64 or complex128 array of 2**n elements;
    gate_ir, endian and mode as for run_circuit_device(). If a gate fails, state is left
    as it was.
    """
def run_circuit_device(state: DeviceState, gate_ir: list, endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a gate_ir chunk on an existing CUDA DeviceState.
    
    gate_ir is a list of dicts with the keys:
      id (str): gate name: x, y, z, h, s, s_dag, t, t_dag, sqrtx or sx, sqrtx_dag or sxdg,
          sqrty, sqrty_dag, swap (two targets), rx, ry, rz, phase or p, u (also u1, u2, u3),
          gp (also global_phase, gphase), unitary; the prefixes c and mc (cx, mcx, cp, crz,
          ...) are spellings only: the controls come from the control list.
      target (sequence of int): target qubits; qubit q is bit q of the amplitude index.
      control (sequence of int): control qubits.
      control_state (sequence of int): required value, 0 or 1, of each control.
      parameter (sequence of float):
          rx, ry, rz, phase and gp take one angle in radians, u three (theta, phi, lambda),
          the others none (t and t_dag set their own).
      matrix (optional; complex array-like, 2**k x 2**k): the matrix of a unitary gate on
          its k targets.
    endian ('little' or 'big') is checked; gates ignore it. mode is a KernelMode.
    Returns once the work is enqueued; the next blocking copy waits for it.
    """
def run_circuit_device_gates(state: DeviceState, gates: collections.abc.Iterable, endian: str = 'little', mode: KernelMode = KernelMode.PairAuto) -> None:
    """
    Run a QuantumGate object chunk on an existing CUDA DeviceState.
    
    gates is an iterable of objects with the attributes:
      id (str): gate name: x, y, z, h, s, s_dag, t, t_dag, sqrtx or sx, sqrtx_dag or sxdg,
          sqrty, sqrty_dag, swap (two targets), rx, ry, rz, phase or p, u (also u1, u2, u3),
          gp (also global_phase, gphase), unitary; the prefixes c and mc (cx, mcx, cp, crz,
          ...) are spellings only: the controls come from the control list.
      target (sequence of int): target qubits; qubit q is bit q of the amplitude index.
      control (sequence of int): control qubits.
      control_state (sequence of int): required value, 0 or 1, of each control.
      parameter (sequence of float, or None for none):
          rx, ry, rz, phase and gp take one angle in radians, u three (theta, phi, lambda),
          the others none (t and t_dag set their own).
      matrix (complex array-like, 2**k x 2**k): read only from unitary gates.
    endian ('little' or 'big') is checked; gates ignore it. mode is a KernelMode.
    Returns once the work is enqueued; the next blocking copy waits for it.
    """
def sample_measure_device(state: DeviceState, targets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], shots: typing.SupportsInt | typing.SupportsIndex, endian: str = 'little', seed: typing.Any = None, collapse_last: bool = True) -> tuple:
    """
    Batch-sample target qubits and optionally collapse to the final outcome.
    
    Returns (counts, last): counts maps each observed outcome string to its number of
    shots, last is the outcome of the last shot. shots must be positive; endian and seed
    as for measure_device().
    """
AllState: KernelMode
Pair: KernelMode
PairAuto: KernelMode
PairAutoFusion: KernelMode
__version__: str
runtime: str
