// A fused group of single-target operations applied to each 2^a x 2^a
// sub-block of rho over the active qubits, held in shared memory.
#include <stdexcept>

#include "cuda_error.h"
#include "density_fusion.h"
#include "device_targets.h"
#include "launch.cuh"
#include "rhomira_channel_block.cuh"
#include "rhomira_complex.h"

namespace qalvane::rhomira {

namespace {

template <typename T>
__device__ __forceinline__ void apply_record(CuComplex<T>* block, int32_t a,
                                             const DeviceDensityGate<CuComplex<T>>& g) {
  const uint32_t side = uint32_t{1} << a;
  const uint32_t half = side >> 1;
  const uint32_t pairs = half * half;
  const uint32_t tb = uint32_t{1} << g.target;
  const uint32_t cmask = static_cast<uint32_t>(g.control_mask);
  const uint32_t cvalue = static_cast<uint32_t>(g.control_value);
  for (uint32_t p = threadIdx.x; p < pairs; p += blockDim.x) {
    const uint32_t r0 = insert_zero_bit(p / half, tb);
    const uint32_t c0 = insert_zero_bit(p % half, tb);
    const bool row_active = (r0 & cmask) == cvalue;
    const bool col_active = (c0 & cmask) == cvalue;
    CuComplex<T>& e00 = block[r0 * side + c0];
    CuComplex<T>& e01 = block[r0 * side + (c0 | tb)];
    CuComplex<T>& e10 = block[(r0 | tb) * side + c0];
    CuComplex<T>& e11 = block[(r0 | tb) * side + (c0 | tb)];
    CuComplex<T> b00 = e00, b01 = e01, b10 = e10, b11 = e11;
    switch (g.type) {
      case static_cast<int32_t>(DensityGateType::Matrix): {
        if (!row_active && !col_active) continue;
        const CuComplex<T>* u = g.matrix;
        if (row_active) {
          const CuComplex<T> l00 = cadd(cmul(u[0], b00), cmul(u[1], b10));
          const CuComplex<T> l01 = cadd(cmul(u[0], b01), cmul(u[1], b11));
          const CuComplex<T> l10 = cadd(cmul(u[2], b00), cmul(u[3], b10));
          const CuComplex<T> l11 = cadd(cmul(u[2], b01), cmul(u[3], b11));
          b00 = l00;
          b01 = l01;
          b10 = l10;
          b11 = l11;
        }
        if (col_active) {
          const CuComplex<T> r00 = cadd(cmul_conj(b00, u[0]), cmul_conj(b01, u[1]));
          const CuComplex<T> r01 = cadd(cmul_conj(b00, u[2]), cmul_conj(b01, u[3]));
          const CuComplex<T> r10 = cadd(cmul_conj(b10, u[0]), cmul_conj(b11, u[1]));
          const CuComplex<T> r11 = cadd(cmul_conj(b10, u[2]), cmul_conj(b11, u[3]));
          b00 = r00;
          b01 = r01;
          b10 = r10;
          b11 = r11;
        }
        break;
      }
      case static_cast<int32_t>(DensityGateType::Diagonal): {
        if (cmask == 0) {
          const CuComplex<T> f = cmul_conj(g.d1, g.d0);
          b10 = cmul(b10, f);
          b01 = cmul(b01, cconj(f));
        } else {
          const CuComplex<T> one{T(1), T(0)};
          const CuComplex<T> r_lo = row_active ? g.d0 : one, r_hi = row_active ? g.d1 : one;
          const CuComplex<T> c_lo = col_active ? g.d0 : one, c_hi = col_active ? g.d1 : one;
          b00 = cmul(b00, cmul_conj(r_lo, c_lo));
          b01 = cmul(b01, cmul_conj(r_lo, c_hi));
          b10 = cmul(b10, cmul_conj(r_hi, c_lo));
          b11 = cmul(b11, cmul_conj(r_hi, c_hi));
        }
        break;
      }
      case static_cast<int32_t>(DensityGateType::BitFlip): {
        if (row_active) {
          const CuComplex<T> s0 = b00, s1 = b01;
          b00 = b10;
          b01 = b11;
          b10 = s0;
          b11 = s1;
        }
        if (col_active) {
          const CuComplex<T> s0 = b00, s1 = b10;
          b00 = b01;
          b10 = b11;
          b01 = s0;
          b11 = s1;
        }
        break;
      }
      default:
        apply_channel_block<T>(g.channel_kind, b00, b01, b10, b11, g.channel_parameter);
        break;
    }
    e00 = b00;
    e01 = b01;
    e10 = b10;
    e11 = b11;
  }
}

}  // namespace

// Up to 4^5 / kFusedThreads elements per thread.
constexpr uint32_t kFusedThreads = 128;
constexpr int kFusedPerThread = (1 << (2 * 5)) / kFusedThreads;

template <typename T>
__global__ void density_sparsesharemem_kernel(CuComplex<T>* rho, int64_t dim, uint64_t blocks,
                                              uint64_t active_mask, uint64_t inactive_mask,
                                              int32_t a, int32_t rest_bits,
                                              const DeviceDensityGate<CuComplex<T>>* gates,
                                              int32_t gate_count) {
  // Offsets of the 2^a local rows and columns, spread onto the active
  // qubits once per block.
  __shared__ uint32_t spread[1 << 5];
  CuComplex<T>* block = dynamic_shared<CuComplex<T>>();
  const uint32_t side = uint32_t{1} << a;
  const uint32_t elements = side * side;
  const uint64_t d = static_cast<uint64_t>(dim);
  if (threadIdx.x < side)
    spread[threadIdx.x] = static_cast<uint32_t>(deposit_bits(threadIdx.x, active_mask));
  __syncthreads();
  // Element e = threadIdx.x + 128 k of the tile sits at spread[e >> a] * d +
  // spread[e mod 2^a] from the block's corner; 128 is a multiple of 2^a, so
  // the column part is the same for every k.
  const uint32_t column = spread[threadIdx.x & (side - 1)];
  const uint32_t row_stride = static_cast<uint32_t>(d);
  const uint32_t first_row = threadIdx.x >> a;
  const uint32_t rows_per_step = kFusedThreads >> a;
  // Block b: rows from b mod 2^rest_bits, columns from b >> rest_bits.
  SplitDeposit base(blockIdx.x, gridDim.x, rest_bits, inactive_mask);
  for (uint64_t b = blockIdx.x; b < blocks; b += gridDim.x) {
    CuComplex<T>* corner = rho + base.low * d + base.high;
#pragma unroll
    for (int k = 0; k < kFusedPerThread; ++k)
      if (threadIdx.x + kFusedThreads * k < elements)
        block[threadIdx.x + kFusedThreads * k] =
            corner[spread[first_row + rows_per_step * k] * row_stride + column];
    __syncthreads();
    for (int32_t g = 0; g < gate_count; ++g) {
      apply_record(block, a, gates[g]);
      __syncthreads();
    }
#pragma unroll
    for (int k = 0; k < kFusedPerThread; ++k)
      if (threadIdx.x + kFusedThreads * k < elements)
        corner[spread[first_row + rows_per_step * k] * row_stride + column] =
            block[threadIdx.x + kFusedThreads * k];
    __syncthreads();
    base.advance();
  }
}

template <typename T>
void launch_density_sparsesharemem(int64_t dim, CuComplex<T>* rho, uint64_t active_mask, int32_t a,
                                   const DeviceDensityGate<CuComplex<T>>* gates,
                                   int32_t gate_count, cudaStream_t stream) {
  if (a < 1 || a > 5) throw std::invalid_argument("density fusion active qubits must be in [1,5]");
  if (gate_count < 1) throw std::invalid_argument("fusion group cannot be empty");
  int32_t n = 0;
  while ((int64_t{1} << n) < dim) ++n;
  if (n < a) throw std::invalid_argument("active qubits exceed circuit size");
  const int32_t rest_bits = n - a;
  const uint64_t blocks = uint64_t{1} << (2 * rest_bits);
  const uint64_t inactive_mask = active_mask ^ static_cast<uint64_t>(dim - 1);
  const unsigned grid = static_cast<unsigned>(blocks < 65535 ? blocks : 65535);
  const std::size_t shared = (std::size_t{1} << (2 * a)) * sizeof(CuComplex<T>);
  launch_kernel(density_sparsesharemem_kernel<T>, dim3(grid), dim3(kFusedThreads), shared, stream,
                rho, dim, blocks, active_mask, inactive_mask, a, rest_bits, gates, gate_count);
  check_launch("density_sparsesharemem kernel launch failed: ");
}

template void launch_density_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                                   const DeviceDensityGate<CuComplex<float>>*,
                                                   int32_t, cudaStream_t);
template void launch_density_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                                    const DeviceDensityGate<CuComplex<double>>*,
                                                    int32_t, cudaStream_t);

}  // namespace qalvane::rhomira
