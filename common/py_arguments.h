// Binding-side helpers shared by both modules: they touch Python objects and
// run with the interpreter lock held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <random>
#include <stdexcept>
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

// A refusal quotes what the caller gave (a gate or operation name, a device
// or dtype string), and bytes need not be UTF-8: raised as it stands, such a
// message would become a UnicodeDecodeError in place of the refusal. The
// module's argument and runtime errors with such a message keep their class
// and show the bytes as \xNN escapes; every other exception is left to the
// binding layer's own translation.
inline void register_undecodable_message_translator() {
  pybind11::register_local_exception_translator([](std::exception_ptr thrown) {
    if (!thrown) return;
    const auto raise_escaped = [](PyObject* type, const char* what) {
      PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)),
                                            "backslashreplace");
      if (text == nullptr) return;  // the codec's own error is raised instead
      PyErr_SetObject(type, text);
      Py_DECREF(text);
    };
    const auto decodable = [](const char* what) {
      PyObject* text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), nullptr);
      if (text == nullptr) {
        PyErr_Clear();
        return false;
      }
      Py_DECREF(text);
      return true;
    };
    try {
      std::rethrow_exception(thrown);
    } catch (const pybind11::builtin_exception&) {
      throw;
    } catch (const std::invalid_argument& error) {
      if (decodable(error.what())) throw;
      raise_escaped(PyExc_ValueError, error.what());
    } catch (const std::runtime_error& error) {
      if (decodable(error.what())) throw;
      raise_escaped(PyExc_RuntimeError, error.what());
    }
  });
}

}  // namespace qalvane
