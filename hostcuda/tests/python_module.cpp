// A small extension module for the Python tests of hostcuda/python.h: the
// controls plus a few raw runtime calls to observe them.
#include <cuda_runtime.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>

#include "hostcuda/python.h"
#include "launch.cuh"

// Exported, so that the launch records carry its name.
extern "C" __attribute__((visibility("default"))) void hostcuda_pytest_kernel(int* flag) {
  *flag = 1;
}

PYBIND11_MODULE(hostcuda_pytest, m) {
  bind_hostcuda(m);
  // Without the interpreter lock, as the project's bindings call the runtime.
  using release = pybind11::call_guard<pybind11::gil_scoped_release>;
  m.def(
      "malloc",
      [](std::size_t bytes) {
        void* p = nullptr;
        const cudaError_t error = cudaMalloc(&p, bytes);
        return std::make_pair(static_cast<int>(error), reinterpret_cast<std::uintptr_t>(p));
      },
      release());
  m.def(
      "free", [](std::uintptr_t p) { return static_cast<int>(cudaFree(reinterpret_cast<void*>(p))); },
      release());
  m.def("set_device", [](int device) { return static_cast<int>(cudaSetDevice(device)); });
  m.def("synchronize", [] { return static_cast<int>(cudaDeviceSynchronize()); });
  m.def("get_last_error", [] { return static_cast<int>(cudaGetLastError()); });
  m.def("launch", [](unsigned threads, std::size_t shmem) {
    int* flag = nullptr;
    cudaMalloc(&flag, sizeof(int));
    qalvane::launch_kernel(hostcuda_pytest_kernel, dim3(1), dim3(threads), shmem, nullptr, flag);
    const cudaError_t error = cudaGetLastError();
    cudaFree(flag);
    return static_cast<int>(error);
  });
}
