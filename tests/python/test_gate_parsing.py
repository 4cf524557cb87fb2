"""Gate-list readers: the name table with its aliases, the T-gate rewrite,
matrix reading, and the messages and classes of every parse failure. Records
are not visible from Python, so each is checked through what it applies."""
import math
import types

import numpy as np
import pytest

from conftest import tovrek
from gate_reference import gate, random_state, run

pytestmark = pytest.mark.skipif(tovrek is None, reason="tovrek is not built")

ALIASES = [
    ("x", ["cx", "mcx"], []), ("y", ["cy", "mcy"], []), ("z", ["cz", "mcz"], []),
    ("h", ["ch", "mch"], []), ("s", ["cs", "mcs"], []), ("s_dag", [], []),
    ("sqrtx", ["sx"], []), ("sqrtx_dag", ["sxdg"], []), ("sqrty", [], []), ("sqrty_dag", [], []),
    ("rx", ["crx", "mcrx"], [0.3]), ("ry", ["cry", "mcry"], [0.3]), ("rz", ["crz", "mcrz"], [0.3]),
    ("phase", ["p", "cp", "mcp"], [0.3]), ("gp", ["global_phase", "gphase"], [0.3]),
    ("u", ["u1", "u2", "u3"], [0.3, 0.5, 0.7]),
]


@pytest.mark.parametrize("canonical,aliases,params", ALIASES)
def test_aliases_are_spellings_only(canonical, aliases, params):
    psi = random_state(3, np.complex128, seed=1)
    targets = [] if canonical == "gp" else [2]
    for controls, cstate in [((), ()), ((0, 1), (1, 0))]:
        ref = run(3, psi, [gate(canonical, targets, controls, cstate, params)], "PairAuto")
        if canonical not in ("gp", "sqrty"):
            assert not np.array_equal(ref, psi)
        for name in aliases:
            out = run(3, psi, [gate(name, targets, controls, cstate, params)], "PairAuto")
            np.testing.assert_array_equal(out, ref)


@pytest.mark.parametrize("name,angle", [("t", math.pi / 4), ("ct", math.pi / 4),
                                        ("mct", math.pi / 4), ("t_dag", -math.pi / 4)])
def test_t_gates_become_phase_gates_with_exact_angle(name, angle):
    assert np.float64(math.pi / 4).view(np.uint64) == 0x3FE921FB54442D18
    psi = random_state(3, np.complex128, seed=2)
    controls, cstate = ((0, 1), (1, 1)) if name == "mct" else ((), ())
    # Whatever parameters came are discarded.
    out = run(3, psi, [gate(name, [2], controls, cstate, [1.0, 2.0])], "PairAuto")
    ref = run(3, psi, [gate("phase", [2], controls, cstate, [angle])], "PairAuto")
    np.testing.assert_array_equal(out, ref)


def error_of(gates, reader="ir"):
    state = tovrek.DeviceState.zero_state(2)
    try:
        if reader == "ir":
            tovrek.run_circuit_device(state, gates)
        else:
            tovrek.run_circuit_device_gates(state, gates)
    except Exception as err:  # noqa: BLE001 - the class is what is tested
        return err
    finally:
        # Parsing fails before any launch: the state is untouched.
        np.testing.assert_array_equal(state.to_numpy(), [1, 0, 0, 0])
        del state  # the returned exception's traceback would keep it alive
    return None


def obj(**fields):
    base = dict(id="x", target=[0], control=[], control_state=[], parameter=[])
    base.update(fields)
    return types.SimpleNamespace(**{k: v for k, v in base.items() if v is not KeyError})


GOOD = gate("h", [0])
MATRIX_FAILURES = [
    (np.eye(4), "UNITARY matrix dimension must be 2**num_targets."),
    ([[1, 0, 0], [0, 1, 0]], "unitary matrix must be a non-empty square 2-D array."),
    ([1, 0], "unitary matrix must be a non-empty square 2-D array."),
    (np.zeros((0, 0)), "unitary matrix must be a non-empty square 2-D array."),
    ([[1, 0], [0]], "unitary matrix must be array-like."),
    ("abc", "unitary matrix must be array-like."),
    (None, "UNITARY gate requires a matrix."),
]


@pytest.mark.parametrize("matrix,message", MATRIX_FAILURES)
@pytest.mark.parametrize("reader", ["ir", "objects"])
def test_unitary_matrix_failures(matrix, message, reader):
    if reader == "ir":
        bad = gate("unitary", [0])
        bad["matrix"] = matrix
    else:
        bad = obj(id="unitary", matrix=matrix)
    err = error_of([GOOD if reader == "ir" else obj(), bad], reader)
    assert type(err) is ValueError and str(err) == message


def test_unitary_without_matrix_and_real_lists():
    err = error_of([gate("unitary", [0])])
    assert type(err) is ValueError and str(err) == "UNITARY gate requires a matrix."
    err = error_of([obj(id="unitary", matrix=KeyError)], "objects")
    assert type(err) is AttributeError
    psi = random_state(2, np.complex128, seed=3)
    out = run(2, psi, [gate("unitary", [1], matrix=[[0, 1], [1, 0]])], "Pair")
    np.testing.assert_array_equal(out, psi[[2, 3, 0, 1]])


def test_matrix_of_other_gates_read_only_in_dict_form():
    bad = gate("x", [0])
    bad["matrix"] = [[1, 2, 3]]
    err = error_of([bad])
    assert type(err) is ValueError and str(err) == "unitary matrix must be a non-empty square 2-D array."
    state = tovrek.DeviceState.zero_state(2)
    bad["matrix"] = None
    tovrek.run_circuit_device(state, [bad, bad])
    tovrek.run_circuit_device_gates(state, [obj(matrix=[[1, 2, 3]])])
    np.testing.assert_array_equal(state.to_numpy(), [0, 1, 0, 0])


@pytest.mark.parametrize("bad,error,message", [
    (gate("T", [0]), ValueError, "Unsupported CUDA gate id: T"),
    (gate("cswap", [0, 1]), ValueError, "Unsupported CUDA gate id: cswap"),
    ({"id": "x", "target": [0], "control": [], "control_state": []}, KeyError, None),
    ({"target": [0], "control": [], "control_state": [], "parameter": []}, KeyError, None),
    (dict(gate("x", [0]), parameter=None), RuntimeError, None),
    (dict(gate("x", [0]), target=[0.0]), RuntimeError, None),
    (dict(gate("x", [0]), target="0"), RuntimeError, None),
    (dict(gate("x", [0]), id=3), RuntimeError, None),
    (dict(gate("rx", [0]), parameter=["a"]), RuntimeError, None),
    (5, TypeError, None),
])
def test_dictionary_reader_failures(bad, error, message):
    err = error_of([GOOD, bad, GOOD])
    assert type(err) is error
    if message is not None:
        assert str(err) == message


def test_dictionary_reader_conversions():
    state = tovrek.DeviceState.zero_state(2)
    pairs = list(gate("x", [1]).items())
    tovrek.run_circuit_device(state, [pairs, dict(gate("x", [0]), id=b"x", parameter=(1, 2.5))])
    np.testing.assert_array_equal(state.to_numpy(), [0, 0, 0, 1])

    class GateList(list):
        pass

    tovrek.run_circuit_device(state, GateList([gate("cx", [1], [0], [1])]))
    np.testing.assert_array_equal(state.to_numpy(), [0, 1, 0, 0])


@pytest.mark.parametrize("bad,error", [
    (obj(id=KeyError), AttributeError),
    (obj(control_state=KeyError), AttributeError),
    (obj(parameter=KeyError), AttributeError),
    (obj(target=[0.5]), RuntimeError),
    (obj(id="T"), ValueError),
])
def test_object_reader_failures(bad, error):
    err = error_of([obj(), bad], "objects")
    assert type(err) is error


def test_object_reader_accepts_none_parameter_and_any_iterable():
    state = tovrek.DeviceState.zero_state(2)
    tovrek.run_circuit_device_gates(state, (g for g in [obj(parameter=None), obj(target=[1])]))
    np.testing.assert_array_equal(state.to_numpy(), [0, 0, 0, 1])
    with pytest.raises(TypeError):
        tovrek.run_circuit_device_gates(state, 5)

    def failing():
        yield obj()
        raise LookupError("iterator broke")

    with pytest.raises(LookupError, match="^iterator broke$"):
        tovrek.run_circuit_device_gates(state, failing())
    np.testing.assert_array_equal(state.to_numpy(), [0, 0, 0, 1])
