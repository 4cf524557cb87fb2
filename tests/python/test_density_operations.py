"""Reading operation objects, every validation message in its order, the
preparation pass before any launch, and the executor's failure paths."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_INVALID_VALUE, requires_host_runtime
from density_reference import failure, Gate, Kraus, random_density, random_unitary
from qalvane import rhomira

State = rhomira.DeviceDensityState
hostcuda = getattr(rhomira, "_hostcuda", None)
I2 = np.eye(2)
X = np.array([[0, 1], [1, 0]])


def fresh(n=3, seed=0):
    rho = random_density(n, np.random.default_rng(seed))
    return rho, State.from_numpy(n, rho.copy())


def raises(state, ops, message, exc=RuntimeError, n=None):
    n = state.num_qubits if n is None else n
    assert failure(rhomira.run_density_operations_device, state, n, ops) == (exc, message)


GATE_ERRORS = [
    (Gate("h", []), "density operation requires at least one target"),
    (Gate("h", [], [0, 1], [1]), "density operation requires at least one target"),
    (Gate("h", [0], [1, 2], [1]), "controls and control_state sizes must match"),
    (Gate("h", [0, 0]), "invalid or duplicate target qubit"),
    (Gate("h", [-1], [0, 1], [1]), "controls and control_state sizes must match"),
    (Gate("h", [3]), "invalid or duplicate target qubit"),
    (Gate("h", [-1]), "invalid or duplicate target qubit"),
    (Gate("h", [0], [0], [1]), "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", [0], [1, 1], [1, 1]), "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", [0], [3], [1]), "invalid, duplicate, or overlapping control qubit"),
    (Gate("h", [0], [1], [2]), "control_state must contain only 0 or 1"),
    (Gate("h", [0], [1], [-1]), "control_state must contain only 0 or 1"),
    (Gate("h", [0], [1, 1], [2, 1]), "control_state must contain only 0 or 1"),
    (Gate("rz", [0]), "invalid parameter count for density operation 'rz'"),
    (Gate("crz", [0], [1], [1], []), "invalid parameter count for density operation 'crz'"),
    (Gate("rz", [0], parameter=[np.inf]), "density operation parameters must be finite"),
    (Gate("p", [0], parameter=[np.nan]), "density operation parameters must be finite"),
    (Gate("u", [0], parameter=[1.0, 2.0]), "invalid parameter count for density operation 'u'"),
    (Gate("u", [0], parameter=[1.0, 2.0, np.nan]), "density operation parameters must be finite"),
    (Gate("rxy", [0], parameter=[1.0]), "invalid parameter count for density operation 'rxy'"),
    (Gate("h", [0], parameter=[1.0]), "invalid parameter count for density operation 'h'"),
    (Gate("z", [0], parameter=[1.0]), "invalid parameter count for density operation 'z'"),
    (Gate("gphase", [0], [1], [1]), "invalid parameter count for density operation 'gphase'"),
    (Gate("H", [0]), "unsupported named density operation 'H'"),
    (Gate("h", [0, 1]), "named density operation requires one target"),
    (Gate("gp", [0, 1], [2], [1], [0.1]), "named density operation requires one target"),
    (Gate("rz", [0, 1], parameter=[0.1]), "named density operation requires one target"),
    (Gate("swap", [0, 1, 2]), "swap requires exactly two targets"),
    (Gate("swap", [0]), "swap requires exactly two targets"),
    (Gate("swap", [0, 1], parameter=[0.0]), "density operation 'swap' requires no parameters"),
    (Gate("cx", [0], parameter=[1.0]), "density operation 'cx' requires no parameters"),
    (Gate("m", [0, 1], matrix=np.eye(2)), "unitary matrix size does not match targets"),
    (Gate("m", [0], matrix=np.eye(4)), "unitary matrix size does not match targets"),
    (Gate("m", [0], matrix=np.array([[1, np.nan], [0, 1]])),
     "unitary matrix must contain only finite values"),
    (Gate("m", [0], matrix=np.array([[1, 0], [complex(0, np.inf), 1]])),
     "unitary matrix must contain only finite values"),
    (Kraus([], np.array([I2])), "Kraus operation requires at least one target"),
    (Kraus([3], np.array([I2])), "invalid or duplicate Kraus target qubit"),
    (Kraus([1, 1], np.array([np.eye(4)])), "invalid or duplicate Kraus target qubit"),
    (Kraus([0], np.array([np.eye(4)])), "Kraus matrix dimension does not match targets"),
    (Kraus([0], np.array([I2, [[np.nan, 0], [0, 0]]])),
     "Kraus matrices must contain only finite values"),
]


@pytest.mark.parametrize("op, message", GATE_ERRORS)
def test_invalid_operation_raises_and_leaves_state(op, message, no_leaks):
    rho, state = fresh()
    raises(state, [Gate("h", [0]), Gate("cx", [1], [0], [1]), op, Gate("x", [2])], message)
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_width_limits():
    rho, state = fresh(7)
    raises(state, [Gate("h", [0]), Gate("h", list(range(7)))],
           "GPU density unitary supports at most 6 targets")
    raises(state, [Gate("h", [0]), Kraus([0, 1, 2, 3], np.array([np.eye(16)]))],
           "GPU density Kraus supports at most 3 targets")
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_num_qubits_is_checked_first():
    _, state = fresh(2)
    assert rhomira.run_density_operations_device(state, 7, []) is None
    raises(state, [Gate("bad", [])], "num_qubits does not match DeviceDensityState", ValueError, 7)
    raises(state, [Gate("h", [0])], "num_qubits does not match DeviceDensityState", ValueError, -2)


PARSE_ERRORS = [
    (Kraus([0], np.array([I2]), operation_kind="gate"), "unsupported density operation kind 'gate'"),
    (Kraus([0], I2), "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.zeros((0, 2, 2))), "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.zeros((1, 2, 3))), "Kraus matrices must have shape (count, dimension, dimension)"),
    (Kraus([0], np.zeros((1, 0, 0))), "Kraus matrices must have shape (count, dimension, dimension)"),
    (Gate("m", [0], matrix=np.zeros((2, 3))), "operation matrix must be square"),
    (Gate("m", [0], matrix=np.zeros(4)), "operation matrix must be square"),
]


@pytest.mark.parametrize("op, message", PARSE_ERRORS)
def test_parse_errors(op, message):
    rho, state = fresh()
    raises(state, [Gate("h", [0]), op], message)
    np.testing.assert_array_equal(state.to_numpy(), rho)


def test_attribute_and_cast_errors_reach_python():
    _, state = fresh(1)
    missing = Gate("h", [0])
    del missing.control_state
    with pytest.raises(AttributeError):
        rhomira.run_density_operations_device(state, 1, [missing])
    for attribute, value in [("id", 5), ("target", "0"), ("parameter", "0.5"),
                             ("parameter", b"x"), ("parameter", 1.5), ("has_stored_matrix", "yes"),
                             ("control_state", [0.5])]:
        op = Gate("h", [0])
        setattr(op, attribute, value)
        with pytest.raises(RuntimeError):
            rhomira.run_density_operations_device(state, 1, [op])
    with pytest.raises(TypeError):
        rhomira.run_density_operations_device(state, 1, 5)
    with pytest.raises(TypeError):
        rhomira.run_density_operations_device(None, 1, [])

    def failing():
        yield Gate("h", [0])
        raise KeyError("from the iterator")

    with pytest.raises(KeyError):
        rhomira.run_density_operations_device(state, 1, failing())


@pytest.mark.parametrize(
    "parameter",
    [[0.5], (0.5,), np.array([0.5]), (x for x in [0.5]), {0.5}, frozenset([0.5]),
     {0.5: 1}.keys(), {1: 0.5}.values(), map(float, ["0.5"]), [np.float32(0.5)],
     [1 / 2]],
)
def test_parameter_iterables(parameter):
    _, a = fresh(1, 1)
    _, b = fresh(1, 1)
    rhomira.run_density_operations_device(a, 1, [Gate("rx", [0], parameter=parameter)])
    rhomira.run_density_operations_device(b, 1, [Gate("rx", [0], parameter=[0.5])])
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


def test_operations_and_flags_accept_loose_inputs():
    _, a = fresh(2, 1)
    _, b = fresh(2, 1)
    ops = [Gate("x", np.array([1]), (0,), np.array([1])), Gate("h", [0], parameter=None)]
    ops[1].has_stored_matrix = 0
    ops[1].stored_matrix = "never read"
    stored = Gate("m", [0], matrix=[[0, 1], [1, 0]])
    stored.has_stored_matrix = np.bool_(True)
    rhomira.run_density_operations_device(a, 2, iter(ops + [stored]))
    rhomira.run_density_operations_device(b, 2, (Gate("cx", [1], [0], [1]), Gate("h", [0]),
                                                 Gate("x", [0])))
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


def test_invalid_kraus_after_channels_leaves_state():
    # Channels and general Kraus sets are prepared like every operation:
    # nothing runs when a later one is invalid.
    rho, state = fresh(2)
    bit_flip = Kraus([0], np.array([np.sqrt(0.9) * I2, np.sqrt(0.1) * X]), "bit_flip")
    general = Kraus([1], np.array([np.sqrt(0.9) * I2, np.sqrt(0.1) * X]), "depolarizing")
    bad = Kraus([0], np.array([I2, [[0, np.inf], [0, 0]]]))
    raises(state, [Gate("h", [0]), bit_flip, general, bad],
           "Kraus matrices must contain only finite values")
    np.testing.assert_array_equal(state.to_numpy(), rho)


@requires_host_runtime
@pytest.mark.parametrize(
    "name, nth, ops, message",
    [
        ("cudaSetDevice", 1, [Gate("h", [0])], "CUDA error: "),
        ("cudaMalloc", 1, [Gate("h", [0])], "CUDA error: "),
        ("cudaMemcpy", 1, [Gate("h", [0])], "CUDA error: "),
        ("launch", 1, [Gate("h", [0])], "unitary kernel launch failed: "),
        ("launch", 2, [Gate("h", [0]), Gate("unitary", [0, 1, 2], matrix=np.eye(8))],
         "unitary kernel launch failed: "),
        ("launch", 3, [Gate("h", [0]), Gate("unitary", [0, 1, 2], matrix=np.eye(8))],
         "unitary kernel launch failed: "),
        ("launch", 2, [Gate("h", [0]), Gate("rz", [1], parameter=[1.0])],
         "diagonal kernel launch failed: "),
        ("launch", 1, [Gate("cz", [1], [0], [1])], "diagonal kernel launch failed: "),
        ("launch", 1, [Gate("swap", [0, 1])], "permutation kernel launch failed: "),
        ("cudaDeviceSynchronize", 1, [Gate("x", [0]), Gate("h", [1])], "CUDA error: "),
    ],
)
def test_cuda_failures_free_the_pool(name, nth, ops, message, no_leaks):
    _, state = fresh()
    hostcuda.fail_nth(name, nth, CUDA_ERROR_INVALID_VALUE)
    raises(state, ops, message + hostcuda.error_string(CUDA_ERROR_INVALID_VALUE))
    # The state stays usable afterwards.
    rhomira.run_density_operations_device(state, 3, [Gate("h", [0])])


@requires_host_runtime
def test_asynchronous_error_surfaces_at_the_end(no_leaks):
    rho, state = fresh()
    hostcuda.inject_async_error(CUDA_ERROR_INVALID_VALUE)
    raises(state, [Gate("h", [0])], "CUDA error: " + hostcuda.error_string(CUDA_ERROR_INVALID_VALUE))


@requires_host_runtime
def test_one_pool_upload_and_one_synchronisation(no_leaks):
    _, state = fresh(3)
    hostcuda.reset()
    rng = np.random.default_rng(0)
    ops = [Gate("h", [0]), Gate("unitary", [1, 2], matrix=random_unitary(2, rng)), Gate("x", [1]),
           Gate("rz", [2], parameter=[0.2]), Gate("u", [1], parameter=[1, 2, 3])]
    rhomira.run_density_operations_device(state, 3, ops)
    assert hostcuda.call_count("cudaMalloc") == 1
    assert hostcuda.call_count("cudaMemcpy") == 1
    assert hostcuda.call_count("cudaDeviceSynchronize") == 1
    assert hostcuda.call_count("launch") == 5
