"""DeviceDensityState: factories, transfers, copy, properties, argument
checks in their order, and the CUDA failure paths."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_INVALID_VALUE, CUDA_ERROR_MEMORY_ALLOCATION, requires_host_runtime
from density_reference import failure, Gate, random_density
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
RANGE = "num_qubits must be in [0, 15] for the GPU density backend"
DTYPES = ["complex64", "complex128"]


def test_module_surface():
    assert rhomira.__doc__ == "CUDA dense density-matrix backend for qalvane"
    with pytest.raises(TypeError):
        State()


@pytest.mark.parametrize("n", [0, 1, 3])
@pytest.mark.parametrize("dtype", DTYPES)
def test_zero_state(n, dtype, no_leaks):
    state = State.zero_state(n, dtype)
    out = state.to_numpy()
    expected = np.zeros((2**n, 2**n), dtype=dtype)
    expected[0, 0] = 1
    assert out.dtype == np.dtype(dtype) and out.flags.c_contiguous
    itemsize = np.dtype(dtype).itemsize
    assert out.strides == (2**n * itemsize, itemsize)
    np.testing.assert_array_equal(out, expected)
    assert (state.num_qubits, state.dimension, state.dtype, state.device_id) == (n, 2**n, dtype, 0)


def test_zero_state_defaults_and_devices():
    assert State.zero_state(1).dtype == "complex128"
    assert State.zero_state(1, device="gpu").device_id == 0
    assert State.zero_state(n=1, dtype="complex64", device="cuda").dtype == "complex64"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((16,), ValueError, RANGE),
        ((-1,), ValueError, RANGE),
        ((1, "float32"), ValueError, "dtype must be 'complex64' or 'complex128', got: float32"),
        ((1, "float32", "cpu"), ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
        ((16, "float32"), ValueError, "dtype must be 'complex64' or 'complex128', got: float32"),
        ((1, "complex128", "cuda:x"), ValueError, "stoi"),
        ((1, "complex128", "cuda:99999999999"), IndexError, "stoi"),
    ],
)
def test_zero_state_errors(args, exc, message, no_leaks):
    assert failure(State.zero_state, *args) == (exc, message)


@pytest.mark.parametrize("n", [0, 1, 4])
@pytest.mark.parametrize("dtype", DTYPES)
def test_from_numpy_round_trip(n, dtype, no_leaks):
    rho = random_density(n, np.random.default_rng(n), dtype)
    before = rho.copy()
    state = State.from_numpy(n, rho)
    np.testing.assert_array_equal(rho, before)
    out = state.to_numpy()
    assert out.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(out, rho)
    assert state.dtype == dtype and state.num_qubits == n


def _readonly(a):
    a.flags.writeable = False
    return a


GOOD = np.eye(2, dtype=np.complex128)


@pytest.mark.parametrize(
    "n, array, device, message",
    [
        (16, GOOD, "cpu", RANGE),
        (-1, GOOD, "cuda", RANGE),
        (1, np.zeros(4, np.complex128), "cpu", "state shape must be (2**n, 2**n)"),
        (1, np.zeros((2, 4), np.complex128), "cpu", "state shape must be (2**n, 2**n)"),
        (2, GOOD, "cuda", "state shape must be (2**n, 2**n)"),
        (1, np.asfortranarray(np.arange(4).reshape(2, 2).astype(np.complex128)), "cpu",
         "state must be C-contiguous"),
        (1, np.zeros((2, 4), np.complex128)[:, ::2], "cpu", "state must be C-contiguous"),
        (1, _readonly(np.eye(2, dtype=np.float64)), "cpu", "state must be writable"),
        (1, np.eye(2, dtype=np.float64), "cpu", "dtype must be 'complex64' or 'complex128', got: float64"),
        (1, np.eye(2, dtype=">c16"), "cpu", "dtype must be 'complex64' or 'complex128', got: >c16"),
        (1, GOOD, "cpu", "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
    ],
)
def test_from_numpy_checks_in_order(n, array, device, message, no_leaks):
    assert failure(State.from_numpy, n, array, device) == (ValueError, message)


def test_from_numpy_requires_an_array():
    with pytest.raises(TypeError):
        State.from_numpy(1, [[1, 0], [0, 0]])


@pytest.mark.parametrize("dtype", DTYPES)
def test_copy_is_independent(dtype, no_leaks):
    rho = random_density(2, np.random.default_rng(5), dtype)
    source = State.from_numpy(2, rho)
    duplicate = source.copy()
    assert (duplicate.num_qubits, duplicate.dtype, duplicate.device_id) == (2, dtype, 0)
    rhomira.run_density_operations_device(duplicate, 2, [Gate("h", [1])])
    np.testing.assert_array_equal(source.to_numpy(), rho)
    assert not np.array_equal(duplicate.to_numpy(), rho)
    del source
    assert duplicate.to_numpy().shape == (4, 4)


@requires_host_runtime
@pytest.mark.parametrize(
    "call, name, nth",
    [
        (lambda: State.zero_state(2), "cudaMalloc", 1),
        (lambda: State.zero_state(2), "cudaMemset", 1),
        (lambda: State.zero_state(2), "cudaMemcpy", 1),
        (lambda: State.zero_state(2), "cudaSetDevice", 1),
        (lambda: State.from_numpy(1, np.eye(2, dtype=np.complex64)), "cudaMemcpy", 1),
        (lambda: State.zero_state(2).copy(), "cudaMalloc", 2),
        (lambda: State.zero_state(2).copy(), "cudaMemcpy", 2),
        (lambda: State.zero_state(2).to_numpy(), "cudaMemcpy", 2),
    ],
)
def test_cuda_failures_raise_and_free(call, name, nth, no_leaks):
    hostcuda.fail_nth(name, nth, CUDA_ERROR_INVALID_VALUE)
    expected = "CUDA error: " + hostcuda.error_string(CUDA_ERROR_INVALID_VALUE)
    assert failure(call) == (RuntimeError, expected)


@requires_host_runtime
def test_out_of_memory_and_bad_device(no_leaks):
    hostcuda.set_memory_limit(0, 1000)
    expected = "CUDA error: " + hostcuda.error_string(CUDA_ERROR_MEMORY_ALLOCATION)
    assert failure(State.zero_state, 4) == (RuntimeError, expected)  # 4096 bytes
    with pytest.raises(RuntimeError, match="^CUDA error: "):
        State.zero_state(1, device="cuda:-1")


@requires_host_runtime
def test_byte_sizes_by_precision():
    base = hostcuda.live_bytes()
    a = State.zero_state(3, "complex128")
    assert hostcuda.live_bytes() - base == 64 * 16
    b = State.zero_state(3, "complex64")
    assert hostcuda.live_bytes() - base == 64 * 16 + 64 * 8
    del a, b
