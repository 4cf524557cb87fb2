// One way to launch a kernel and to reach dynamic shared memory, for nvcc and
// for the host runtime alike. Kernel sources use nothing else of the launch
// syntax, so the same file compiles in both flavours.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace qalvane {

#if defined(__CUDACC__)

template <typename... Params, typename... Args>
inline void launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t shmem,
                          cudaStream_t stream, Args&&... args) {
  kernel<<<grid, block, shmem, stream>>>(std::forward<Args>(args)...);
}

template <typename T>
__device__ __forceinline__ T* dynamic_shared() {
  extern __shared__ __align__(16) unsigned char qalvane_dynamic_smem[];
  return reinterpret_cast<T*>(qalvane_dynamic_smem);
}

#else

namespace detail {
template <typename... Params>
struct KernelCall {
  void (*kernel)(Params...);
  std::tuple<std::decay_t<Params>...> args;
  static void run(const void* self) {
    const auto* call = static_cast<const KernelCall*>(self);
    std::apply(call->kernel, call->args);
  }
};
}  // namespace detail

template <typename... Params, typename... Args>
inline void launch_kernel(void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t shmem,
                          cudaStream_t stream, Args&&... args) {
  const detail::KernelCall<Params...> call{
      kernel, std::tuple<std::decay_t<Params>...>(std::forward<Args>(args)...)};
  hostcuda::launch(reinterpret_cast<const void*>(kernel), grid, block, shmem, stream,
                   &detail::KernelCall<Params...>::run, &call);
}

template <typename T>
inline T* dynamic_shared() {
  return static_cast<T*>(hostcuda::dynamic_shared_memory());
}

#endif

}  // namespace qalvane
