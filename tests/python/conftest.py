"""Shared fixtures: the host runtime's test controls (present only in the host
flavour) are reset around every test, and `no_leaks` checks that a test left
no device allocation behind."""
import importlib

import pytest


def _load(name):
    try:
        return importlib.import_module(f"qalvane.{name}")
    except ImportError:
        return None


tovrek = _load("tovrek")
rhomira = _load("rhomira")

HOST_RUNTIMES = [m._hostcuda for m in (tovrek, rhomira) if m is not None and hasattr(m, "_hostcuda")]

requires_host_runtime = pytest.mark.skipif(
    not HOST_RUNTIMES, reason="needs the host runtime's fault injection"
)

# Error codes of the CUDA runtime that tests inject.
CUDA_ERROR_INVALID_VALUE = 1
CUDA_ERROR_MEMORY_ALLOCATION = 2
CUDA_ERROR_LAUNCH_FAILURE = 719
CUDA_ERROR_INVALID_DEVICE = 101
CUBLAS_STATUS_EXECUTION_FAILED = 13


@pytest.fixture(autouse=True)
def _reset_host_runtime():
    for runtime in HOST_RUNTIMES:
        runtime.reset()
    yield
    for runtime in HOST_RUNTIMES:
        runtime.reset()


@pytest.fixture
def no_leaks():
    """Asserts, at the end of the test, that the live device allocations of
    both modules are back to what they were at its start."""
    import gc

    gc.collect()  # states of earlier tests kept alive by tracebacks are not this test's
    before = [r.live_allocations() for r in HOST_RUNTIMES]
    yield
    gc.collect()
    after = [r.live_allocations() for r in HOST_RUNTIMES]
    assert after == before, f"live device allocations {before} -> {after}"
