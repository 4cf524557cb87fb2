"""Type stubs of the two modules, generated with pybind11-stubgen from the
importable build (PYTHONPATH) into the partial stub package qalvane-stubs.

    python tools/stubs.py write stubs/qalvane-stubs   # regenerate
    python tools/stubs.py check stubs/qalvane-stubs   # fail if they differ

The stubs describe what both flavours share: the host flavour's private
_hostcuda submodule is left out, and __version__ and runtime are typed
without the values of the build at hand."""
import difflib
import pathlib
import re
import subprocess
import sys
import tempfile

MODULES = ("tovrek", "rhomira")
STUBGEN_OPTIONS = [
    "--enum-class-locations", "KernelMode:qalvane.tovrek",
    "--print-safe-value-reprs", r"KernelMode\.\w+",
    "--exit-code",
]


def generate():
    """Returns {file name: text} of the stubs of the importable modules."""
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", *STUBGEN_OPTIONS, "-o", out,
                        *(f"qalvane.{m}" for m in MODULES)], check=True)
        stubs = {}
        for module in MODULES:
            # A module with a submodule comes out as a package.
            root = pathlib.Path(out, "qalvane")
            path = root / module / "__init__.pyi"
            text = (path if path.exists() else root / f"{module}.pyi").read_text()
            text = re.sub(r"^from \. import _hostcuda\n", "", text, flags=re.M)
            text = re.sub(r"^(__version__|runtime): str = .*$", r"\1: str", text, flags=re.M)
            stubs[f"{module}.pyi"] = text
        return stubs


def main(argv):
    if len(argv) != 3 or argv[1] not in ("write", "check"):
        sys.exit(__doc__)
    target = pathlib.Path(argv[2])
    stubs = generate()
    if argv[1] == "write":
        for name, text in stubs.items():
            (target / name).write_text(text)
        return 0
    stale = False
    for name, text in stubs.items():
        path = target / name
        old = path.read_text() if path.exists() else ""
        if old != text:
            stale = True
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(True), text.splitlines(True), str(path), "generated"))
    if stale:
        print("The stubs differ from the modules: run `make stubs` and commit the result.")
        return 1
    print(f"stubs up to date: {', '.join(sorted(stubs))}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
