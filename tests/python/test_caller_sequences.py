"""Caller collections changed or dropped by Python code that runs while they
are read: every reader walks what it holds, reads a list or tuple as it stood
when its reading began and an iterator lazily, and a re-entrant call on the
same state from inside the reading runs to completion before the outer call
touches the state. Run under the sanitizers, these must be clean."""
import numpy as np
import pytest

from conftest import rhomira, tovrek
from density_reference import Gate as DensityGate, controlled_operator, random_density
from gate_reference import gate, random_state, run

needs_tovrek = pytest.mark.skipif(tovrek is None, reason="tovrek is not built")
needs_rhomira = pytest.mark.skipif(rhomira is None, reason="rhomira is not built")


class Once:
    """An integer-like qubit number that runs `action` the first time it is read."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        action, self.action = self.action, None
        if action:
            action()
        return self.value

    __float__ = __index__


class Target:
    """A one-element sequence that runs `action` when its element is read."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError(i)
        self.action()
        return self.value


def apply_ir(n, psi, gates):
    return run(n, psi, gates, "PairAuto")


# --- gate_ir lists -----------------------------------------------------------

def hostile_ir(kind):
    """(gate_ir, what it must do): the list is cleared, extended or dropped by
    code that runs while its first entry is read."""
    gate_ir = []
    tail = [gate("x", [1])] * 200
    if kind == "target clears":
        first = dict(gate("x", [0]), target=Target(0, gate_ir.clear))
    elif kind == "dict subclass extends":
        class Grows(dict):
            def __getitem__(self, key):
                gate_ir.extend([gate("h", [0])] * 1000)  # reallocates the item array
                return dict.__getitem__(self, key)
        first = Grows(gate("x", [0]))
    elif kind == "keys clears":
        class Mapping:
            def keys(self):
                gate_ir.clear()
                return list(gate("x", [0]))

            def __getitem__(self, key):
                return gate("x", [0])[key]
        first = Mapping()
    else:  # "pairs clears": a sequence of key/value pairs whose iteration clears
        def pairs():
            gate_ir.clear()
            yield from gate("x", [0]).items()
        first = pairs()
    gate_ir += [first] + tail
    return gate_ir, [gate("x", [0])] + tail


HOSTILE_IR = ["target clears", "dict subclass extends", "keys clears", "pairs clears"]


@needs_tovrek
@pytest.mark.parametrize("kind", HOSTILE_IR)
@pytest.mark.parametrize("entry", ["run_circuit_device", "run_circuit", "fusion mode"])
def test_gate_ir_changed_while_read_is_read_as_given(kind, entry, no_leaks):
    gate_ir, meant = hostile_ir(kind)
    psi = random_state(2, np.complex128, seed=3)
    expected = apply_ir(2, psi, meant)
    if entry == "run_circuit":
        out = psi.copy()
        assert tovrek.run_circuit(2, out, gate_ir) is out
    else:
        state = tovrek.DeviceState.from_numpy(2, psi)
        mode = tovrek.PairAutoFusion if entry == "fusion mode" else tovrek.PairAuto
        tovrek.run_circuit_device(state, gate_ir, mode=mode)
        out = state.to_numpy()
    np.testing.assert_allclose(out, expected, atol=1e-12)


class ObjectGate:
    def __init__(self, id, target, parameter=()):
        self.id, self._target, self.control, self.control_state = id, list(target), [], []
        self.parameter = list(parameter)
        self.on_read = None

    @property
    def target(self):
        if self.on_read:
            self.on_read()
        return self._target


@needs_tovrek
@pytest.mark.parametrize("change", ["clear", "extend"])
@pytest.mark.parametrize("entry", ["run_circuit_device_gates", "prepare_fusion_chunk_gates"])
def test_gate_objects_changed_while_read_are_read_as_given(change, entry, no_leaks):
    gates = [ObjectGate("x", [0])] + [ObjectGate("h", [1]) for _ in range(101)]
    gates[0].on_read = (gates.clear if change == "clear"
                        else lambda: gates.extend(ObjectGate("x", [0]) for _ in range(1001)))
    psi = random_state(2, np.complex128, seed=4)
    expected = apply_ir(2, psi, [gate("x", [0])] + [gate("h", [1])] * 101)
    state = tovrek.DeviceState.from_numpy(2, psi)
    if entry == "prepare_fusion_chunk_gates":
        chunk = tovrek.prepare_fusion_chunk_gates(2, gates)
        assert chunk.gate_count == 102
        tovrek.execute_prepared_fusion_chunk(state, chunk)
    else:
        tovrek.run_circuit_device_gates(state, gates)
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)


@needs_tovrek
def test_generators_are_read_lazily_one_gate_at_a_time(no_leaks):
    # One object, changed between yields: each gate is read when it comes.
    def gates():
        g = ObjectGate("x", [0])
        for q in (0, 1, 2):
            g._target = [q]
            yield g
    state = tovrek.DeviceState.zero_state(3)
    tovrek.run_circuit_device_gates(state, gates())
    assert np.flatnonzero(state.to_numpy()).tolist() == [7]


# --- qubit, parameter and target lists ----------------------------------------

@needs_tovrek
@pytest.mark.parametrize("field", ["target", "control", "control_state"])
def test_qubit_list_grown_while_converted_is_read_as_given(field, no_leaks):
    meant = gate("swap", [0, 1]) if field == "target" else gate("x", [1], [0], [1])
    given = {key: list(value) if isinstance(value, list) else value for key, value in meant.items()}
    values = given[field]
    # Grows the very list being converted by 40 entries; only the first was given.
    values[0] = Once(values[0], lambda: values.extend([values[-1]] * 40))
    psi = random_state(2, np.complex128, seed=5)
    np.testing.assert_allclose(apply_ir(2, psi, [given]), apply_ir(2, psi, [meant]), atol=1e-12)


@needs_tovrek
@pytest.mark.parametrize("shrink", [True, False])
def test_parameter_list_changed_while_converted_is_read_as_given(shrink, no_leaks):
    given = gate("rx", [0], parameter=[0.3])
    params = given["parameter"]
    params[0] = Once(0.3, params.clear if shrink else lambda: params.extend([1.0] * 40))
    psi = random_state(1, np.complex128, seed=6)
    expected = apply_ir(1, psi, [gate("rx", [0], parameter=[0.3])])
    np.testing.assert_allclose(apply_ir(1, psi, [given]), expected, atol=1e-12)


@needs_tovrek
@pytest.mark.parametrize("call", ["measure_device", "sample_measure_device", "measure"])
def test_measure_targets_grown_while_converted_are_read_as_given(call, no_leaks):
    targets = [0]
    targets[0] = Once(1, lambda: targets.extend([0] * 40))
    psi = np.zeros(4, np.complex128)
    psi[2] = 1  # qubit 1 set
    if call == "measure":
        assert tovrek.measure(2, psi, targets) == "1"
        return
    state = tovrek.DeviceState.from_numpy(2, psi)
    if call == "measure_device":
        assert tovrek.measure_device(state, targets, seed=1) == "1"
    else:
        assert tovrek.sample_measure_device(state, targets, 5, seed=1) == ({"1": 5}, "1")


# --- re-entrant calls ----------------------------------------------------------

@needs_tovrek
@pytest.mark.parametrize("mode", ["PairAuto", "PairAutoFusion"])
def test_reentrant_call_on_the_same_state_runs_before_the_outer_chunk(mode, no_leaks):
    psi = random_state(2, np.complex128, seed=7)
    state = tovrek.DeviceState.from_numpy(2, psi)
    inner = [gate("h", [0]), gate("rx", [1], parameter=[0.4])]
    outer_rest = [gate("ry", [0], parameter=[0.9]), gate("x", [1], [0], [1])]
    reenter = lambda: tovrek.run_circuit_device(state, inner, mode=getattr(tovrek, mode))
    outer = [dict(gate("s", [1]), target=Target(1, reenter))] + outer_rest
    tovrek.run_circuit_device(state, outer, mode=getattr(tovrek, mode))
    expected = apply_ir(2, psi, inner + [gate("s", [1])] + outer_rest)
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)


@needs_tovrek
def test_reentrant_measurement_from_a_seed_runs_before_the_outer_one(no_leaks):
    psi = np.full(4, 0.5, np.complex128)
    state = tovrek.DeviceState.from_numpy(2, psi)
    inner = []
    seed = Once(3, lambda: inner.append(tovrek.measure_device(state, [0], seed=1)))
    outcome = tovrek.measure_device(state, [0, 1], seed=seed)
    # The inner measurement collapsed qubit 0 first; the outer one agrees with it.
    assert outcome[0] == inner[0]


@needs_tovrek
def test_run_circuit_array_resized_while_gates_are_read_is_refused(no_leaks):
    psi = random_state(2, np.complex128, seed=8)
    out = psi.copy()
    grow = lambda: out.resize(64, refcheck=False)  # frees the data run_circuit uploaded
    with pytest.raises(ValueError, match=r"^state\.size must equal 2\*\*n$"):
        tovrek.run_circuit(2, out, [dict(gate("x", [0]), target=Target(0, grow))])
    np.testing.assert_array_equal(out[:4], psi)  # resize kept the values, nothing wrote after


@needs_tovrek
def test_run_circuit_on_the_same_array_from_inside_the_reading(no_leaks):
    psi = random_state(2, np.complex128, seed=9)
    out = psi.copy()
    reenter = lambda: tovrek.run_circuit(2, out, [gate("h", [1])])
    tovrek.run_circuit(2, out, [dict(gate("x", [0]), target=Target(0, reenter))])
    # The outer call uploaded the array before it read the gates: its result wins.
    np.testing.assert_allclose(out, apply_ir(2, psi, [gate("x", [0])]), atol=1e-12)


# --- rhomira ---------------------------------------------------------------------

class HostileDensityGate(DensityGate):
    """Runs `on_read` once, when its target is first read."""

    on_read = None

    @property
    def target(self):
        if self.on_read:
            action, self.on_read = self.on_read, None
            action()
        return self._target

    @target.setter
    def target(self, value):
        self._target = value


X = np.array([[0, 1], [1, 0]], complex)
H = np.array([[1, 1], [1, -1]], complex) / np.sqrt(2)


def density_after(rho, n, ops):
    for u, target, controls in ops:
        full = controlled_operator(u, n, [target], controls, [1] * len(controls))
        rho = full @ rho @ full.conj().T
    return rho


@needs_rhomira
@pytest.mark.parametrize("given", ["list", "iterator", "generator"])
def test_operation_list_cleared_while_read_is_read_as_given(given, no_leaks):
    rho = random_density(2, np.random.default_rng(1))
    state = rhomira.DeviceDensityState.from_numpy(2, rho.copy())
    ops = [HostileDensityGate("x", [0])] + [DensityGate("h", [1]) for _ in range(3)]
    ops[0].on_read = ops.clear
    operations = {"list": ops, "iterator": iter(ops), "generator": (op for op in ops)}[given]
    rhomira.run_density_operations_device(state, 2, operations)
    # Iterators are read lazily: they end where the list now ends.
    rest = 3 if given == "list" else 0
    expected = density_after(rho, 2, [(X, 0, [])] + [(H, 1, [])] * rest)
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)


@needs_rhomira
@pytest.mark.parametrize("field", ["target", "control", "control_state", "parameter"])
def test_density_lists_grown_while_converted_are_read_as_given(field, no_leaks):
    rho = random_density(2, np.random.default_rng(2))
    state = rhomira.DeviceDensityState.from_numpy(2, rho.copy())
    op = DensityGate("rx", [1], [0], [1], parameter=[0.7])
    values = getattr(op, field)
    values[0] = Once(values[0], lambda: values.extend([values[0]] * 40))
    rhomira.run_density_operations_device(state, 2, [op])
    c, s = np.cos(0.35), np.sin(0.35)
    rx = np.array([[c, -1j * s], [-1j * s, c]])
    np.testing.assert_allclose(state.to_numpy(), density_after(rho, 2, [(rx, 1, [0])]), atol=1e-12)


@needs_rhomira
def test_density_reentrant_call_on_the_same_state_runs_first(no_leaks):
    rho = random_density(2, np.random.default_rng(3))
    state = rhomira.DeviceDensityState.from_numpy(2, rho.copy())
    reenter = lambda: rhomira.run_density_operations_device(state, 2, [DensityGate("h", [0])])
    ops = [HostileDensityGate("x", [1]), DensityGate("x", [0], [1], [1])]
    ops[0].on_read = reenter
    rhomira.run_density_operations_device(state, 2, ops)
    expected = density_after(rho, 2, [(H, 0, []), (X, 1, []), (X, 0, [1])])
    np.testing.assert_allclose(state.to_numpy(), expected, atol=1e-12)


@needs_rhomira
def test_density_measure_targets_grown_while_converted(no_leaks):
    rho = np.zeros((4, 4), complex)
    rho[2, 2] = 1  # qubit 1 set
    state = rhomira.DeviceDensityState.from_numpy(2, rho)
    targets = [0]
    targets[0] = Once(1, lambda: targets.extend([0] * 40))
    assert rhomira.measure_device(state, targets, seed=1) == "1"


def rows_changed_while_converted():
    rows = [[0, 1], [1, 0]]

    class Entry:
        def __complex__(self):
            rows[:] = [[5] * 9] * 9
            return 1 + 0j
    rows[0][1] = Entry()
    return rows


NUMPY_NOTICES = "Inconsistent object during array creation? Content of sequences changed"


@needs_tovrek
def test_matrix_rows_changed_while_converted_are_refused(no_leaks):
    # NumPy's conversion holds what it walks and notices the change.
    state = tovrek.DeviceState.zero_state(1)
    with pytest.raises(ValueError, match=r"^unitary matrix must be array-like\.$"):
        tovrek.run_circuit_device(state, [gate("unitary", [0], matrix=rows_changed_while_converted())])
    with pytest.raises(RuntimeError, match=NUMPY_NOTICES.replace("?", r"\?")):
        rhomira.run_density_operations_device(
            rhomira.DeviceDensityState.zero_state(1), 1,
            [DensityGate("u", [0], matrix=rows_changed_while_converted())])
    np.testing.assert_array_equal(state.to_numpy(), [1, 0])
