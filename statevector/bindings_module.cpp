#include <pybind11/pybind11.h>

#include "bindings.h"
#include "bindings_docs.h"
#include "py_arguments.h"

#ifdef QALVANE_HOST_RUNTIME
#include <hostcuda/python.h>
#endif

PYBIND11_MODULE(tovrek, m) {
  m.doc() = tovrek::docs::kModule;
  m.attr("__version__") = QALVANE_VERSION;
  m.attr("runtime") = QALVANE_RUNTIME_NAME;  // "cuda" or "host"
  qalvane::register_undecodable_message_translator();
  tovrek::bind_device_state(m);
  tovrek::bind_fusion(m);
  tovrek::bind_circuit(m);
  tovrek::bind_measure(m);
  tovrek::bind_expectation(m);
#ifdef QALVANE_HOST_RUNTIME
  bind_hostcuda(m);
#endif
}
