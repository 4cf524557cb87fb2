"""What the modules say about themselves: docstrings, version and flavour."""
import inspect
import pathlib
import re

import pytest

from conftest import rhomira, tovrek

MODULES = [m for m in (tovrek, rhomira) if m is not None]
ROOT = pathlib.Path(__file__).resolve().parents[2]


def public_names(module):
    """(name, object) of every public class, function, method and property."""
    for name, obj in vars(module).items():
        if name.startswith("_") or not callable(obj):
            continue
        yield name, obj
        if inspect.isclass(obj):
            for member, attr in vars(obj).items():
                if not member.startswith("_") and (isinstance(attr, property) or callable(attr)):
                    yield f"{name}.{member}", attr


def _summary(obj):
    """The docstring without pybind11's signature lines."""
    doc = getattr(obj, "__doc__", None) or ""
    return "\n".join(line for line in doc.splitlines() if not re.match(r"^\w+\(.*\) -> ", line)).strip()


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_every_public_name_has_a_docstring(module):
    assert [name for name, obj in public_names(module) if not _summary(obj)] == []


@pytest.mark.skipif(tovrek is None, reason="tovrek not built")
@pytest.mark.parametrize("name, summary", [
    ("run_circuit_device", "Run a gate_ir chunk on an existing CUDA DeviceState."),
    ("prepare_fusion_chunk_gates", "Parse and plan one streamed chunk on the CPU without launching CUDA."),
    ("execute_prepared_fusion_chunk", "Execute one CPU-prepared fusion chunk and wait for its CUDA work."),
    ("run_circuit_device_gates", "Run a QuantumGate object chunk on an existing CUDA DeviceState."),
    ("measure_device", "Measure target qubits on an existing CUDA DeviceState."),
    ("sample_measure_device", "Batch-sample target qubits and optionally collapse to the final outcome."),
    ("run_circuit", "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned."),
    ("measure", "Measure target qubits on CUDA. The numpy state is collapsed in-place and the "
                "measured bit string is returned."),
])
def test_function_docstrings_open_with_their_summary(name, summary):
    assert _summary(getattr(tovrek, name)).split("\n\n")[0] == summary


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_version_and_runtime(module):
    pyproject = (ROOT / "pyproject.toml").read_text()
    version = re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1)
    assert module.__version__ == version
    assert module.runtime == ("host" if hasattr(module, "_hostcuda") else "cuda")


def test_gate_dict_keys_are_documented_where_they_are_read():
    for function in (tovrek.run_circuit_device, tovrek.run_circuit_device_gates):
        for key in ("id", "target", "control", "control_state", "parameter", "matrix"):
            assert re.search(rf"^  {key} \(", function.__doc__, re.M), (function.__name__, key)
    doc = rhomira.run_density_operations_device.__doc__
    for attribute in ("id", "target", "parameter", "has_stored_matrix", "stored_matrix",
                      "operation_kind", "channel_name", "kraus_matrices"):
        assert re.search(rf"^  {attribute} \(", doc, re.M), attribute
    assert "control_state (" in doc
