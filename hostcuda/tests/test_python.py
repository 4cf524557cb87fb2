"""The _hostcuda submodule as Python tests see it."""
import os
import threading

import pytest

import hostcuda_pytest as module

hc = module._hostcuda

OUT_OF_MEMORY = 2
INVALID_DEVICE = 101
LAUNCH_FAILURE = 719


@pytest.fixture(autouse=True)
def defaults():
    hc.reset()
    yield
    hc.reset()


def test_exactly_the_documented_functions():
    public = {name for name in dir(hc) if not name.startswith("__")}
    assert public == {
        "reset", "fail_nth", "inject_async_error", "set_memory_limit", "memory_limit",
        "set_device_count", "device_count", "live_allocations", "live_bytes", "call_count",
        "launch_records", "set_shuffle", "error_string",
    }


def test_allocations_are_counted_and_limited():
    hc.set_memory_limit(0, 1000)
    assert hc.memory_limit(0) == 1000
    code, p = module.malloc(600)
    assert code == 0
    assert (hc.live_allocations(), hc.live_bytes()) == (1, 600)
    assert module.malloc(401) == (OUT_OF_MEMORY, 0)
    assert module.free(p) == 0
    assert (hc.live_allocations(), hc.live_bytes()) == (0, 0)
    assert hc.call_count("cudaMalloc") == 2
    assert hc.call_count("cudaFree") == 1


def test_fail_nth_and_reset():
    hc.fail_nth("cudaMalloc", 2, OUT_OF_MEMORY)
    code, p = module.malloc(8)
    assert code == 0
    assert module.malloc(8) == (OUT_OF_MEMORY, 0)
    assert module.get_last_error() == OUT_OF_MEMORY
    assert module.free(p) == 0
    hc.fail_nth("cudaMalloc", 1, OUT_OF_MEMORY)
    hc.reset()
    code, p = module.malloc(8)
    assert code == 0
    assert module.free(p) == 0


def test_async_error_is_reported_once():
    hc.inject_async_error(LAUNCH_FAILURE)
    assert module.synchronize() == LAUNCH_FAILURE
    assert module.synchronize() == 0


def test_device_count():
    assert hc.device_count() == 1
    assert module.set_device(1) == INVALID_DEVICE
    hc.set_device_count(2)
    assert hc.device_count() == 2
    assert module.set_device(1) == 0
    hc.reset()
    assert hc.device_count() == 1


@pytest.mark.parametrize("code, text", [
    (0, "no error"),
    (2, "out of memory"),
    (9, "invalid configuration argument"),
    (101, "invalid device ordinal"),
    (712, "part or all of the requested memory range is already mapped"),
    (713, "pointer does not correspond to a registered memory region"),
    (5000, "unrecognized error code"),
])
def test_error_string(code, text):
    assert hc.error_string(code) == text


@pytest.mark.parametrize("call", [
    lambda: hc.fail_nth("cudaMallocc", 1, 2),
    lambda: hc.fail_nth("cudaMalloc", 0, 2),
    lambda: hc.call_count("nothing"),
    lambda: hc.set_memory_limit(3, 10),
    lambda: hc.memory_limit(-1),
    lambda: hc.set_device_count(-1),
])
def test_invalid_arguments_raise_value_error(call):
    with pytest.raises(ValueError):
        call()


def test_launch_records_name_the_kernel_and_its_configuration():
    assert module.launch(64, 0) == 0
    assert module.launch(64, 0) == 0
    assert module.launch(32, 512) == 0
    records = sorted(hc.launch_records(), key=lambda r: r["block"])
    assert [(r["symbol"], r["block"], r["dynamic_shared"], r["launches"]) for r in records] == [
        ("hostcuda_pytest_kernel", (32, 1, 1), 512, 1),
        ("hostcuda_pytest_kernel", (64, 1, 1), 0, 2),
    ]
    for r in records:
        assert os.path.samefile(r["object"], module.__file__)
        assert r["offset"] == records[0]["offset"] > 0
    hc.reset()
    assert hc.launch_records() == []


def test_shuffle_seed_is_accepted():
    hc.set_shuffle(123)
    hc.set_shuffle(0)


def test_threads_allocate_concurrently():
    def work():
        for _ in range(50):
            code, p = module.malloc(64)
            assert code == 0
            assert module.free(p) == 0

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert hc.call_count("cudaMalloc") == 200
    assert hc.live_allocations() == 0
