"""Runs every benchmark script in this folder in turn."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).parent
sys.path.insert(0, str(here))
for script in sorted(here.glob("bench_*.py")):
    print(f"=== {script.name}", flush=True)
    runpy.run_path(str(script), run_name="__main__")
