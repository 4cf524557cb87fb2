#!/usr/bin/env bash
# The host flavour installed as a user on a machine without BLAS would: plain
# pip into a fresh virtual environment, with the system OpenBLAS hidden behind
# empty folders in a private mount namespace (needs root). The build must link
# scipy-openblas32 from PyPI; then a DenseMM circuit, the README's Python
# blocks and mypy on the examples (reading the installed stubs) run there.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} != --hidden ]]; then
  exec unshare --mount --propagation private "$0" --hidden
fi
for dir in /usr/lib/x86_64-linux-gnu/openblas-pthread /usr/include/x86_64-linux-gnu/openblas-pthread \
           /usr/lib/x86_64-linux-gnu/openblas /usr/include/openblas; do
  if [[ -d $dir ]]; then mount -t tmpfs none "$dir"; fi
done
if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi

venv=${CHECK_VENV:-/tmp/qalvane-plain-install}
rm -rf "$venv"
"${PY_BASE:-$(tools/find_python.sh)}" -m venv "$venv"
start=$SECONDS
"$venv/bin/python" -m pip install -q . -C cmake.define.QALVANE_RUNTIME=host
echo "pip install . (host flavour, no system OpenBLAS): $((SECONDS - start)) s"

site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
for module in "$site"/qalvane/*.so; do
  if ldd "$module" | grep 'not found'; then echo "FAIL: $module"; exit 1; fi
done
blas=$(ldd "$site"/qalvane/tovrek*.so | awk '/openblas/ {print $3}')
echo "tovrek's CBLAS: $(realpath "$blas")"
[[ $(realpath "$blas") == "$site/scipy_openblas32/lib/"* ]] || { echo "FAIL: not scipy-openblas32"; exit 1; }
"$venv/bin/python" tools/check_densemm.py
"$venv/bin/python" tools/readme_blocks.py README.md
"$venv/bin/python" -m pip install -q mypy
"$venv/bin/python" -m mypy --check-untyped-defs --no-incremental examples
