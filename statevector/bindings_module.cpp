#include <pybind11/pybind11.h>

#include "bindings.h"

#ifdef QALVANE_HOST_RUNTIME
#include <hostcuda/python.h>
#endif

PYBIND11_MODULE(tovrek, m) {
  m.doc() = "CUDA gate backend for qalvane";
  tovrek::bind_device_state(m);
  tovrek::bind_fusion(m);
  tovrek::bind_circuit(m);
  tovrek::bind_measure(m);
  tovrek::bind_expectation(m);
#ifdef QALVANE_HOST_RUNTIME
  bind_hostcuda(m);
#endif
}
