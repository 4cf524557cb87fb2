// Python bindings of the test controls, added to an extension module as the
// private submodule `_hostcuda`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "hostcuda/control.h"

inline void bind_hostcuda(pybind11::module_& parent) {
  namespace control = hostcuda::control;
  pybind11::module_ m =
      parent.def_submodule("_hostcuda", "Test controls of the host CUDA runtime.");
  m.def("reset", &control::reset);
  m.def("fail_nth", &control::fail_nth, pybind11::arg("name"), pybind11::arg("n"),
        pybind11::arg("code"));
  m.def("inject_async_error", &control::inject_async_error, pybind11::arg("code"));
  m.def("set_memory_limit", &control::set_memory_limit, pybind11::arg("device"),
        pybind11::arg("bytes"));
  m.def("memory_limit", &control::memory_limit, pybind11::arg("device"));
  m.def("set_device_count", &control::set_device_count, pybind11::arg("count"));
  m.def("device_count", &control::device_count);
  m.def("live_allocations", &control::live_allocations);
  m.def("live_bytes", &control::live_bytes);
  m.def("call_count", &control::call_count, pybind11::arg("name"));
  m.def("launch_records", [] {
    pybind11::list records;
    for (const control::LaunchRecord& r : control::launch_records()) {
      pybind11::dict record;
      record["object"] = r.object;
      record["offset"] = r.offset;
      record["symbol"] = r.symbol;
      record["block"] = pybind11::make_tuple(r.block[0], r.block[1], r.block[2]);
      record["dynamic_shared"] = r.dynamic_shared;
      record["launches"] = r.launches;
      records.append(std::move(record));
    }
    return records;
  });
  m.def("set_shuffle", &control::set_shuffle, pybind11::arg("seed"));
  m.def("error_string", &control::error_string, pybind11::arg("code"));
}
