"""Shared fixtures: the host runtime's test controls (present only in the host
flavour) are reset around every test, `no_leaks` checks that a test left
no device allocation behind, and `device_missing` says whether a CUDA build
has a usable device: where it has none, a test that needs one is skipped with
the runtime's reason instead of failing."""
import functools
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


@functools.cache
def _device_missing():
    for module, state in ((tovrek, "DeviceState"), (rhomira, "DeviceDensityState")):
        if module is None:
            continue
        if hasattr(module, "_hostcuda"):
            return None  # the host runtime is the device
        try:
            getattr(module, state).zero_state(1)
        except RuntimeError as exc:
            if str(exc).startswith("CUDA error: "):
                return str(exc)
            raise
        return None
    return None


@pytest.fixture(scope="session")
def device_missing():
    """None where a device is usable (always in the host flavour), else the
    CUDA error a first call got, such as "CUDA error: no CUDA-capable device
    is detected"."""
    return _device_missing()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A test that failed on the very error of a missing device needed the
    device: it is reported as skipped, with that error as the reason."""
    outcome = yield
    report = outcome.get_result()
    if not report.failed or call.excinfo is None:
        return
    reason = _device_missing()
    if reason is None:
        return
    error = call.excinfo.value
    while error is not None:
        if reason in str(error):
            report.outcome = "skipped"
            report.longrepr = (str(item.path), item.location[1] or 0, f"Skipped: no usable GPU: {reason}")
            return
        error = error.__cause__ or error.__context__


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
