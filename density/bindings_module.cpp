#include <pybind11/pybind11.h>

#include "bindings.h"

#ifdef QALVANE_HOST_RUNTIME
#include <hostcuda/python.h>
#endif

PYBIND11_MODULE(rhomira, m) {
  m.doc() = "CUDA dense density-matrix backend for qalvane";
  qalvane::rhomira::bind_density_state(m);
  qalvane::rhomira::bind_density_operations(m);
  qalvane::rhomira::bind_density_measure(m);
  qalvane::rhomira::bind_density_expectation(m);
#ifdef QALVANE_HOST_RUNTIME
  bind_hostcuda(m);
#endif
}
