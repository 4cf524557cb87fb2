#!/usr/bin/env bash
# Compiler launcher of the CUDA flavour with QALVANE_PTXAS_LOG: runs the
# compile (itself maybe behind ccache), keeps its whole diagnostic output,
# ptxas -v statistics included, in <object>.ptxas and passes on everything
# but ptxas's info lines.
set -uo pipefail
object=
previous=
for arg in "$@"; do
  [[ $previous == -o ]] && object=$arg
  previous=$arg
done
if [[ -z $object ]]; then
  exec "$@"
fi
"$@" 2>"$object.ptxas.part"
status=$?
grep -v -e '^ptxas info' -e '^    [0-9]* bytes stack frame' "$object.ptxas.part" >&2
if ((status == 0)); then
  mv -f "$object.ptxas.part" "$object.ptxas"
else
  rm -f "$object.ptxas.part" "$object.ptxas"
fi
exit "$status"
