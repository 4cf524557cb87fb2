#!/usr/bin/env bash
# Prints the interpreter to build and test with: CPython 3.12 where the
# machine has one (on PATH, or installed under pyenv without being the
# selected version), else the machine's python3.
set -u
candidates=(python3.12)
root=${PYENV_ROOT:-$HOME/.pyenv}
for p in $(ls -d "$root"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r); do
  candidates+=("$p")
done
candidates+=(python3)
for p in "${candidates[@]}"; do
  if "$p" -c 'import sys, venv' >/dev/null 2>&1; then
    command -v "$p"
    exit 0
  fi
done
echo "no usable python3 found" >&2
exit 1
