// Host-side entry points of the test kernels in kernels.cu. Pointers are
// device pointers; each function launches once and returns without checking.
#pragma once

#include <cuda_runtime.h>

namespace kernels {

constexpr unsigned kReduceBlock = 256;
// out[b] = sum of in[b * 256 .. b * 256 + 255], a static shared tile.
void block_sum_static(const double* in, double* out, unsigned blocks);
// The same with a dynamic shared tile of `threads` doubles.
void block_sum_dynamic(const double* in, double* out, unsigned blocks, unsigned threads);
// Sums each warp through shared memory with __syncwarp between steps.
void warp_sum(const double* in, double* out, unsigned blocks, unsigned threads);
// out[i] = in[i ^ 1] exchanged in shared memory, within lanes 0..15 of each warp
// only, with __syncwarp(0x0000ffff); the other lanes write -1.
void half_warp_swap(const double* in, double* out, unsigned threads);
// out[t] = in[t + 1] (0 for the last), shifted in place in shared memory;
// without the barrier between the read and the write the result depends on
// thread order.
void shift_left(const double* in, double* out, unsigned threads, bool with_barrier);
// out[global linear id] encodes all built-ins; with_barrier adds a
// __syncthreads so every block runs on fibers.
void write_ids(unsigned* out, dim3 grid, dim3 block, bool with_barrier);
// Only blocks other than block 0 reach a barrier.
void barrier_after_first_block(double* out, unsigned blocks);
// Threads of the upper half exit early; the rest meet at barriers.
void early_exit_sum(const double* in, double* out, unsigned threads);
// Lane 0 waits at __syncthreads, the rest of its warp at __syncwarp.
void deadlock(double* out);
// order[k] = the k-th block to start (through an atomic counter).
void record_block_order(unsigned* counter, unsigned* order, unsigned blocks);
// Every thread adds 1 to each counter (and 0.5 to the floating ones).
void atomic_adds(int* i, unsigned long long* u, float* f, double* d, unsigned blocks,
                 unsigned threads);
// out[2i], out[2i+1] = sin, cos of x[i] via sincos; outf the same via sincosf/sinf/cosf.
void trig(const double* x, double* out, float* outf, unsigned n);
// y[i] = a * x[i] for n threads in blocks of 256.
void scale(const double* x, double* y, double a, unsigned n);
// A launch with the given configuration of a kernel that sets *flag = 1.
void set_flag(int* flag, dim3 grid, dim3 block, std::size_t shmem, cudaStream_t stream = 0);

// Per thread i (lane l): out[3i] = its warp's sum by __shfl_xor_sync steps,
// out[3i + 1] = the same by __shfl_down_sync steps (lane 0 has the sum),
// out[3i + 2] = the inclusive prefix sum within its 8 lanes (__shfl_up_sync,
// width 8); wide[i] = lane 31 - l's value (i << 33) by __shfl_sync; narrow[i]
// = __shfl_xor_sync of float(i) with lane mask 9 and width 8.
void shuffles(const double* in, double* out, long long* wide, float* narrow, unsigned blocks,
              unsigned threads);
// A shuffle with the mask of lanes 0..15 in a warp of 32.
void half_mask_shuffle(double* out);

}  // namespace kernels
