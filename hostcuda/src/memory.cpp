// Device memory as host memory: a budget per device, a table of live
// allocations to check frees, copies and memsets, and host registrations.
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "hostcuda/control.h"
#include "runtime.h"

namespace hostcuda::detail {
namespace {

constexpr std::size_t kAlignment = 256;

struct Allocation {
  std::size_t size;
  int device;
};

std::mutex g_mutex;  // guards everything below
std::map<std::uintptr_t, Allocation> g_allocations;
std::array<std::size_t, control::kMaxDevices> g_used{};
std::size_t g_live_bytes = 0;
std::map<std::uintptr_t, std::size_t> g_registered;  // start -> size

std::uintptr_t address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The live allocation containing p, or null.
const Allocation* containing(std::uintptr_t p, std::uintptr_t* base) {
  auto it = g_allocations.upper_bound(p);
  if (it == g_allocations.begin()) return nullptr;
  --it;
  if (p - it->first >= it->second.size) return nullptr;
  *base = it->first;
  return &it->second;
}

enum class Side { kHost, kDevice, kOverrun };

// Device if p lies in an allocation, which must then hold all count bytes.
Side classify(const void* p, std::size_t count) {
  std::uintptr_t base = 0;
  const Allocation* allocation = containing(address(p), &base);
  if (allocation == nullptr) return Side::kHost;
  return count <= allocation->size - (address(p) - base) ? Side::kDevice : Side::kOverrun;
}

bool side_matches(Side side, bool device, const void* p) {
  if (side == Side::kOverrun) return false;
  if (device) return side == Side::kDevice;
  return side == Side::kHost && p != nullptr;
}

// Checks both pointers against the direction (Default: inferred from them).
cudaError_t check_copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault)
    return cudaErrorInvalidMemcpyDirection;
  if (count == 0) return cudaSuccess;
  std::lock_guard<std::mutex> lock(g_mutex);
  const Side dst_side = classify(dst, count);
  const Side src_side = classify(src, count);
  bool dst_device = dst_side != Side::kHost;
  bool src_device = src_side != Side::kHost;
  if (kind != cudaMemcpyDefault) {
    dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
  }
  if (!side_matches(dst_side, dst_device, dst) || !side_matches(src_side, src_device, src))
    return cudaErrorInvalidValue;
  return cudaSuccess;
}

cudaError_t check_memset(void* p, std::size_t count) {
  if (count == 0) return cudaSuccess;
  std::lock_guard<std::mutex> lock(g_mutex);
  return classify(p, count) == Side::kDevice ? cudaSuccess : cudaErrorInvalidValue;
}

}  // namespace

bool is_device_range(const void* p, std::size_t bytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return classify(p, bytes) == Side::kDevice;
}

}  // namespace hostcuda::detail

namespace hostcuda::control {

std::size_t live_allocations() {
  std::lock_guard<std::mutex> lock(detail::g_mutex);
  return detail::g_allocations.size();
}

std::size_t live_bytes() {
  std::lock_guard<std::mutex> lock(detail::g_mutex);
  return detail::g_live_bytes;
}

}  // namespace hostcuda::control

using namespace hostcuda::detail;

extern "C" cudaError_t cudaMalloc(void** devPtr, std::size_t size) {
  if (const int code = enter(Fn::cudaMalloc)) return fail(static_cast<cudaError_t>(code));
  if (devPtr == nullptr) return fail(cudaErrorInvalidValue);
  int device = 0;
  if (const cudaError_t error = current_device(&device)) return fail(error);
  if (size == 0) {
    *devPtr = nullptr;
    return cudaSuccess;
  }
  {
    // Reserve first, so that concurrent requests cannot overshoot the budget.
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::size_t limit = memory_limit(device);
    if (g_used[device] > limit || size > limit - g_used[device] ||
        size > SIZE_MAX - kAlignment)
      return fail(cudaErrorMemoryAllocation);
    g_used[device] += size;
  }
  const std::size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
  void* p = ::operator new(rounded, std::align_val_t{kAlignment}, std::nothrow);
  if (p == nullptr) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_used[device] -= size;
    return fail(cudaErrorMemoryAllocation);
  }
  // Device memory starts out as garbage; NaN bytes make reads before writes show.
  std::memset(p, 0xff, size);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_allocations.emplace(address(p), Allocation{size, device});
    g_live_bytes += size;
  }
  *devPtr = p;
  return cudaSuccess;
}

extern "C" cudaError_t cudaFree(void* devPtr) {
  if (const int code = enter(Fn::cudaFree)) return fail(static_cast<cudaError_t>(code));
  if (devPtr == nullptr) return cudaSuccess;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_allocations.find(address(devPtr));
    if (it == g_allocations.end()) return fail(cudaErrorInvalidValue);
    g_used[it->second.device] -= it->second.size;
    g_live_bytes -= it->second.size;
    g_allocations.erase(it);
  }
  ::operator delete(devPtr, std::align_val_t{kAlignment});
  return cudaSuccess;
}

extern "C" cudaError_t cudaMemset(void* devPtr, int value, std::size_t count) {
  if (const int code = enter(Fn::cudaMemset)) return fail(static_cast<cudaError_t>(code));
  if (const cudaError_t error = check_memset(devPtr, count)) return fail(error);
  if (count != 0) std::memset(devPtr, value, count);
  return cudaSuccess;
}

extern "C" cudaError_t cudaMemsetAsync(void* devPtr, int value, std::size_t count,
                                       cudaStream_t stream) {
  if (const int code = enter(Fn::cudaMemsetAsync)) return fail(static_cast<cudaError_t>(code));
  if (!valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  if (const cudaError_t error = check_memset(devPtr, count)) return fail(error);
  if (count != 0) std::memset(devPtr, value, count);
  return cudaSuccess;
}

extern "C" cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count,
                                  cudaMemcpyKind kind) {
  if (const int code = enter(Fn::cudaMemcpy)) return fail(static_cast<cudaError_t>(code));
  if (const cudaError_t error = check_copy(dst, src, count, kind)) return fail(error);
  // Blocking: waits for earlier work, so it reports its asynchronous errors.
  if (const cudaError_t error = synchronise()) return error;
  if (count != 0) std::memmove(dst, src, count);
  return cudaSuccess;
}

extern "C" cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count,
                                       cudaMemcpyKind kind, cudaStream_t stream) {
  if (const int code = enter(Fn::cudaMemcpyAsync)) return fail(static_cast<cudaError_t>(code));
  if (!valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  if (const cudaError_t error = check_copy(dst, src, count, kind)) return fail(error);
  if (count != 0) std::memmove(dst, src, count);
  return cudaSuccess;
}

extern "C" cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int flags) {
  if (const int code = enter(Fn::cudaHostRegister)) return fail(static_cast<cudaError_t>(code));
  constexpr unsigned int kKnownFlags = cudaHostRegisterPortable | cudaHostRegisterMapped |
                                       cudaHostRegisterIoMemory | cudaHostRegisterReadOnly;
  if (ptr == nullptr || size == 0 || (flags & ~kKnownFlags) != 0 ||
      size > UINTPTR_MAX - address(ptr))
    return fail(cudaErrorInvalidValue);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (classify(ptr, size) != Side::kHost) return fail(cudaErrorInvalidValue);
  const std::uintptr_t start = address(ptr);
  // Overlap with the nearest range starting before the end of this one.
  auto next = g_registered.lower_bound(start + size);
  if (next != g_registered.begin()) {
    --next;
    if (next->first + next->second > start) return fail(cudaErrorHostMemoryAlreadyRegistered);
  }
  g_registered.emplace(start, size);
  return cudaSuccess;
}

extern "C" cudaError_t cudaHostUnregister(void* ptr) {
  if (const int code = enter(Fn::cudaHostUnregister))
    return fail(static_cast<cudaError_t>(code));
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_registered.erase(address(ptr)) == 0) return fail(cudaErrorHostMemoryNotRegistered);
  return cudaSuccess;
}
