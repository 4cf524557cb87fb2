#include "rhomira_kraus.h"

#include <stdexcept>

#include "cuda_error.h"
#include "launch.cuh"
#include "density_geometry.h"
#include "density_tile.cuh"
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

// Operators whose products K_j B a block holds at once: each batch costs two
// barriers.
constexpr int kKrausBatch = 4;

// A block holds the d x (256 / d) tile of 256 / d^2 blocks of one row group
// (BlockTile), one element per thread, and kKrausBatch tiles for the products
// K_j B of a batch of operators. For each batch, every thread forms its
// elements of K_j B, then, after a barrier, adds their elements of
// (K_j B) K_j^dagger to its accumulators, operator after operator.
template <typename T, int K>
__global__ void kraus_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets, int64_t count,
                             const CuComplex<T>* kraus) {
  using Tile = BlockTile<K>;
  constexpr uint32_t d = Tile::kRows;
  CuComplex<T>* block = dynamic_shared<CuComplex<T>>();
  CuComplex<T>* left = block + Tile::kElements;
  const uint64_t dm = static_cast<uint64_t>(dim);
  const Tile tile(targets, dm);
  RowGroupWalk rb(tile.rest);
  for (uint64_t g = blockIdx.x; g < (dm >> K); g += gridDim.x, rb.advance()) {
    CuComplex<T>* corner = rho + rb.base * dm + tile.window_start;
#pragma unroll
    for (int e = 0; e < Tile::kPerThread; ++e)
      if (tile.valid >> e & 1) block[Tile::element(e)] = corner[tile.offset[e]];
    __syncthreads();
    CuComplex<T> acc[Tile::kPerThread];
#pragma unroll
    for (int e = 0; e < Tile::kPerThread; ++e) acc[e] = czero<T>();
    for (int64_t first = 0; first < count; first += kKrausBatch) {
      const int batch = count - first < kKrausBatch ? static_cast<int>(count - first) : kKrausBatch;
      for (int j = 0; j < batch; ++j) {
        const CuComplex<T>* k = kraus + (first + j) * d * d;
#pragma unroll
        for (int e = 0; e < Tile::kPerThread; ++e) {
          CuComplex<T> s = czero<T>();
#pragma unroll
          for (uint32_t x = 0; x < d; ++x)
            s = cadd(s, cmul(k[Tile::row(e) * d + x], block[x * Tile::kWidth + Tile::column(e)]));
          left[j * Tile::kElements + Tile::element(e)] = s;
        }
      }
      __syncthreads();
      for (int j = 0; j < batch; ++j) {
        const CuComplex<T>* k = kraus + (first + j) * d * d;
#pragma unroll
        for (int e = 0; e < Tile::kPerThread; ++e) {
          const CuComplex<T>* line = left + j * Tile::kElements + Tile::row(e) * Tile::kWidth;
          CuComplex<T> s = czero<T>();
#pragma unroll
          for (uint32_t x = 0; x < d; ++x)
            s = cadd(s, cmul_conj(line[tile.column_of(e, x)], k[tile.local[e] * d + x]));
          acc[e] = cadd(acc[e], s);
        }
      }
      __syncthreads();
    }
#pragma unroll
    for (int e = 0; e < Tile::kPerThread; ++e)
      if (tile.valid >> e & 1) corner[tile.offset[e]] = acc[e];
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
  const dim3 block(kDensityThreads);
  const std::size_t shared = (1 + kKrausBatch) * BlockTile<1>::kElements * sizeof(CuComplex<T>);
  // Row groups by windows of 256 / 4^m column groups.
  const auto grid = [side](uint64_t groups_per_window) {
    return tile_grid(side, (side + groups_per_window - 1) / groups_per_window);
  };
  if (m == 1)
    launch_kernel(kraus_kernel<T, 1>, grid(BlockTile<1>::kGroups), block, shared, stream, rho, dim,
                  targets, count, kraus);
  else if (m == 2)
    launch_kernel(kraus_kernel<T, 2>, grid(BlockTile<2>::kGroups), block, shared, stream, rho, dim,
                  targets, count, kraus);
  else
    launch_kernel(kraus_kernel<T, 3>, grid(BlockTile<3>::kGroups), block, shared, stream, rho, dim,
                  targets, count, kraus);
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
