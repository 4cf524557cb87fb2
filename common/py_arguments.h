// Binding-side helpers shared by both modules: they touch Python objects and
// run with the interpreter lock held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <random>
#include <string>

#include "arguments.h"
#include "interrupt_check.h"

namespace qalvane {

// The text form of the array's dtype ("complex128", or a type code such as
// ">c16" for byte-swapped data) read as a dtype string.
inline StateDtype dtype_of_array(const pybind11::array& array) {
  return parse_dtype(pybind11::str(array.dtype()).cast<std::string>());
}

// None draws a fresh 32-bit value; anything else goes through the binding
// layer's unsigned 64-bit conversion, whose cast error is a RuntimeError.
inline uint64_t resolve_seed(const pybind11::object& seed) {
  if (seed.is_none()) {
    std::random_device device("default");
    return static_cast<uint64_t>(device());
  }
  return seed.cast<uint64_t>();
}

// The check a binding hands to a worker that runs without the interpreter
// lock: it takes the lock for a moment and runs the pending signal handlers.
// What they raise (KeyboardInterrupt for Ctrl-C) ends the worker, whose
// resources unwind as on any failure, and reaches the caller unchanged.
inline InterruptCheck python_signal_check() {
  return [] {
    const pybind11::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
  };
}

}  // namespace qalvane
