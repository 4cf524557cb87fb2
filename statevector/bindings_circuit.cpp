#include <pybind11/pybind11.h>

#include "bindings.h"

namespace tovrek {

void bind_circuit(pybind11::module_&) {}

}  // namespace tovrek
