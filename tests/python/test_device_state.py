"""DeviceState and the module frame: factories, transfers, argument checks and
their order, device strings, and the CUDA failure paths."""
import numpy as np
import pytest

from conftest import (
    CUDA_ERROR_INVALID_VALUE,
    CUDA_ERROR_LAUNCH_FAILURE,
    CUDA_ERROR_MEMORY_ALLOCATION,
    requires_host_runtime,
)
from qalvane import tovrek

DeviceState = tovrek.DeviceState
hostcuda = getattr(tovrek, "_hostcuda", None)


def random_state(n, dtype, seed=1):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return (psi / np.linalg.norm(psi)).astype(dtype)


def test_module_surface():
    assert tovrek.__doc__ == "CUDA gate backend for qalvane"
    for name, value in [("AllState", 0), ("Pair", 1), ("PairAuto", 2), ("PairAutoFusion", 3)]:
        member = getattr(tovrek.KernelMode, name)
        assert getattr(tovrek, name) is member
        assert int(member) == value
    with pytest.raises(TypeError):
        DeviceState()


@pytest.mark.parametrize("n", [1, 3, 10])
@pytest.mark.parametrize("dtype", ["complex64", "complex128"])
def test_zero_state(n, dtype, no_leaks):
    state = DeviceState.zero_state(n, dtype)
    out = state.to_numpy()
    expected = np.zeros(2**n, dtype=dtype)
    expected[0] = 1
    assert out.dtype == np.dtype(dtype) and out.shape == (2**n,)
    assert out.flags.c_contiguous
    np.testing.assert_array_equal(out, expected)
    assert (state.n, state.num_state, state.device_id, state.dtype) == (n, 2**n, 0, dtype)


def test_zero_state_defaults_and_device_spellings():
    assert DeviceState.zero_state(3).dtype == "complex128"
    assert DeviceState.zero_state(2, "complex64", "gpu").dtype == "complex64"
    assert DeviceState.zero_state(2, device="cuda").device_id == 0
    assert DeviceState.zero_state(n=2, dtype="complex64", device="cuda:0").n == 2


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"dtype": "float32"}, ValueError, "dtype must be 'complex64' or 'complex128', got: float32"),
        ({"device": "cpu"}, ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
        ({"device": "cpu", "dtype": "float32"}, ValueError,
         "device must be 'cuda', 'gpu', or 'cuda:<id>', got: cpu"),
        ({"device": "CUDA"}, ValueError, "device must be 'cuda', 'gpu', or 'cuda:<id>', got: CUDA"),
        ({"device": "cuda:abc"}, ValueError, "stoi"),
        ({"device": "cuda:"}, ValueError, "stoi"),
        ({"device": "cuda:99999999999"}, IndexError, "stoi"),
        ({"device": "cuda:-1"}, RuntimeError, "CUDA error: invalid device ordinal"),
        ({"device": "cuda:7"}, RuntimeError, "CUDA error: invalid device ordinal"),
    ],
)
def test_zero_state_argument_errors(kwargs, exc, message, no_leaks):
    with pytest.raises(exc) as info:
        DeviceState.zero_state(2, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("n", [0, 63, -1, 1 << 40])
def test_qubit_range(n):
    with pytest.raises(ValueError, match=r"^n must be in \[1, 62\]$"):
        DeviceState.zero_state(n)


@requires_host_runtime
@pytest.mark.parametrize("n, dtype", [(60, "complex128"), (61, "complex64"), (62, "complex64"),
                                      (62, "complex128")])
def test_sizes_past_64_bits_fail_before_the_runtime(n, dtype, no_leaks):
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        DeviceState.zero_state(n, dtype)
    assert hostcuda.call_count("cudaMalloc") == 0


@requires_host_runtime
def test_allocation_over_budget(no_leaks):
    hostcuda.set_memory_limit(0, 1 << 20)
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        DeviceState.zero_state(17)  # 2 MiB
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        DeviceState.zero_state(59)  # 2^63 bytes reaches the runtime, which refuses it
    assert DeviceState.zero_state(16).num_state == 1 << 16  # exactly 1 MiB fits


@requires_host_runtime
def test_device_string_remainder_parsed_like_stoi():
    hostcuda.set_device_count(3)
    assert DeviceState.zero_state(1, device="cuda:1x").device_id == 1
    assert DeviceState.zero_state(1, device="cuda: 2").device_id == 2
    assert DeviceState.zero_state(1, device="cuda:+1").device_id == 1


@requires_host_runtime
def test_states_on_two_devices_select_their_own():
    hostcuda.set_device_count(2)
    a = DeviceState.from_numpy(2, random_state(2, np.complex128, 1), "cuda:1")
    b = DeviceState.from_numpy(2, random_state(2, np.complex128, 2), "cuda:0")
    np.testing.assert_array_equal(a.to_numpy(), random_state(2, np.complex128, 1))
    np.testing.assert_array_equal(b.to_numpy(), random_state(2, np.complex128, 2))
    assert (a.device_id, b.device_id) == (1, 0)


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("pinned", [False, True])
def test_round_trip(dtype, pinned, no_leaks):
    psi = random_state(5, dtype)
    state = DeviceState.from_numpy(5, psi, use_pinned_host=pinned)
    assert state.dtype == np.dtype(dtype).name
    np.testing.assert_array_equal(state.to_numpy(use_pinned_host=pinned), psi)
    out = np.zeros_like(psi)
    assert state.copy_to_numpy(out, use_pinned_host=pinned) is None
    np.testing.assert_array_equal(out, psi)


def test_from_numpy_accepts_read_only_and_leaves_it_alone():
    psi = random_state(3, np.complex128)
    psi.flags.writeable = False
    state = DeviceState.from_numpy(3, psi)
    np.testing.assert_array_equal(state.to_numpy(), psi)


def _bad_arrays():
    good = np.zeros(4, np.complex128)
    return [
        (2, np.zeros((2, 2), np.complex128), ValueError, "state must be a 1-D contiguous numpy array"),
        (2, np.zeros(8, np.complex128)[::2], ValueError, "state must be C-contiguous"),
        (2, np.zeros(3, np.complex128), ValueError, "state.size must equal 2**n"),
        (0, np.zeros(1, np.complex128), ValueError, "n must be in [1, 62]"),
        (63, good, ValueError, "n must be in [1, 62]"),
        (2, np.zeros(4, np.float64), ValueError,
         "dtype must be 'complex64' or 'complex128', got: float64"),
        (2, np.zeros(4, np.dtype(">c16")), ValueError,
         "dtype must be 'complex64' or 'complex128', got: >c16"),
        # the dimension check comes before the qubit-count check
        (0, np.zeros((2, 2), np.complex128), ValueError, "state must be a 1-D contiguous numpy array"),
    ]


@pytest.mark.parametrize("n, array, exc, message", _bad_arrays())
def test_from_numpy_checks(n, array, exc, message, no_leaks):
    with pytest.raises(exc) as info:
        DeviceState.from_numpy(n, array)
    assert str(info.value) == message


def test_from_numpy_checks_array_before_device():
    with pytest.raises(ValueError, match="state.size must equal"):
        DeviceState.from_numpy(2, np.zeros(3, np.complex128), device="cpu")
    # the shared array check ends with the dtype, still ahead of the device
    with pytest.raises(ValueError, match="^dtype must be"):
        DeviceState.from_numpy(2, np.zeros(4, np.float64), device="cpu")
    with pytest.raises(ValueError, match="^device must be"):
        DeviceState.from_numpy(2, np.zeros(4, np.complex64), device="cpu")


def test_from_numpy_needs_an_ndarray():
    with pytest.raises(TypeError):
        DeviceState.from_numpy(1, [1 + 0j, 0j])


def test_copy_to_numpy_checks():
    state = DeviceState.from_numpy(2, random_state(2, np.complex128))
    read_only = np.zeros(4, np.complex128)
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="^state array must be writable$"):
        state.copy_to_numpy(read_only)
    with pytest.raises(ValueError, match="^numpy state dtype does not match DeviceState$"):
        state.copy_to_numpy(np.zeros(4, np.complex64))
    with pytest.raises(ValueError, match=r"^state.size must equal 2\*\*n$"):
        state.copy_to_numpy(np.zeros(8, np.complex128))
    with pytest.raises(ValueError, match="^state must be C-contiguous$"):
        state.copy_to_numpy(np.zeros(8, np.complex128)[::2])
    # writability is checked first, even for an array that fails every other check
    bad = np.zeros((3, 3), np.float32)
    bad.flags.writeable = False
    with pytest.raises(ValueError, match="^state array must be writable$"):
        state.copy_to_numpy(bad)


@requires_host_runtime
@pytest.mark.parametrize("failing", ["cudaMalloc", "cudaSetDevice", "cudaMemcpy"])
def test_from_numpy_failures_free_everything(failing, no_leaks):
    hostcuda.fail_nth(failing, 1, CUDA_ERROR_MEMORY_ALLOCATION)
    with pytest.raises(RuntimeError, match=r"^CUDA error: out of memory$"):
        DeviceState.from_numpy(3, random_state(3, np.complex128))


@requires_host_runtime
@pytest.mark.parametrize("failing", ["cudaMemset", "cudaMemcpy"])
def test_zero_state_failures_free_everything(failing, no_leaks):
    hostcuda.fail_nth(failing, 1, CUDA_ERROR_INVALID_VALUE)
    with pytest.raises(RuntimeError, match=r"^CUDA error: invalid argument$"):
        DeviceState.zero_state(3)


@requires_host_runtime
def test_failed_registration_is_not_reported(no_leaks):
    psi = random_state(4, np.complex64)
    hostcuda.fail_nth("cudaHostRegister", 1, 712)
    state = DeviceState.from_numpy(4, psi, use_pinned_host=True)
    assert hostcuda.call_count("cudaHostUnregister") == 0
    hostcuda.fail_nth("cudaHostRegister", 1, 712)
    np.testing.assert_array_equal(state.to_numpy(use_pinned_host=True), psi)
    # the failed registration's error was cleared, not left for the next call
    np.testing.assert_array_equal(state.to_numpy(), psi)


@requires_host_runtime
def test_copy_failure_unregisters_and_leaves_device_state(no_leaks):
    psi = random_state(3, np.complex128)
    state = DeviceState.from_numpy(3, psi)
    hostcuda.fail_nth("cudaMemcpy", 1, CUDA_ERROR_LAUNCH_FAILURE)
    out = np.zeros_like(psi)
    with pytest.raises(RuntimeError, match=r"^CUDA error: unspecified launch failure$"):
        state.copy_to_numpy(out, use_pinned_host=True)
    assert hostcuda.call_count("cudaHostRegister") == 1
    assert hostcuda.call_count("cudaHostUnregister") == 1
    np.testing.assert_array_equal(state.to_numpy(), psi)


@requires_host_runtime
def test_unregister_failure_is_reported_after_the_copy():
    psi = random_state(3, np.complex128)
    state = DeviceState.from_numpy(3, psi)
    out = np.zeros_like(psi)
    hostcuda.fail_nth("cudaHostUnregister", 1, 713)
    with pytest.raises(RuntimeError, match=r"^CUDA error: "):
        state.copy_to_numpy(out, use_pinned_host=True)
    np.testing.assert_array_equal(out, psi)


@requires_host_runtime
def test_destroying_a_state_after_a_device_error_raises_nothing():
    state = DeviceState.zero_state(4)
    hostcuda.inject_async_error(CUDA_ERROR_LAUNCH_FAILURE)
    del state  # the destructor ignores what its calls report
