// Devices, call counters, fault injection and the test-control API.
#include "hostcuda/control.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <tuple>
#include <stdexcept>
#include <vector>

#include "runtime.h"

namespace hostcuda::detail {
namespace {

constexpr int kFunctionCount = static_cast<int>(Fn::kCount);

struct FunctionInfo {
  const char* name;
  bool injectable;
};

constexpr FunctionInfo kFunctions[] = {
#define HOSTCUDA_INFO(name, injectable) {#name, injectable},
    HOSTCUDA_FUNCTIONS(HOSTCUDA_INFO)
#undef HOSTCUDA_INFO
};

Fn find_function(const std::string& name) {
  for (int i = 0; i < kFunctionCount; ++i)
    if (name == kFunctions[i].name) return static_cast<Fn>(i);
  throw std::invalid_argument("hostcuda: unknown function name '" + name + "'");
}

std::size_t default_memory_limit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return std::size_t{1} << 30;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size) / 4;
}

struct Injection {
  Fn fn;
  int remaining;  // calls until it fires; 1 = the next one
  int code;
};

std::array<std::atomic<std::uint64_t>, kFunctionCount> g_calls{};
std::atomic<bool> g_armed{false};  // any injection pending: skips the lock otherwise
std::mutex g_injection_mutex;
std::vector<Injection> g_injections;

// Launches per (kernel, block x, y, z, dynamic shared memory).
using LaunchKey = std::tuple<const void*, unsigned, unsigned, unsigned, std::size_t>;
std::mutex g_launch_mutex;
std::map<LaunchKey, std::uint64_t> g_launches;

std::atomic<int> g_device_count{1};
struct Limits {
  std::array<std::atomic<std::size_t>, control::kMaxDevices> bytes;
  Limits() { restore(); }
  void restore() {
    for (auto& limit : bytes) limit = default_memory_limit();
  }
};
Limits g_limits;

std::atomic<std::uint64_t> g_generation{1};
std::atomic<std::uint64_t> g_shuffle_seed{0};
std::atomic<std::uint64_t> g_shuffle_epoch{0};

// Current device of this thread, valid for one generation.
struct ThreadDevice {
  std::uint64_t generation = 0;
  int device = 0;
};
thread_local ThreadDevice t_device;

int& thread_device() {
  const std::uint64_t now = g_generation.load();
  if (t_device.generation != now) t_device = ThreadDevice{now, 0};
  return t_device.device;
}

void check_device(int device) {
  if (device < 0 || device >= g_device_count.load())
    throw std::invalid_argument("hostcuda: no device " + std::to_string(device));
}

}  // namespace

int enter(Fn fn) {
  g_calls[static_cast<int>(fn)].fetch_add(1, std::memory_order_relaxed);
  if (!g_armed.load(std::memory_order_acquire)) return 0;
  std::lock_guard<std::mutex> lock(g_injection_mutex);
  int code = 0;
  for (auto it = g_injections.begin(); it != g_injections.end();) {
    if (it->fn == fn && --it->remaining == 0) {
      if (code == 0) code = it->code;
      it = g_injections.erase(it);
    } else {
      ++it;
    }
  }
  g_armed = !g_injections.empty();
  return code;
}

void record_launch(const void* kernel, dim3 block, std::size_t shmem) {
  std::lock_guard<std::mutex> lock(g_launch_mutex);
  ++g_launches[LaunchKey{kernel, block.x, block.y, block.z, shmem}];
}

std::uint64_t generation() { return g_generation.load(); }

int device_count() { return g_device_count.load(); }

std::size_t memory_limit(int device) { return g_limits.bytes[device].load(); }

cudaError_t current_device(int* device) {
  const int count = g_device_count.load();
  if (count == 0) return cudaErrorNoDevice;
  *device = thread_device();
  return *device < count ? cudaSuccess : cudaErrorInvalidDevice;
}

bool valid_stream(cudaStream_t stream) {
  return stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread;
}

std::uint64_t shuffle_seed(bool* restart) {
  thread_local std::uint64_t seen_epoch = 0;
  const std::uint64_t epoch = g_shuffle_epoch.load();
  *restart = epoch != seen_epoch;
  seen_epoch = epoch;
  return g_shuffle_seed.load();
}

}  // namespace hostcuda::detail

using hostcuda::detail::enter;
using hostcuda::detail::fail;
using hostcuda::detail::Fn;

extern "C" cudaError_t cudaGetDeviceCount(int* count) {
  if (const int code = enter(Fn::cudaGetDeviceCount)) return fail(static_cast<cudaError_t>(code));
  if (count == nullptr) return fail(cudaErrorInvalidValue);
  *count = hostcuda::detail::device_count();
  return *count == 0 ? fail(cudaErrorNoDevice) : cudaSuccess;
}

extern "C" cudaError_t cudaSetDevice(int device) {
  if (const int code = enter(Fn::cudaSetDevice)) return fail(static_cast<cudaError_t>(code));
  const int count = hostcuda::detail::device_count();
  if (count == 0) return fail(cudaErrorNoDevice);
  if (device < 0 || device >= count) return fail(cudaErrorInvalidDevice);
  hostcuda::detail::thread_device() = device;
  return cudaSuccess;
}

extern "C" cudaError_t cudaGetDevice(int* device) {
  if (const int code = enter(Fn::cudaGetDevice)) return fail(static_cast<cudaError_t>(code));
  if (device == nullptr) return fail(cudaErrorInvalidValue);
  if (hostcuda::detail::device_count() == 0) return fail(cudaErrorNoDevice);
  *device = hostcuda::detail::thread_device();
  return cudaSuccess;
}

namespace hostcuda::control {
using namespace hostcuda::detail;

void reset() {
  {
    std::lock_guard<std::mutex> lock(g_injection_mutex);
    g_injections.clear();
    g_armed = false;
  }
  for (auto& calls : g_calls) calls = 0;
  {
    std::lock_guard<std::mutex> lock(g_launch_mutex);
    g_launches.clear();
  }
  g_device_count = 1;
  g_limits.restore();
  g_shuffle_seed = 0;
  ++g_shuffle_epoch;
  take_async_error();
  ++g_generation;
}

void fail_nth(const std::string& name, int n, int code) {
  const Fn fn = find_function(name);
  if (!kFunctions[static_cast<int>(fn)].injectable)
    throw std::invalid_argument("hostcuda: calls of '" + name + "' cannot be made to fail");
  if (n < 1) throw std::invalid_argument("hostcuda: n must be at least 1");
  if (code == 0) throw std::invalid_argument("hostcuda: a failure needs a nonzero code");
  std::lock_guard<std::mutex> lock(g_injection_mutex);
  g_injections.push_back(Injection{fn, n, code});
  g_armed = true;
}

void inject_async_error(int code) {
  if (code == 0) throw std::invalid_argument("hostcuda: an error needs a nonzero code");
  record_async_error(static_cast<cudaError_t>(code));
}

void set_memory_limit(int device, std::size_t bytes) {
  check_device(device);
  g_limits.bytes[device] = bytes;
}

std::size_t memory_limit(int device) {
  check_device(device);
  return g_limits.bytes[device].load();
}

void set_device_count(int count) {
  if (count < 0 || count > kMaxDevices)
    throw std::invalid_argument("hostcuda: device count must be 0 to " +
                                std::to_string(kMaxDevices));
  g_device_count = count;
}

int device_count() { return g_device_count.load(); }

std::uint64_t call_count(const std::string& name) {
  return g_calls[static_cast<int>(find_function(name))].load();
}

std::vector<LaunchRecord> launch_records() {
  std::vector<LaunchRecord> records;
  std::lock_guard<std::mutex> lock(g_launch_mutex);
  for (const auto& [key, launches] : g_launches) {
    const auto& [kernel, x, y, z, shmem] = key;
    LaunchRecord record{kernel, {}, 0, {}, {x, y, z}, shmem, launches};
    Dl_info info{};
    if (dladdr(kernel, &info) != 0) {
      if (info.dli_fname) record.object = info.dli_fname;
      record.offset = reinterpret_cast<std::uintptr_t>(kernel) -
                      reinterpret_cast<std::uintptr_t>(info.dli_fbase);
      if (info.dli_sname && info.dli_saddr == kernel) record.symbol = info.dli_sname;
    }
    records.push_back(std::move(record));
  }
  return records;
}

void set_shuffle(std::uint64_t seed) {
  g_shuffle_seed = seed;
  ++g_shuffle_epoch;
}

std::string error_string(int code) { return error_text(code); }

}  // namespace hostcuda::control
