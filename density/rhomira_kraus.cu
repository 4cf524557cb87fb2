#include "rhomira_kraus.h"

#include <stdexcept>

#include "cuda_error.h"
#include "launch.cuh"
#include "density_geometry.h"
#include "rhomira_channel_block.cuh"
#include "rhomira_complex.h"

namespace qalvane::rhomira {

using density::ChannelKind;

// Thread (r, c) owns the block whose base is (r, c) when neither carries the
// target bit; three quarters of the grid exit at once.
template <typename T, ChannelKind Kind>
__global__ void channel_kernel(CuComplex<T>* rho, int64_t dim, uint64_t target_mask, T p) {
  const uint64_t r = static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y;
  const uint64_t c = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  const uint64_t d = static_cast<uint64_t>(dim);
  if (r >= d || c >= d || ((r | c) & target_mask) != 0) return;
  CuComplex<T>* row0 = rho + r * d;
  CuComplex<T>* row1 = rho + (r | target_mask) * d;
  CuComplex<T> a00{T(0), T(0)};
  if constexpr (kChannelReadsA00<Kind>) a00 = row0[c];
  CuComplex<T> a01 = row0[c | target_mask];
  CuComplex<T> a10 = row1[c];
  CuComplex<T> a11 = row1[c | target_mask];
  apply_channel_block<T, Kind>(a00, a01, a10, a11, p);
  if constexpr (kChannelReadsA00<Kind>) row0[c] = a00;
  row0[c | target_mask] = a01;
  row1[c] = a10;
  row1[c | target_mask] = a11;
}

// One thread per (row base, column base) pair; the d x d block and the
// accumulator stay in registers.
template <typename T, int K>
__global__ void kraus_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets, int64_t count,
                             const CuComplex<T>* kraus) {
  constexpr int d = 1 << K;
  const uint64_t side = static_cast<uint64_t>(dim) >> K;
  const uint64_t work = side * side;
  const uint64_t step = static_cast<uint64_t>(blockDim.x) * gridDim.x;
  uint64_t pattern[d];
  for (int i = 0; i < d; ++i) pattern[i] = target_pattern(targets, static_cast<uint64_t>(i));
  for (uint64_t t = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; t < work;
       t += step) {
    const uint64_t rb = expand_rest(targets, t / side);
    const uint64_t cb = expand_rest(targets, t % side);
    CuComplex<T> block[d][d];
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j)
        block[i][j] = rho[(rb | pattern[i]) * static_cast<uint64_t>(dim) + (cb | pattern[j])];
    CuComplex<T> acc[d][d];
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j) acc[i][j] = czero<T>();
    for (int64_t op = 0; op < count; ++op) {
      const CuComplex<T>* k = kraus + op * d * d;
      CuComplex<T> left[d][d];
      for (int i = 0; i < d; ++i)
        for (int l = 0; l < d; ++l) {
          CuComplex<T> s = czero<T>();
          for (int x = 0; x < d; ++x) s = cadd(s, cmul(k[i * d + x], block[x][l]));
          left[i][l] = s;
        }
      for (int i = 0; i < d; ++i)
        for (int l = 0; l < d; ++l) {
          CuComplex<T> s = czero<T>();
          for (int x = 0; x < d; ++x) s = cadd(s, cmul_conj(left[i][x], k[l * d + x]));
          acc[i][l] = cadd(acc[i][l], s);
        }
    }
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j)
        rho[(rb | pattern[i]) * static_cast<uint64_t>(dim) + (cb | pattern[j])] = acc[i][j];
  }
}

template <typename T>
void launch_channel(CuComplex<T>* rho, int64_t dim, uint64_t target_mask, ChannelKind kind, T p,
                    cudaStream_t stream) {
  const dim3 grid = element_grid(dim);
  const dim3 block = element_block();
  switch (kind) {
    case ChannelKind::BitFlip:
      launch_kernel(channel_kernel<T, ChannelKind::BitFlip>, grid, block, 0, stream, rho, dim,
                    target_mask, p);
      break;
    case ChannelKind::PhaseFlip:
      launch_kernel(channel_kernel<T, ChannelKind::PhaseFlip>, grid, block, 0, stream, rho, dim,
                    target_mask, p);
      break;
    case ChannelKind::Depolarizing:
      launch_kernel(channel_kernel<T, ChannelKind::Depolarizing>, grid, block, 0, stream, rho,
                    dim, target_mask, p);
      break;
    case ChannelKind::AmplitudeDamping:
      launch_kernel(channel_kernel<T, ChannelKind::AmplitudeDamping>, grid, block, 0, stream, rho,
                    dim, target_mask, p);
      break;
    case ChannelKind::PhaseDamping:
      launch_kernel(channel_kernel<T, ChannelKind::PhaseDamping>, grid, block, 0, stream, rho,
                    dim, target_mask, p);
      break;
    default:
      throw std::runtime_error("unknown noise channel kind");
  }
  check_launch("channel kernel launch failed: ");
}

template <typename T>
void launch_kraus(CuComplex<T>* rho, int64_t dim, int64_t count, const CuComplex<T>* kraus,
                  const DeviceTargets& targets, cudaStream_t stream) {
  const int64_t m = targets.num_targets;
  if (m < 1 || m > 3) throw std::runtime_error("GPU density Kraus supports at most 3 targets");
  const uint64_t side = static_cast<uint64_t>(dim) >> m;
  const dim3 grid = linear_grid(side * side);
  const dim3 block(kDensityThreads);
  if (m == 1)
    launch_kernel(kraus_kernel<T, 1>, grid, block, 0, stream, rho, dim, targets, count, kraus);
  else if (m == 2)
    launch_kernel(kraus_kernel<T, 2>, grid, block, 0, stream, rho, dim, targets, count, kraus);
  else
    launch_kernel(kraus_kernel<T, 3>, grid, block, 0, stream, rho, dim, targets, count, kraus);
  check_launch("kraus_kernel launch failed: ");
}

template void launch_channel<float>(CuComplex<float>*, int64_t, uint64_t, ChannelKind, float,
                                    cudaStream_t);
template void launch_channel<double>(CuComplex<double>*, int64_t, uint64_t, ChannelKind, double,
                                     cudaStream_t);
template void launch_kraus<float>(CuComplex<float>*, int64_t, int64_t, const CuComplex<float>*,
                                  const DeviceTargets&, cudaStream_t);
template void launch_kraus<double>(CuComplex<double>*, int64_t, int64_t, const CuComplex<double>*,
                                   const DeviceTargets&, cudaStream_t);

}  // namespace qalvane::rhomira
