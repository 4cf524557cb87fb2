# Set-up, build and test entry points. `make demo` and `make test` each do the
# whole set-up on a fresh machine.
SHELL := /bin/bash
PY_BASE ?= $(shell tools/find_python.sh)
VENV ?= .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc)
# The demo builds the CUDA flavour where a GPU answers, else the host flavour.
RUNTIME ?= $(shell nvidia-smi -L >/dev/null 2>&1 && echo cuda || echo host)

CMAKE_COMMON = -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
  -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)

.PHONY: setup demo test build-host test-host build-asan pytest-asan test-asan fuzz-asan build-cuda check-cuda \
  kernel-report roofline-quick bench clean stubs check-stubs check-install wheel

$(VENV)/.stamp: tools/dev-requirements.txt
	@if ! dpkg -s libopenblas-dev ninja-build libgtest-dev >/dev/null 2>&1; then \
	  apt-get update -qq && apt-get install -y -qq libopenblas-dev ninja-build libgtest-dev cmake g++; fi
	$(PY_BASE) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r tools/dev-requirements.txt
	touch $@

setup: $(VENV)/.stamp

demo: setup
	$(PY) -m pip install -q --no-build-isolation . -C cmake.define.QALVANE_RUNTIME=$(RUNTIME) -C build-dir=build/wheel-$(RUNTIME)
	$(PY) examples/demo.py

# Host flavour with the C++ unit tests, staged for import as qalvane.tovrek / qalvane.rhomira.
build-host: setup
	cmake -S . -B build/host $(CMAKE_COMMON) -DQALVANE_RUNTIME=host -DBUILD_TESTING=ON
	cmake --build build/host -j $(JOBS)
	cmake --install build/host --prefix build/host/stage >/dev/null

test-host: build-host
	ctest --test-dir build/host --output-on-failure -j $(JOBS)
	PYTHONPATH=build/host/stage $(PY) -m pytest tests/python -q

test: test-host

# The same suite on a host build with AddressSanitizer and UBSan. The
# interpreter is not instrumented: the sanitizer runtimes are preloaded and
# the interpreter's own allocations are kept out of the leak report.
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:detect_stack_use_after_return=0 \
  LSAN_OPTIONS=suppressions=$(abspath tools/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build-asan: setup
	cmake -S . -B build/asan $(CMAKE_COMMON) -DQALVANE_RUNTIME=host -DQALVANE_SANITIZE=ON -DBUILD_TESTING=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/asan -j $(JOBS)
	cmake --install build/asan --prefix build/asan/stage >/dev/null
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan --output-on-failure -j $(JOBS)

test-asan: build-asan pytest-asan

# The hypothesis examples of test_fuzz.py are left to fuzz-asan, which runs
# the same entries on this build in a process of its own: once a hypothesis
# test has run, pytest's session (and every parametrised argument of every
# module) stays alive to the end of the process, and the leak report would
# list all of it.
pytest-asan:
	$(ASAN_ENV) PYTHONPATH=build/asan/stage $(PY) -m pytest tests/python -q -p no:cacheprovider \
	  --deselect tests/python/test_fuzz.py::test_surface

# The fuzz campaign on the sanitizer build (run `make build-asan` first):
# FUZZ_MINUTES whole minutes from FUZZ_SEED (empty: a fresh seed, printed).
# The campaign stops itself at the time; the timeout only bounds a hang.
FUZZ_MINUTES ?= 5
FUZZ_SEED ?= 1
fuzz-asan:
	$(ASAN_ENV) PYTHONPATH=build/asan/stage timeout --kill-after=30 $$(( $(FUZZ_MINUTES) * 60 + 180 )) \
	  $(PY) tools/fuzz_campaign.py --minutes $(FUZZ_MINUTES) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED))

# The CUDA flavour for every architecture, keeping ptxas's statistics of
# each object for the kernel report. Without a GPU it must import and report
# the missing device as a CUDA error, and the suite must skip what needs a
# device rather than fail.
CUDA_STAGE_ENV = LD_LIBRARY_PATH=/usr/local/cuda/lib64 PYTHONPATH=build/cuda/stage
build-cuda: setup
	cmake -S . -B build/cuda $(CMAKE_COMMON) -DQALVANE_RUNTIME=cuda -DQALVANE_PTXAS_LOG=ON
	cmake --build build/cuda -j $(JOBS)

check-cuda: build-cuda
	cmake --install build/cuda --prefix build/cuda/stage >/dev/null
	$(CUDA_STAGE_ENV) $(PY) tools/check_cuda_import.py
	$(CUDA_STAGE_ENV) $(PY) -m pytest tests/python -q -p no:cacheprovider

# Type stubs: regenerated from the host build (commit the result), and the
# check that they match the modules and that the examples type-check against
# them as installed (build/host/stage is laid out as site-packages).
STAGE_ENV = PYTHONPATH=$(abspath build/host/stage)
stubs: build-host
	$(STAGE_ENV) $(PY) tools/stubs.py write stubs/qalvane-stubs

check-stubs: build-host
	$(STAGE_ENV) $(PY) tools/stubs.py check stubs/qalvane-stubs
	$(STAGE_ENV) $(PY) -m mypy --check-untyped-defs --cache-dir build/mypy-cache examples

# The host flavour as a user installs it: plain pip, a fresh venv, no system
# OpenBLAS (hidden in a private mount namespace; needs root).
check-install:
	PY_BASE=$(PY_BASE) tools/check_plain_install.sh

# A wheel repaired to a manylinux tag. The CUDA libraries and scipy-openblas32
# stay out of it: the extra "cuda" and the host flavour's dependency bring them
# (a host wheel links scipy-openblas32 even where the system has OpenBLAS).
WHEEL_RUNTIME ?=
WHEEL_EXCLUDES = $(foreach lib,libcudart.so.* libcublas.so.* libcublasLt.so.* libscipy_openblas.so,--exclude '$(lib)')
wheel: setup
	rm -rf dist/raw
	$(PY) -m pip wheel . --no-deps -w dist/raw \
	  $(if $(WHEEL_RUNTIME),-C cmake.define.QALVANE_RUNTIME=$(WHEEL_RUNTIME)) \
	  $(if $(filter host,$(WHEEL_RUNTIME)),-C cmake.define.BLA_VENDOR=scipy-openblas32) $(WHEEL_ARGS)
	PATH=$(abspath $(VENV))/bin:$$PATH $(PY) -m auditwheel repair $(WHEEL_EXCLUDES) -w dist dist/raw/*.whl

# Every kernel's registers, stack, spills and shared memory on sm_90 (from
# the CUDA build) with the launch shapes the host flavour records, the
# occupancy, and the checks: fails on a violation that
# tools/kernel_report_allow.txt does not list, or on a listed one that is gone.
kernel-report: build-cuda build-host
	PYTHONPATH=build/host/stage $(PY) tools/kernel_report.py --build build/cuda

# The bandwidth benchmark at small n: seconds on the host flavour.
roofline-quick: build-host
	PYTHONPATH=build/host/stage $(PY) bench/gpu_roofline.py --quick --output build/roofline

bench: build-host roofline-quick
	PYTHONPATH=build/host/stage $(PY) bench/run_all.py

clean:
	rm -rf build
