// How a long host loop that runs without the interpreter lock lets its caller
// stop it (Ctrl-C). The binding hands the worker an InterruptCheck that
// throws when the loop must end; the loop reports its progress to
// poll_interrupt, which reads the clock once per kInterruptStride units of
// work and calls the check at most every kInterruptInterval, so the lock is
// taken a few times a second however cheap or dear a unit is. Workers stay
// free of Python: an empty check (native callers, the C++ tests) is never
// called.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace qalvane {

using InterruptCheck = std::function<void()>;

constexpr uint64_t kInterruptStride = 4096;
constexpr std::chrono::milliseconds kInterruptInterval{100};

struct InterruptPoll {
  const InterruptCheck* check = nullptr;  // null: nobody to ask
  uint64_t work = 0;                      // units since the clock was read
  std::chrono::steady_clock::time_point last;
};

inline InterruptPoll start_interrupt_poll(const InterruptCheck& check) {
  return InterruptPoll{check ? &check : nullptr, 0, std::chrono::steady_clock::now()};
}

inline void poll_interrupt(InterruptPoll& poll, uint64_t units) {
  if (poll.check == nullptr) return;
  poll.work += units;
  if (poll.work < kInterruptStride) return;
  poll.work = 0;
  if (std::chrono::steady_clock::now() - poll.last < kInterruptInterval) return;
  (*poll.check)();
  poll.last = std::chrono::steady_clock::now();
}

}  // namespace qalvane
