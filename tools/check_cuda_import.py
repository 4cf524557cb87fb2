"""Checks a CUDA-flavour build on a machine without a GPU: both modules import,
and the missing device surfaces as a CUDA error rather than a crash."""
import importlib
import sys

failures = []
for name in ("tovrek", "rhomira"):
    try:
        mod = importlib.import_module(f"qalvane.{name}")
    except ImportError as exc:
        failures.append(f"import qalvane.{name}: {exc}")
        continue
    if hasattr(mod, "_hostcuda"):
        failures.append(f"qalvane.{name} carries the host-runtime test controls")
    if mod.runtime != "cuda":
        failures.append(f"qalvane.{name}.runtime is {mod.runtime!r}")
    state_cls = getattr(mod, "DeviceState", None) or getattr(mod, "DeviceDensityState")
    try:
        state_cls.zero_state(1)
    except RuntimeError as exc:
        if not str(exc).startswith("CUDA error: "):
            failures.append(f"{name}: unexpected message {exc!r}")
        else:
            print(f"qalvane.{name}: zero_state(1) -> RuntimeError {str(exc)!r}")
    else:
        print(f"qalvane.{name}: zero_state(1) succeeded (a GPU is present)")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
