#!/usr/bin/env bash
# The check for a machine with an NVIDIA GPU and no network: builds the CUDA
# flavour for the GPU at hand, runs the pytest suite against it, then runs
# compute-sanitizer's memcheck over a short part of it.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
arch=${CUDA_ARCH:-$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -n 1 | tr -d '. ')-real}
generator=$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
export PATH=/usr/local/cuda/bin:$PATH

start=$SECONDS
cmake -S . -B build/gpu -G "$generator" -DQALVANE_RUNTIME=cuda -DCMAKE_CUDA_ARCHITECTURES="$arch" \
  -DPython_EXECUTABLE="$(command -v "$PY")" -Dpybind11_DIR="$("$PY" -m pybind11 --cmakedir)" >/dev/null
cmake --build build/gpu -j "$(nproc)"
cmake --install build/gpu --prefix build/gpu/stage >/dev/null
echo "=== build ($arch): $((SECONDS - start)) s"

export PYTHONPATH=$PWD/build/gpu/stage
export LD_LIBRARY_PATH=/usr/local/cuda/lib64${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
start=$SECONDS
"$PY" -m pytest tests/python -q -p no:cacheprovider ${PYTEST_ARGS:-}
echo "=== pytest: $((SECONDS - start)) s"

start=$SECONDS
compute-sanitizer --tool memcheck --error-exitcode 99 --leak-check full \
  "$PY" -m pytest -q -p no:cacheprovider -x tests/python/test_device_state.py \
  ${SANITIZER_TESTS:-tests/python/test_named_gates.py tests/python/test_measure.py tests/python/test_density_unitary.py}
echo "=== compute-sanitizer: $((SECONDS - start)) s"
