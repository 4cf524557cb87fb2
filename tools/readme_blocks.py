"""Runs every ```python block of a Markdown file, each in a fresh interpreter,
as written: the README's examples are a contract."""
import os
import pathlib
import re
import subprocess
import sys
import tempfile


def blocks(text):
    """(line number, code) of each python block."""
    for match in re.finditer(r"^```python\n(.*?)^```", text, re.M | re.S):
        yield text.count("\n", 0, match.start()) + 2, match.group(1)


def main(path):
    failed = 0
    env = dict(os.environ)  # each block runs in an empty folder: PYTHONPATH made absolute
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    found = list(blocks(pathlib.Path(path).read_text()))
    for line, code in found:
        with tempfile.TemporaryDirectory() as cwd:
            result = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env,
                                    capture_output=True, text=True)
        status = "ok" if result.returncode == 0 else "FAILED"
        print(f"{path}:{line}: python block {status}")
        if result.returncode != 0:
            failed += 1
            print(result.stdout + result.stderr)
    if not found:
        print(f"{path}: no python blocks")
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "README.md"))
