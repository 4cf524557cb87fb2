#include <pybind11/pybind11.h>

#include "bindings.h"
#include "bindings_docs.h"
#include "py_arguments.h"

#ifdef QALVANE_HOST_RUNTIME
#include <hostcuda/python.h>
#endif

PYBIND11_MODULE(rhomira, m) {
  m.doc() = qalvane::rhomira::docs::kModule;
  m.attr("__version__") = QALVANE_VERSION;
  m.attr("runtime") = QALVANE_RUNTIME_NAME;  // "cuda" or "host"
  qalvane::register_undecodable_message_translator();
  qalvane::rhomira::bind_density_state(m);
  qalvane::rhomira::bind_density_operations(m);
  qalvane::rhomira::bind_density_measure(m);
  qalvane::rhomira::bind_density_expectation(m);
#ifdef QALVANE_HOST_RUNTIME
  bind_hostcuda(m);
#endif
}
