"""The fifteen named single-qubit gates through run_circuit, against dense
NumPy references, in every kernel mode and both precisions."""
import numpy as np
import pytest

from conftest import CUDA_ERROR_LAUNCH_FAILURE, requires_host_runtime
from gate_reference import NAMED_GATES, embed, gate_ir, gate_matrix, random_state
from qalvane import tovrek

hostcuda = getattr(tovrek, "_hostcuda", None)

MODES = [tovrek.KernelMode.AllState, tovrek.KernelMode.Pair, tovrek.KernelMode.PairAuto]
DTYPES = ["complex64", "complex128"]
TOL = {"complex64": 2e-6, "complex128": 1e-13}
ANGLES = [0.83, -1.7, 2.45]
CONSTANT_GATES = [g for g, k in NAMED_GATES.items() if k == 0]

# (n, target, controls, control_state): target 0, a middle and the top qubit;
# no, one and two controls with required values 0 and 1; all other qubits
# controls (a single pair changes).
SHAPES = [
    (1, 0, [], []),
    (3, 1, [], []),
    (3, 2, [], []),
    (8, 7, [], []),
    (4, 0, [2], [0]),
    (5, 2, [0], [1]),
    (6, 5, [1, 3], [1, 0]),
    (7, 0, [6, 2], [0, 1]),
    (8, 3, [0, 7], [1, 0]),
    (4, 1, [0, 2, 3], [1, 0, 1]),
]


def params_of(name):
    return ANGLES[: NAMED_GATES[name]]


def run(n, state, gates, mode):
    return tovrek.run_circuit(n, state, gates, mode=mode)


def bits(a):
    return a.view(np.uint32 if a.dtype == np.complex64 else np.uint64)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", list(NAMED_GATES))
def test_matches_dense_reference(name, mode, dtype):
    m = gate_matrix(name, params_of(name))
    for seed, (n, target, controls, values) in enumerate(SHAPES):
        psi = random_state(n, dtype, seed)
        want = embed(n, m, target, controls, values) @ psi.astype(complex)
        out = run(n, psi.copy(), [gate_ir(name, target, controls, values, params_of(name))], mode)
        np.testing.assert_allclose(out, want, rtol=0, atol=TOL[dtype],
                                   err_msg=f"{name} on {target} controls {controls}={values}")


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("pair", [("x", "x"), ("y", "y"), ("z", "z"), ("s", "s_dag")])
def test_round_trips_restore_every_bit(pair, mode, dtype):
    for seed, (n, target, controls, values) in enumerate(SHAPES):
        psi = random_state(n, dtype, seed)
        out = run(n, psi.copy(), [gate_ir(g, target, controls, values) for g in pair], mode)
        assert np.array_equal(bits(out), bits(psi)), (pair, n, target, controls)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("target, controls, values", [(0, [], []), (2, [], []), (0, [1], [1]),
                                                      (2, [0], [0])])
def test_x_moves_values_without_arithmetic(target, controls, values, mode):
    # Odd values that any arithmetic would disturb: a NaN payload, -0, a subnormal.
    psi = np.zeros(8, dtype=np.complex128)
    raw = psi.view(np.uint64)
    raw[0], raw[1] = 0x7FF4000000000123, 0x8000000000000000
    psi[5] = complex(5e-324, -3.5)
    out = run(3, psi.copy(), [gate_ir("x", target, controls, values)], mode)
    idx = np.arange(8)
    on = ((idx >> target) & 1) == 0
    for c, v in zip(controls, values):
        on &= ((idx >> c) & 1) == v
    perm = idx.copy()
    for i in idx[on]:
        perm[i], perm[i | (1 << target)] = i | (1 << target), i
    assert np.array_equal(bits(out), bits(psi[perm]))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name", list(NAMED_GATES))
def test_modes_agree(name, dtype):
    for seed, (n, target, controls, values) in enumerate(SHAPES):
        psi = random_state(n, dtype, seed)
        gate = [gate_ir(name, target, controls, values, params_of(name))]
        all_state, pair, auto = (run(n, psi.copy(), gate, mode) for mode in MODES)
        # AllState and Pair share their arithmetic; PairAuto's coefficients
        # come from host trigonometry, so angle gates may differ in the last bits.
        assert np.array_equal(bits(all_state), bits(pair))
        if name in CONSTANT_GATES:
            assert np.array_equal(bits(auto), bits(all_state))
        else:
            np.testing.assert_allclose(auto, all_state, rtol=0, atol=TOL[dtype])


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", ["x", "h", "s", "rz", "u"])
@pytest.mark.parametrize("controls, values, message", [
    ([1], [2], "control_state must contain only 0/1"),
    ([63], [0], "control qubit index must be in [0, 62]"),
    ([1], [], "controls.size() != control_state.size()"),
    ([1, 0], [1], "controls.size() != control_state.size()"),
])
def test_mask_errors_leave_the_state_untouched(name, mode, controls, values, message, no_leaks):
    psi = random_state(2, "complex128")
    state = psi.copy()
    gates = [gate_ir(name, 0, controls, values, params_of(name))]
    with pytest.raises(ValueError) as err:
        run(2, state, gates, mode)
    assert str(err.value) == message
    assert np.array_equal(bits(state), bits(psi))


@requires_host_runtime
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", list(NAMED_GATES))
def test_launch_failure_names_the_gate(name, mode, no_leaks):
    psi = random_state(3, "complex64")
    state = psi.copy()
    hostcuda.fail_nth("launch", 1, CUDA_ERROR_LAUNCH_FAILURE)
    with pytest.raises(RuntimeError) as err:
        run(3, state, [gate_ir(name, 1, [2], [1], params_of(name))], mode)
    kernel_name = name.replace("_", "")
    assert str(err.value) == (f"cu_{kernel_name} kernel launch failed: "
                              + hostcuda.error_string(CUDA_ERROR_LAUNCH_FAILURE))
    assert np.array_equal(bits(state), bits(psi))


@pytest.mark.parametrize("mode", MODES)
def test_float_states_round_the_angle_first(mode):
    # float32(lam) is 12345.6787109375: 2e-4 away, far beyond float rounding of the result.
    lam = 12345.6789
    psi = random_state(2, "complex64")
    out = run(2, psi.copy(), [gate_ir("phase", 1, [], [], [lam])], mode)
    rounded = embed(2, gate_matrix("phase", [float(np.float32(lam))]), 1) @ psi.astype(complex)
    np.testing.assert_allclose(out, rounded, rtol=0, atol=2e-6)
    exact = embed(2, gate_matrix("phase", [lam]), 1) @ psi.astype(complex)
    assert np.max(np.abs(out - exact)) > 1e-5
    wide = run(2, psi.astype(np.complex128), [gate_ir("phase", 1, [], [], [lam])], mode)
    np.testing.assert_allclose(wide, exact, rtol=0, atol=1e-12)
