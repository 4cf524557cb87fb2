#!/usr/bin/env bash
# The check for a machine with an NVIDIA GPU and no network. Builds the CUDA
# flavour for the GPU at hand, runs the whole pytest suite, the bandwidth
# benchmark (bench/gpu_roofline.py), compute-sanitizer (racecheck and
# synccheck over the tests of the shared-memory fused kernels of both modules,
# memcheck over the state, gate, measurement and density tests, file by file)
# and the other benchmarks. Every stage is timed and bounded so that the whole
# run ends within BUDGET_S seconds (default 470); memcheck takes what time is
# left, a file at a time. Then writes REPORT_DIR/<date>-<commit>.md (default
# reports/gpu/) with the GPU and driver, the commit, the pytest summary, every
# sanitizer summary, the benchmark tables and the stage times, and the
# roofline plot beside it. Exits non-zero when a stage failed.
#
# Environment: PYTHON (default python3), CUDA_ARCH (default: the GPU's, e.g.
# 90-real), COMMIT (the commit checked, for a copy of the tree without its git
# history), REPORT_DIR, BUDGET_S, PYTEST_ARGS, MEMCHECK_TESTS, RACECHECK_TESTS.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
PY=${PYTHON:-python3}
export PATH=/usr/local/cuda/bin:$PATH
export LD_LIBRARY_PATH=/usr/local/cuda/lib64${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
generator=$(command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
commit=${COMMIT:-$(git rev-parse HEAD 2>/dev/null || echo unknown)}
stem="$(date -u +%Y-%m-%d)-${commit:0:10}"
report_dir=${REPORT_DIR:-reports/gpu}
work=build/gpu-check
rm -rf "$work"
mkdir -p "$report_dir" "$work"
deadline=$((SECONDS + ${BUDGET_S:-470}))

# Test files (in tests/python), memcheck's in order of priority.
read -r -d '' -a memcheck_tests <<<"${MEMCHECK_TESTS:-test_density_unitary.py test_named_gates.py
  test_swap_phase_unitary.py test_measure.py test_density_noise.py test_density_measure.py
  test_device_state.py test_density_state.py test_circuit_runner.py test_density_operations.py}"
read -r -d '' -a racecheck_tests <<<"${RACECHECK_TESTS:-test_fusion.py test_density_fusion.py}"
tests() {
  local paths=("${@/#/tests/python/}")
  echo "${paths[*]}"
}

declare -A stage_rc stage_s
stages=()
# run_stage NAME CAP_SECONDS COMMAND...: runs COMMAND with its output shown
# and kept in $work/NAME.log, for at most CAP seconds and never past
# $stage_end (the deadline unless a caller lowers it).
stage_end=$deadline
run_stage() {
  local name=$1 cap=$2
  shift 2
  local left=$((stage_end - SECONDS)) start=$SECONDS rc
  ((left < cap)) && cap=$left
  stages+=("$name")
  echo "=== $name (at most $cap s)"
  if ((cap < 10)); then
    echo "skipped: the time budget is spent" | tee "$work/$name.log"
    rc=125
  else
    timeout --kill-after=15 "$cap" "$@" 2>&1 | tee "$work/$name.log"
    rc=${PIPESTATUS[0]}
    [[ -n $(tail -c 1 "$work/$name.log") ]] && echo  # cut off mid-line
  fi
  stage_rc[$name]=$rc
  stage_s[$name]=$((SECONDS - start))
  echo "=== $name: ${stage_s[$name]} s, exit $rc"
}

# The CUDA flavour for this GPU alone, staged for import.
arch=${CUDA_ARCH:-$(nvidia-smi --query-gpu=compute_cap --format=csv,noheader | head -n 1 | tr -d '. ')-real}
# shellcheck disable=SC2016 # expanded by the inner shell
run_stage build 240 bash -c 'cmake -S . -B build/gpu -G "$1" -DQALVANE_RUNTIME=cuda \
  -DCMAKE_CUDA_ARCHITECTURES="$2" -DPython_EXECUTABLE="$3" -Dpybind11_DIR="$4" &&
  cmake --build build/gpu -j "$(nproc)" && cmake --install build/gpu --prefix build/gpu/stage >/dev/null' \
  build "$generator" "$arch" "$(command -v "$PY")" "$("$PY" -m pybind11 --cmakedir)"
export PYTHONPATH=$PWD/build/gpu/stage
pytest=("$PY" -m pytest -q -p no:cacheprovider)
if [[ ${stage_rc[build]} == 0 ]]; then
  # shellcheck disable=SC2086 # PYTEST_ARGS is a word list
  run_stage pytest 150 "${pytest[@]}" tests/python ${PYTEST_ARGS:-}
  run_stage roofline 240 "$PY" bench/gpu_roofline.py --output "$work/roofline" --budget 200
  for tool in racecheck synccheck; do
    # shellcheck disable=SC2046 # a list of paths
    run_stage "$tool" 60 compute-sanitizer --tool "$tool" --error-exitcode 99 "${pytest[@]}" \
      $(tests "${racecheck_tests[@]}")
  done
  stage_end=$((deadline - 45))  # left for the other benchmarks
  for file in "${memcheck_tests[@]}"; do
    run_stage "memcheck-${file%.py}" 90 compute-sanitizer --tool memcheck --leak-check full \
      --error-exitcode 99 "${pytest[@]}" "tests/python/$file"
  done
  stage_end=$deadline
  run_stage benchmarks 90 "$PY" bench/run_all.py
fi

# The report.
summary() { grep -h -E "(ERROR|RACECHECK) SUMMARY" "$work/$1.log" 2>/dev/null || echo "no summary (exit ${stage_rc[$1]})"; }
report=$report_dir/$stem.md
{
  echo "# GPU check $stem"
  echo
  echo "- GPU: $(nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader | head -n 1)"
  echo "- CUDA: $(nvcc --version | tail -n 1), built for $arch"
  echo "- Python: $("$PY" --version 2>&1)"
  echo
  echo "commit $commit"
  echo
  echo "## Stages"
  echo
  echo "| stage | seconds | exit |"
  echo "|---|---:|---:|"
  for name in "${stages[@]}"; do
    echo "| $name | ${stage_s[$name]} | ${stage_rc[$name]} |"
  done
  echo
  echo "## pytest (tests/python)"
  echo
  echo '```text'
  grep -v '^\s*$' "$work/pytest.log" 2>/dev/null | tail -n 1
  echo '```'
  echo
  echo "## compute-sanitizer"
  echo
  echo '```text'
  for name in "${stages[@]}"; do
    case $name in
      racecheck | synccheck) echo "$name over $(tests "${racecheck_tests[@]}"):" ;;
      memcheck-*) echo "memcheck over tests/python/${name#memcheck-}.py:" ;;
      *) continue ;;
    esac
    summary "$name" | sed 's/^/  /'
  done
  echo '```'
  echo
  echo "## Bandwidth (bench/gpu_roofline.py)"
  echo
  if [[ -f $work/roofline/gpu_roofline.md ]]; then
    cat "$work/roofline/gpu_roofline.md"
    if [[ -f $work/roofline/gpu_roofline.png ]]; then
      cp "$work/roofline/gpu_roofline.png" "$report_dir/$stem-roofline.png"
      echo
      echo "![percent of copy bandwidth]($stem-roofline.png)"
    fi
  else
    echo "no table (exit ${stage_rc[roofline]:-not run})"
  fi
  echo
  echo "## Other benchmarks (bench/run_all.py)"
  echo
  echo '```text'
  cat "$work/benchmarks.log" 2>/dev/null || echo "not run"
  echo '```'
  for name in "${stages[@]}"; do
    if [[ ${stage_rc[$name]} != 0 && $name != benchmarks ]]; then
      echo
      echo "## Tail of $name (exit ${stage_rc[$name]})"
      echo
      echo '```text'
      tail -n 30 "$work/$name.log"
      echo '```'
    fi
  done
} >"$report"
echo "=== report: $report"

failed=0
for name in "${stages[@]}"; do
  [[ ${stage_rc[$name]} == 0 ]] || failed=1
done
exit "$failed"
