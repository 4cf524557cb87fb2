"""
CUDA dense density-matrix backend for qalvane
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['DeviceDensityState', 'expectation_pauli_device', 'measure_device', 'run_density_operations_device', 'runtime']
class DeviceDensityState:
    """
    A dense 2**n x 2**n density matrix (0 <= n <= 15; complex64 or complex128, row-major)
    in the memory of one GPU; qubit q is bit q of the row and column index. Create one with
    zero_state() or from_numpy(); it frees its buffer when the last reference goes.
    """
    @staticmethod
    def from_numpy(n: typing.SupportsInt | typing.SupportsIndex, state: numpy.ndarray, device: str = 'cuda:0') -> DeviceDensityState:
        """
        Upload a density matrix: a writable C-contiguous complex64 or complex128 array of shape
        (2**n, 2**n); the precision follows the array, which is only read.
        """
    @staticmethod
    def zero_state(n: typing.SupportsInt | typing.SupportsIndex, dtype: str = 'complex128', device: str = 'cuda:0') -> DeviceDensityState:
        """
        A new state |0...0><0...0| of n qubits; dtype is 'complex64' or 'complex128', device
        'cuda', 'gpu' or 'cuda:<id>'.
        """
    def copy(self) -> DeviceDensityState:
        """
        A new state on the same device holding a copy of this one.
        """
    def to_numpy(self) -> numpy.ndarray:
        """
        Download the matrix into a new (2**n, 2**n) array of the state's dtype.
        """
    @property
    def device_id(self) -> int:
        """
        CUDA device ordinal that holds the state.
        """
    @property
    def dimension(self) -> int:
        """
        Side of the matrix, 2**n.
        """
    @property
    def dtype(self) -> str:
        """
        'complex64' or 'complex128'.
        """
    @property
    def num_qubits(self) -> int:
        """
        Number of qubits n.
        """
def expectation_pauli_device(state: DeviceDensityState, terms: collections.abc.Iterable) -> numpy.typing.NDArray[numpy.float64]:
    """
    Pauli expectation values on an existing CUDA DeviceDensityState.
    
    terms is a sequence of (paulis, qubits) pairs: paulis a string over 'I', 'X', 'Y' and 'Z', qubits a sequence of as many distinct qubit indices in [0, n); letter j acts on qubits[j], qubit q being bit q of the row and column index, and ("", []) is the identity. Returns a float64 array holding Re tr(rho P) for each term, in order, for the matrix as it is (no normalisation). Each term reads only the 2**n elements it reaches; only the values leave the device.
    """
def measure_device(state: DeviceDensityState, targets: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], endian: str = 'little', seed: typing.Any = None) -> str:
    """
    Measure target qubits and collapse the state; returns one '0' or '1' per target, first
    target first. endian 'big' reads target q as index bit n-1-q; seed is None (fresh) or an
    int in [0, 2**64).
    """
def run_density_operations_device(state: DeviceDensityState, num_qubits: typing.SupportsInt | typing.SupportsIndex, operations: collections.abc.Iterable) -> None:
    """
    Apply operations, in order, to the state (num_qubits must be its n).
    
    operations is an iterable of objects read by attribute, in two forms.
    Gates (rho -> C rho C^dagger, C the controlled operator):
      id (str): x, y, z, -z, h, s, s_dag, t, t_dag, sqrtx, sqrtx_dag, sqrty, sqrty_dag,
          x2p, x2m, y2p, y2m, rx, ry, rz, p, gp, u, rxy, swap (two targets); c and mc
          prefixes (cx, cnot, mcx, crz, ...) are spellings only.
      target (sequence of int): target qubits; target j is bit j of the local matrix index.
      control (sequence of int), control_state (sequence of int, 0 or 1 each).
      parameter (iterable of float, or None): rx, ry, rz, p, gp one angle; rxy two; u three.
      has_stored_matrix (bool): use stored_matrix instead of the named matrix.
      stored_matrix (complex array, 2**k x 2**k): read only when has_stored_matrix is true.
    Kraus sets (rho -> sum_k K_k rho K_k^dagger), told apart by operation_kind:
      operation_kind (str): 'kraus'.
      target (sequence of int): one to three target qubits.
      channel_name (str, optional): bit_flip, phase_flip, depolarizing, amplitude_damping or
          phase_damping runs a one-qubit set as that built-in channel.
      kraus_matrices (complex array of shape (count, d, d), d = 2**len(target)).
    The whole list is checked before anything runs; the call waits for the GPU.
    """
__version__: str
runtime: str
