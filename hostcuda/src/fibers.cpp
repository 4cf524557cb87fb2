// Fibers with a hand-written x86-64 context switch (ucontext's swapcontext
// makes a system call per switch, too slow for barrier-heavy kernels).
#include "fibers.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

// AddressSanitizer's fiber hooks, called whenever its runtime is loaded:
// kernels may be instrumented even where this file is not.
extern "C" {
void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, std::size_t size)
    __attribute__((weak));
void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                     std::size_t* size_old) __attribute__((weak));
void __asan_unpoison_memory_region(const volatile void* addr, std::size_t size)
    __attribute__((weak));
}

#if !defined(__x86_64__)
#error "hostcuda fibers support x86-64 only"
#endif

extern "C" {
// Saves the callee-saved registers and the SSE/x87 control words on the
// current stack, stores the stack pointer to *save and continues on load.
void hostcuda_switch_context(void** save, void* load);
// First code of a fresh fiber: calls r13(r12, r14) and never returns.
void hostcuda_fiber_start();
}

asm(R"(
    .text
    .globl hostcuda_switch_context
    .hidden hostcuda_switch_context
    .type hostcuda_switch_context, @function
hostcuda_switch_context:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size hostcuda_switch_context, .-hostcuda_switch_context

    .globl hostcuda_fiber_start
    .hidden hostcuda_fiber_start
    .type hostcuda_fiber_start, @function
hostcuda_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    movq %r14, %rsi
    callq *%r13
    ud2
    .cfi_endproc
    .size hostcuda_fiber_start, .-hostcuda_fiber_start
)");

namespace hostcuda::detail {
namespace {

// Generous for instrumented frames too; only touched pages cost memory.
constexpr std::size_t kStackSize = 256 * 1024;

bool asan() { return &__sanitizer_start_switch_fiber != nullptr; }

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE)); }
std::size_t slot_size() { return page_size() + kStackSize; }

}  // namespace

FiberPool::FiberPool(Body body) : body_(body) {
  // Address space only: pages are committed as fibers touch them.
  region_size_ = kMaxFibers * slot_size();
  void* region = mmap(nullptr, region_size_, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (region == MAP_FAILED) throw std::bad_alloc();
  region_ = static_cast<char*>(region);
}

FiberPool::~FiberPool() {
  // Let every idle fiber leave its loop, so that no frame stays behind.
  quitting_ = true;
  for (int slot = 0; slot < kMaxFibers; ++slot)
    if (fibers_[slot].started && fibers_[slot].finished) resume(slot);
  if (&__asan_unpoison_memory_region != nullptr)
    __asan_unpoison_memory_region(region_, region_size_);
  munmap(region_, region_size_);
}

char* FiberPool::stack_base(int slot) const { return region_ + slot * slot_size() + page_size(); }

bool FiberPool::resume(int slot) {
  Fiber& fiber = fibers_[slot];
  if (!fiber.started) {
    // The page below each stack catches overflows; set up on first use only,
    // as every guard splits the mapping.
    mprotect(stack_base(slot) - page_size(), page_size(), PROT_NONE);
    std::uint32_t mxcsr = 0;
    std::uint16_t fpu_control = 0;
    asm volatile("stmxcsr %0" : "=m"(mxcsr));
    asm volatile("fnstcw %0" : "=m"(fpu_control));
    // The frame hostcuda_switch_context pops: control words, r15, r14, r13,
    // r12, rbx, rbp, then the return address.
    // Tops staggered by a few cache lines: equal offsets modulo the stack
    // size would make every fiber's hot frame compete for the same cache sets.
    const std::size_t stagger = static_cast<std::size_t>(slot % 64) * 64;
    auto* top = reinterpret_cast<std::uint64_t*>(stack_base(slot) + kStackSize - stagger);
    top[-1] = reinterpret_cast<std::uint64_t>(&hostcuda_fiber_start);
    top[-2] = 0;
    top[-3] = 0;
    top[-4] = reinterpret_cast<std::uint64_t>(this);
    top[-5] = reinterpret_cast<std::uint64_t>(&FiberPool::entry);
    top[-6] = static_cast<std::uint64_t>(slot);
    top[-7] = 0;
    top[-8] = mxcsr | static_cast<std::uint64_t>(fpu_control) << 32;
    fiber.sp = &top[-8];
    fiber.started = true;
  }
  fiber.finished = false;
  current_ = slot;
  switch_to_fiber(slot);
  current_ = -1;
  return fiber.finished;
}

void FiberPool::yield() { switch_to_host(current_, false); }

void FiberPool::entry(FiberPool* pool, int slot) {
  if (asan()) __sanitizer_finish_switch_fiber(nullptr, &pool->host_stack_bottom_, &pool->host_stack_size_);
  while (!pool->quitting_) {
    pool->body_(slot);
    pool->fibers_[slot].finished = true;
    pool->switch_to_host(slot, false);
  }
  pool->switch_to_host(slot, true);
  __builtin_unreachable();
}

void FiberPool::switch_to_fiber(int slot) {
  if (asan()) __sanitizer_start_switch_fiber(&host_fake_stack_, stack_base(slot), kStackSize);
  hostcuda_switch_context(&host_sp_, fibers_[slot].sp);
  if (asan()) __sanitizer_finish_switch_fiber(host_fake_stack_, nullptr, nullptr);
}

void FiberPool::switch_to_host(int slot, bool exiting) {
  Fiber& fiber = fibers_[slot];
  // A null save slot tells AddressSanitizer this fiber is gone for good.
  if (asan())
    __sanitizer_start_switch_fiber(exiting ? nullptr : &fiber.fake_stack, host_stack_bottom_,
                                   host_stack_size_);
  hostcuda_switch_context(&fiber.sp, host_sp_);
  if (asan())
    __sanitizer_finish_switch_fiber(fiber.fake_stack, &host_stack_bottom_, &host_stack_size_);
}

}  // namespace hostcuda::detail
