"""Property-based fuzzing of the whole Python surface of both modules (the
entries of fuzz_surface.py) with a fixed example budget, derandomised: every
call succeeds with the reference's result or raises its documented
exception; a refused call leaves its states and arrays as the documented
order of the checks says, and no allocation behind; the same states and a
fresh call still work afterwards. tools/fuzz_campaign.py runs the same
entries for minutes."""
import gc
import threading
import time

import numpy as np
import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

from conftest import _device_missing, rhomira, tovrek
from fuzz_surface import DensityOp, GateObject, live_allocations, run_entry, surface

EXAMPLES = 60

pytestmark = pytest.mark.skipif(_device_missing() is not None,
                                reason=f"no usable GPU: {_device_missing()}")

ENTRIES = surface()


@settings(max_examples=EXAMPLES, derandomize=True, deadline=None, database=None,
          phases=[Phase.explicit, Phase.generate], suppress_health_check=list(HealthCheck))
@given(data=st.data())
def fuzz(name, data):
    run_entry(ENTRIES[name], data)


@pytest.mark.parametrize("name", sorted(ENTRIES))
def test_surface(name):
    # In a thread of its own, whose DenseMM scratch buffers go with it.
    baseline = live_allocations()
    errors = []

    def body():
        try:
            fuzz(name)
        except BaseException as error:  # re-raised here
            errors.append(error)
    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    gc.collect()  # states in reference cycles of the examples
    for _ in range(200):  # the thread's destructors run just after join()
        if live_allocations() == baseline:
            break
        time.sleep(0.005)
    if errors:
        raise errors[0]
    assert live_allocations() == baseline


# --- what the fuzzing found, kept as plain cases ----------------------------------------

def density_gate(name, **fields):
    return DensityOp(**{"id": name, "target": [0], "control": [], "control_state": [],
                        "parameter": None, "has_stored_matrix": False, **fields})


X_GATE = {"id": "x", "target": [0], "control": [], "control_state": [], "parameter": []}
CALLS_ON_NONE = {
    "tovrek.run_circuit_device": lambda: tovrek.run_circuit_device(None, [X_GATE]),
    "tovrek.run_circuit_device_gates": lambda: tovrek.run_circuit_device_gates(None, [X_GATE]),
    "tovrek.execute_prepared_fusion_chunk state": lambda: tovrek.execute_prepared_fusion_chunk(
        None, tovrek.prepare_fusion_chunk_gates(1, [])),
    "tovrek.execute_prepared_fusion_chunk chunk": lambda: tovrek.execute_prepared_fusion_chunk(
        tovrek.DeviceState.zero_state(1), None),
    "tovrek.measure_device": lambda: tovrek.measure_device(None, [0]),
    "tovrek.sample_measure_device": lambda: tovrek.sample_measure_device(None, [0], 1),
    "rhomira.run_density_operations_device": lambda: rhomira.run_density_operations_device(
        None, 1, [density_gate("x")]),
    "rhomira.measure_device": lambda: rhomira.measure_device(None, [0], seed=1),
}


@pytest.mark.parametrize("name", sorted(CALLS_ON_NONE))
def test_none_for_a_state_or_chunk_is_a_type_error(name, no_leaks):
    # rhomira.measure_device took None as a null state and crashed.
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        CALLS_ON_NONE[name]()


@pytest.mark.parametrize("call, cls, message", [
    (lambda: tovrek.run_circuit_device(tovrek.DeviceState.zero_state(1), [
        {"id": b"\xff", "target": [0], "control": [], "control_state": [], "parameter": []}]),
     ValueError, r"Unsupported CUDA gate id: \xff"),
    (lambda: tovrek.prepare_fusion_chunk_gates(1, [GateObject(
        id=b"c\xe9", target=[0], control=[], control_state=[], parameter=None)]),
     ValueError, r"Unsupported CUDA gate id: c\xe9"),
    (lambda: tovrek.DeviceState.zero_state(1, device=b"\xffcuda"),
     ValueError, r"device must be 'cuda', 'gpu', or 'cuda:<id>', got: \xffcuda"),
    (lambda: tovrek.DeviceState.zero_state(1, dtype=b"complex\xff"),
     ValueError, r"dtype must be 'complex64' or 'complex128', got: complex\xff"),
    (lambda: rhomira.DeviceDensityState.zero_state(1, device=b"gpu\xff"),
     ValueError, r"device must be 'cuda', 'gpu', or 'cuda:<id>', got: gpu\xff"),
    (lambda: rhomira.run_density_operations_device(rhomira.DeviceDensityState.zero_state(1), 1,
                                                   [density_gate(b"\xfe")]),
     RuntimeError, r"unsupported named density operation '\xfe'"),
    (lambda: rhomira.run_density_operations_device(rhomira.DeviceDensityState.zero_state(1), 1, [
        DensityOp(operation_kind=b"kraus\xff", target=[0], kraus_matrices=np.eye(2)[None])]),
     RuntimeError, r"unsupported density operation kind 'kraus\xff'"),
])
def test_messages_quoting_bytes_that_are_not_utf8_keep_their_class(call, cls, message, no_leaks):
    # They were raised as UnicodeDecodeError, without the message.
    with pytest.raises(Exception) as raised:
        call()
    assert type(raised.value) is cls and str(raised.value) == message
