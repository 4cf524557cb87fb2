// Cooperative fibers on one OS thread, for the threads of a block that meet
// at barriers.
#pragma once

#include <cstddef>

namespace hostcuda::detail {

class FiberPool {
 public:
  static constexpr int kMaxFibers = 1024;
  using Body = void (*)(int slot);

  // Each fiber runs body(slot) again every time it is resumed after the last
  // run finished; stacks are reserved once and reused.
  explicit FiberPool(Body body);
  ~FiberPool();
  FiberPool(const FiberPool&) = delete;
  FiberPool& operator=(const FiberPool&) = delete;

  // Runs fiber `slot` until it yields or its body returns; true if it returned.
  bool resume(int slot);
  // On a fiber: suspends it and returns from the resume() that ran it.
  void yield();

 private:
  struct Fiber {
    void* sp = nullptr;  // saved stack pointer while suspended
    bool started = false;
    bool finished = false;
    void* fake_stack = nullptr;  // AddressSanitizer's, while suspended
  };

  [[noreturn]] static void entry(FiberPool* pool, int slot);
  char* stack_base(int slot) const;
  void switch_to_fiber(int slot);
  void switch_to_host(int slot, bool exiting);

  Body body_;
  char* region_ = nullptr;  // all stacks, each below a guard page
  std::size_t region_size_ = 0;
  Fiber fibers_[kMaxFibers];
  int current_ = -1;
  bool quitting_ = false;
  void* host_sp_ = nullptr;
  void* host_fake_stack_ = nullptr;
  const void* host_stack_bottom_ = nullptr;
  std::size_t host_stack_size_ = 0;
};

}  // namespace hostcuda::detail
