// Kernel launches: every block runs on the calling OS thread. The threads of a
// block run as fibers that switch at barriers; once the first block of a
// launch has run without reaching one, the rest take a plain loop instead.
#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "fibers.h"
#include "runtime.h"

namespace hostcuda::detail {

__thread Builtins builtins = {};

namespace {

constexpr unsigned kMaxThreadsPerBlock = 1024;
constexpr unsigned kMaxBlockX = 1024, kMaxBlockY = 1024, kMaxBlockZ = 64;
constexpr unsigned kMaxGridX = 2147483647u, kMaxGridYZ = 65535;
constexpr std::size_t kMaxDynamicShared = 48 * 1024;
constexpr unsigned kWarp = 32;

enum class State : unsigned char { kReady, kAtBlockBarrier, kAtWarpBarrier, kDone };

struct Launch {
  dim3 block;
  unsigned threads = 0;
  void (*run)(const void*) = nullptr;
  const void* ctx = nullptr;
  std::mt19937_64* rng = nullptr;  // null unless shuffling
  bool on_fibers = false;
  bool barrier_seen = false;
  bool failed = false;  // reported as cudaErrorLaunchFailure
  bool broken = false;  // this block deadlocked: barriers stop waiting
  // Fiber mode: the running thread, the state of each, threads to resume.
  unsigned current = 0;
  std::vector<State> state;
  std::vector<unsigned> warp_mask;     // per thread, while at __syncwarp
  std::vector<unsigned> warp_waiting;  // per warp: lanes at __syncwarp
  std::vector<unsigned> warp_done;     // per warp: lanes that exited
  // Shuffles: per warp two buffers of one 64-bit slot per lane, used in
  // turn, so a lane can offer its next value while slower lanes still read
  // the last exchange: no lane passes the next barrier before all have read.
  std::vector<std::uint64_t> shuffle_slots;
  std::vector<unsigned char> shuffle_turn;  // per thread: the buffer of its next shuffle
  std::vector<unsigned> ready;
  std::vector<unsigned> released;
  std::size_t next_ready = 0;
  unsigned live = 0;
  unsigned at_block_barrier = 0;
};

thread_local Launch* t_launch = nullptr;
thread_local std::unique_ptr<FiberPool> t_fibers;
thread_local std::unique_ptr<unsigned char[]> t_dynamic_shared;
thread_local std::mt19937_64 t_rng;

void set_thread(unsigned t, dim3 block) {
  builtins.thread_idx = uint3{t % block.x, t / block.x % block.y, t / (block.x * block.y)};
}

void fiber_body(int slot) {
  (void)slot;  // the scheduler has set the thread's built-ins already
  Launch& launch = *t_launch;
  try {
    launch.run(launch.ctx);
  } catch (...) {
    launch.failed = true;
  }
}

void make_ready(Launch& launch, std::vector<unsigned>& released) {
  if (launch.rng) std::shuffle(released.begin(), released.end(), *launch.rng);
  for (unsigned t : released) launch.state[t] = State::kReady;
  launch.ready.insert(launch.ready.end(), released.begin(), released.end());
}

// Releases the threads whose barrier the latest event (an arrival or an exit
// of thread t) has completed.
void settle(Launch& launch, unsigned t) {
  std::vector<unsigned>& released = launch.released;
  released.clear();
  if (launch.live > 0 && launch.at_block_barrier == launch.live) {
    for (unsigned i = 0; i < launch.threads; ++i)
      if (launch.state[i] == State::kAtBlockBarrier) released.push_back(i);
    launch.at_block_barrier = 0;
  }
  const unsigned warp = t / kWarp;
  if (unsigned waiting = launch.warp_waiting[warp]) {
    const unsigned first = warp * kWarp;
    const unsigned lanes = std::min(kWarp, launch.threads - first);
    const unsigned absent = lanes == kWarp ? 0u : ~0u << lanes;
    const unsigned passed = waiting | launch.warp_done[warp] | absent;
    for (unsigned lane = 0; lane < lanes; ++lane)
      if ((waiting >> lane & 1u) && (launch.warp_mask[first + lane] & ~passed) == 0) {
        released.push_back(first + lane);
        launch.warp_waiting[warp] &= ~(1u << lane);
      }
  }
  make_ready(launch, released);
}

void run_block_on_fibers(Launch& launch) {
  if (!t_fibers) t_fibers = std::make_unique<FiberPool>(&fiber_body);
  launch.on_fibers = true;
  launch.broken = false;
  launch.state.assign(launch.threads, State::kReady);
  launch.warp_mask.assign(launch.threads, 0);
  launch.warp_waiting.assign((launch.threads + kWarp - 1) / kWarp, 0);
  launch.warp_done.assign(launch.warp_waiting.size(), 0);
  launch.shuffle_turn.assign(launch.threads, 0);
  launch.ready.resize(launch.threads);
  std::iota(launch.ready.begin(), launch.ready.end(), 0u);
  if (launch.rng) std::shuffle(launch.ready.begin(), launch.ready.end(), *launch.rng);
  launch.next_ready = 0;
  launch.live = launch.threads;
  launch.at_block_barrier = 0;
  while (launch.next_ready < launch.ready.size()) {
    const unsigned t = launch.ready[launch.next_ready++];
    set_thread(t, launch.block);
    launch.current = t;
    if (t_fibers->resume(static_cast<int>(t))) {
      launch.state[t] = State::kDone;
      launch.warp_done[t / kWarp] |= 1u << (t % kWarp);
      --launch.live;
    }
    settle(launch, t);
    if (launch.next_ready < launch.ready.size()) continue;
    launch.ready.clear();
    launch.next_ready = 0;
    if (launch.live == 0) break;
    // Everyone left waits on a barrier that cannot complete (on a GPU, a hang).
    launch.failed = true;
    launch.broken = true;
    launch.at_block_barrier = 0;
    std::fill(launch.warp_waiting.begin(), launch.warp_waiting.end(), 0u);
    for (unsigned i = 0; i < launch.threads; ++i)
      if (launch.state[i] != State::kDone) {
        launch.state[i] = State::kReady;
        launch.ready.push_back(i);
      }
  }
  launch.on_fibers = false;
}

void run_block_fast(Launch& launch, std::vector<unsigned>& order) {
  const dim3 block = launch.block;
  try {
    if (!launch.rng) {
      for (unsigned z = 0; z < block.z; ++z)
        for (unsigned y = 0; y < block.y; ++y)
          for (unsigned x = 0; x < block.x; ++x) {
            builtins.thread_idx = uint3{x, y, z};
            launch.run(launch.ctx);
          }
      return;
    }
    order.resize(launch.threads);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), *launch.rng);
    for (unsigned t : order) {
      set_thread(t, block);
      launch.run(launch.ctx);
    }
  } catch (...) {
    launch.failed = true;
  }
}

cudaError_t check_configuration(dim3 grid, dim3 block, std::size_t shmem) {
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0)
    return cudaErrorInvalidConfiguration;
  if (block.x > kMaxBlockX || block.y > kMaxBlockY || block.z > kMaxBlockZ ||
      std::uint64_t{block.x} * block.y * block.z > kMaxThreadsPerBlock)
    return cudaErrorInvalidConfiguration;
  if (grid.x > kMaxGridX || grid.y > kMaxGridYZ || grid.z > kMaxGridYZ)
    return cudaErrorInvalidConfiguration;
  if (shmem > kMaxDynamicShared) return cudaErrorInvalidValue;
  return cudaSuccess;
}

// Visits 0..count-1 in the order i -> (a * i + b) mod count, a coprime to count.
struct BlockOrder {
  std::uint64_t count, a = 1, b = 0;
  BlockOrder(std::uint64_t n, std::mt19937_64* rng) : count(n) {
    if (!rng || n < 2) return;
    b = (*rng)() % n;
    do a = 1 + (*rng)() % (n - 1);
    while (std::gcd(a, n) != 1);
  }
  std::uint64_t operator[](std::uint64_t i) const {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(a) * i + b) % count);
  }
};

struct LaunchScope {
  explicit LaunchScope(Launch* launch) { t_launch = launch; }
  ~LaunchScope() {
    t_launch = nullptr;
    builtins = Builtins{};
  }
};

}  // namespace
}  // namespace hostcuda::detail

namespace hostcuda {
using namespace detail;

void launch(const void* kernel, dim3 grid, dim3 block, std::size_t shmem, cudaStream_t stream,
            void (*run)(const void* ctx), const void* ctx) {
  if (const int code = enter(Fn::launch)) {
    fail(static_cast<cudaError_t>(code));
    return;
  }
  // What was asked for, valid or not: a GPU would refuse the same requests.
  record_launch(kernel, block, shmem);
  int device = 0;
  cudaError_t error = current_device(&device);
  if (error == cudaSuccess && !valid_stream(stream)) error = cudaErrorInvalidResourceHandle;
  if (error == cudaSuccess) error = check_configuration(grid, block, shmem);
  // Kernels launching kernels are not supported.
  if (error == cudaSuccess && t_launch != nullptr) error = cudaErrorNotSupported;
  if (error != cudaSuccess) {
    fail(error);
    return;
  }

  Launch launch;
  launch.block = block;
  launch.threads = block.x * block.y * block.z;
  launch.run = run;
  launch.ctx = ctx;
  bool restart = false;
  if (const std::uint64_t seed = shuffle_seed(&restart)) {
    if (restart) t_rng.seed(seed);
    launch.rng = &t_rng;
  }
  if (!t_dynamic_shared) t_dynamic_shared.reset(new unsigned char[kMaxDynamicShared]);
  std::memset(t_dynamic_shared.get(), 0xff, shmem);  // shared memory starts as garbage

  const LaunchScope scope(&launch);
  builtins.block_dim = block;
  builtins.grid_dim = grid;
  const BlockOrder order(std::uint64_t{grid.x} * grid.y * grid.z, launch.rng);
  std::vector<unsigned> thread_order;
  for (std::uint64_t i = 0; i < order.count && !launch.failed; ++i) {
    const std::uint64_t b = order[i];
    builtins.block_idx = uint3{static_cast<unsigned>(b % grid.x),
                               static_cast<unsigned>(b / grid.x % grid.y),
                               static_cast<unsigned>(b / (std::uint64_t{grid.x} * grid.y))};
    if (i == 0 || launch.barrier_seen)
      run_block_on_fibers(launch);
    else
      run_block_fast(launch, thread_order);
  }
  if (launch.failed) record_async_error(cudaErrorLaunchFailure);
}

void* dynamic_shared_memory() { return t_launch ? t_dynamic_shared.get() : nullptr; }

}  // namespace hostcuda

void __syncthreads() {
  using namespace hostcuda::detail;
  Launch* launch = t_launch;
  if (launch == nullptr) return;
  if (!launch->on_fibers) {
    launch->failed = true;  // a barrier on the fast path cannot wait: the block is wrong
    return;
  }
  launch->barrier_seen = true;
  if (launch->broken) return;
  launch->state[launch->current] = State::kAtBlockBarrier;
  ++launch->at_block_barrier;
  t_fibers->yield();
}

void __syncwarp(unsigned int mask) {
  using namespace hostcuda::detail;
  Launch* launch = t_launch;
  if (launch == nullptr) return;
  if (!launch->on_fibers) {
    launch->failed = true;
    return;
  }
  launch->barrier_seen = true;
  if (launch->broken) return;
  const unsigned t = launch->current;
  launch->state[t] = State::kAtWarpBarrier;
  launch->warp_mask[t] = mask | 1u << (t % kWarp);
  launch->warp_waiting[t / kWarp] |= 1u << (t % kWarp);
  t_fibers->yield();
}

namespace hostcuda::detail {

void warp_shuffle(unsigned mask, void* value, std::size_t bytes, unsigned source) {
  Launch* launch = t_launch;
  if (launch == nullptr) return;
  if (!launch->on_fibers || mask != 0xffffffffu) {
    launch->failed = true;  // the fast path cannot wait; partial masks are not supported
    return;
  }
  const unsigned t = launch->current;
  const unsigned warp = t / kWarp;
  if (launch->shuffle_slots.empty())
    launch->shuffle_slots.assign(std::size_t{2} * kWarp * ((launch->threads + kWarp - 1) / kWarp), 0);
  const unsigned char turn = launch->shuffle_turn[t];
  launch->shuffle_turn[t] = turn ^ 1u;
  std::uint64_t* slots = &launch->shuffle_slots[(std::size_t{2} * warp + turn) * kWarp];
  std::memcpy(&slots[t % kWarp], value, bytes);
  __syncwarp(mask);
  if (launch->broken) return;
  std::memcpy(value, &slots[source % kWarp], bytes);
}

}  // namespace hostcuda::detail
