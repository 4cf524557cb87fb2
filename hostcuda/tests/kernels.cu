// Test kernels. Plain CUDA: nvcc compiles this file as is; the host build
// compiles it as C++ against hostcuda.
#include <cuda_runtime.h>

#include "kernels.h"
#include "launch.cuh"

namespace {

__global__ void __launch_bounds__(256) block_sum_static_kernel(const double* in, double* out) {
  __shared__ double tile[kernels::kReduceBlock];
  const unsigned t = threadIdx.x;
  tile[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned half = blockDim.x / 2; half > 0; half /= 2) {
    if (t < half) tile[t] += tile[t + half];
    __syncthreads();
  }
  if (t == 0) out[blockIdx.x] = tile[0];
}

__global__ void block_sum_dynamic_kernel(const double* in, double* out) {
  double* tile = qalvane::dynamic_shared<double>();
  const unsigned t = threadIdx.x;
  tile[t] = in[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned half = blockDim.x / 2; half > 0; half /= 2) {
    if (t < half) tile[t] += tile[t + half];
    __syncthreads();
  }
  if (t == 0) out[blockIdx.x] = tile[0];
}

__global__ void warp_sum_kernel(const double* in, double* out) {
  __shared__ double partial[1024];
  const unsigned t = threadIdx.x;
  const unsigned lane = t % warpSize;
  const unsigned i = blockIdx.x * blockDim.x + t;
  double v = in[i];
  partial[t] = v;
  __syncwarp();
  for (unsigned offset = warpSize / 2; offset > 0; offset /= 2) {
    if (lane < offset) v += partial[t + offset];
    __syncwarp();
    partial[t] = v;
    __syncwarp();
  }
  if (lane == 0) out[i / warpSize] = v;
}

__global__ void half_warp_swap_kernel(const double* in, double* out) {
  __shared__ double tile[1024];
  const unsigned t = threadIdx.x;
  if (t % warpSize >= 16) {
    out[t] = -1;
    return;
  }
  tile[t] = in[t];
  __syncwarp(0x0000ffffu);
  out[t] = tile[t ^ 1u];
}

__global__ void shift_left_kernel(const double* in, double* out, bool with_barrier) {
  __shared__ double tile[1024];
  const unsigned t = threadIdx.x;
  tile[t] = in[t];
  __syncthreads();
  const double next = t + 1 < blockDim.x ? tile[t + 1] : 0.0;
  if (with_barrier) __syncthreads();
  tile[t] = next;
  __syncthreads();
  out[t] = tile[t];
}

__global__ void write_ids_kernel(unsigned* out, bool with_barrier) {
  const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
  if (with_barrier) __syncthreads();
  out[block * threads + thread] = threadIdx.x | threadIdx.y << 4 | threadIdx.z << 8 |
                                  blockIdx.x << 12 | blockIdx.y << 16 | blockIdx.z << 20 |
                                  (gridDim.x * gridDim.y * gridDim.z) << 24;
}

__global__ void barrier_after_first_block_kernel(double* out) {
  if (blockIdx.x > 0) __syncthreads();
  out[blockIdx.x * blockDim.x + threadIdx.x] = 1.0;
}

__global__ void early_exit_sum_kernel(const double* in, double* out) {
  __shared__ double tile[1024];
  const unsigned t = threadIdx.x;
  const unsigned active = blockDim.x / 2;
  if (t >= active) return;
  tile[t] = in[t];
  __syncthreads();
  if (t == 0) {
    double sum = 0;
    for (unsigned i = 0; i < active; ++i) sum += tile[i];
    out[0] = sum;
  }
}

__global__ void deadlock_kernel(double* out) {
  if (threadIdx.x == 0)
    __syncthreads();
  else
    __syncwarp();
  out[threadIdx.x] = 1.0;
}

__global__ void record_block_order_kernel(unsigned* counter, unsigned* order) {
  if (threadIdx.x == 0) order[atomicAdd(counter, 1u)] = blockIdx.x;
}

__global__ void atomic_adds_kernel(int* i, unsigned long long* u, float* f, double* d) {
  atomicAdd(i, 1);
  atomicAdd(u, 1ull);
  atomicAdd(f, 0.5f);
  atomicAdd(d, 0.5);
}

__global__ void trig_kernel(const double* x, double* out, float* outf, unsigned n) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  double s, c;
  sincos(x[i], &s, &c);
  out[2 * i] = s;
  out[2 * i + 1] = c;
  float sf, cf;
  sincosf(static_cast<float>(x[i]), &sf, &cf);
  outf[4 * i] = sf;
  outf[4 * i + 1] = cf;
  outf[4 * i + 2] = sinf(static_cast<float>(x[i]));
  outf[4 * i + 3] = cosf(static_cast<float>(x[i]));
}

__global__ void scale_kernel(const double* __restrict__ x, double* __restrict__ y, double a,
                             unsigned n) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) y[i] = a * x[i];
}

__global__ void set_flag_kernel(int* flag) { *flag = 1; }

__global__ void shuffles_kernel(const double* in, double* out, long long* wide, float* narrow) {
  const unsigned full = 0xffffffffu;
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  const unsigned lane = threadIdx.x % warpSize;
  double sum = in[i], tail = in[i], scan = in[i];
  for (int offset = 16; offset > 0; offset /= 2) {
    sum += __shfl_xor_sync(full, sum, offset);
    tail += __shfl_down_sync(full, tail, offset);
  }
  for (unsigned offset = 1; offset < 8; offset *= 2) {
    const double below = __shfl_up_sync(full, scan, offset, 8);
    if (lane % 8 >= offset) scan += below;
  }
  out[3 * i] = sum;
  out[3 * i + 1] = tail;
  out[3 * i + 2] = scan;
  wide[i] = __shfl_sync(full, static_cast<long long>(i) << 33, 31 - static_cast<int>(lane));
  narrow[i] = __shfl_xor_sync(full, static_cast<float>(i), 9, 8);
}

__global__ void half_mask_shuffle_kernel(double* out) {
  out[threadIdx.x] = __shfl_xor_sync(0x0000ffffu, 1.0, 1);
}

}  // namespace

namespace kernels {

void block_sum_static(const double* in, double* out, unsigned blocks) {
  qalvane::launch_kernel(block_sum_static_kernel, dim3(blocks), dim3(kReduceBlock), 0, nullptr,
                         in, out);
}

void block_sum_dynamic(const double* in, double* out, unsigned blocks, unsigned threads) {
  qalvane::launch_kernel(block_sum_dynamic_kernel, dim3(blocks), dim3(threads),
                         threads * sizeof(double), nullptr, in, out);
}

void warp_sum(const double* in, double* out, unsigned blocks, unsigned threads) {
  qalvane::launch_kernel(warp_sum_kernel, dim3(blocks), dim3(threads), 0, nullptr, in, out);
}

void half_warp_swap(const double* in, double* out, unsigned threads) {
  qalvane::launch_kernel(half_warp_swap_kernel, dim3(1), dim3(threads), 0, nullptr, in, out);
}

void shift_left(const double* in, double* out, unsigned threads, bool with_barrier) {
  qalvane::launch_kernel(shift_left_kernel, dim3(1), dim3(threads), 0, nullptr, in, out,
                         with_barrier);
}

void write_ids(unsigned* out, dim3 grid, dim3 block, bool with_barrier) {
  qalvane::launch_kernel(write_ids_kernel, grid, block, 0, nullptr, out, with_barrier);
}

void barrier_after_first_block(double* out, unsigned blocks) {
  qalvane::launch_kernel(barrier_after_first_block_kernel, dim3(blocks), dim3(64), 0, nullptr,
                         out);
}

void early_exit_sum(const double* in, double* out, unsigned threads) {
  qalvane::launch_kernel(early_exit_sum_kernel, dim3(1), dim3(threads), 0, nullptr, in, out);
}

void deadlock(double* out) {
  qalvane::launch_kernel(deadlock_kernel, dim3(1), dim3(64), 0, nullptr, out);
}

void record_block_order(unsigned* counter, unsigned* order, unsigned blocks) {
  qalvane::launch_kernel(record_block_order_kernel, dim3(blocks), dim3(32), 0, nullptr, counter,
                         order);
}

void atomic_adds(int* i, unsigned long long* u, float* f, double* d, unsigned blocks,
                 unsigned threads) {
  qalvane::launch_kernel(atomic_adds_kernel, dim3(blocks), dim3(threads), 0, nullptr, i, u, f, d);
}

void trig(const double* x, double* out, float* outf, unsigned n) {
  qalvane::launch_kernel(trig_kernel, dim3((n + 127) / 128), dim3(128), 0, nullptr, x, out, outf,
                         n);
}

void scale(const double* x, double* y, double a, unsigned n) {
  qalvane::launch_kernel(scale_kernel, dim3((n + 255) / 256), dim3(256), 0, nullptr, x, y, a, n);
}

void set_flag(int* flag, dim3 grid, dim3 block, std::size_t shmem, cudaStream_t stream) {
  qalvane::launch_kernel(set_flag_kernel, grid, block, shmem, stream, flag);
}

}  // namespace kernels

namespace kernels {

void shuffles(const double* in, double* out, long long* wide, float* narrow, unsigned blocks,
              unsigned threads) {
  qalvane::launch_kernel(shuffles_kernel, dim3(blocks), dim3(threads), 0, nullptr, in, out, wide,
                         narrow);
}

void half_mask_shuffle(double* out) {
  qalvane::launch_kernel(half_mask_shuffle_kernel, dim3(1), dim3(32), 0, nullptr, out);
}

}  // namespace kernels
