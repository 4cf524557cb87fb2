#include <pybind11/pybind11.h>

#include "bindings.h"

namespace qalvane::rhomira {

// measure_device is bound here together with the density measurement.
void bind_density_measure(pybind11::module_&) {}

}  // namespace qalvane::rhomira
