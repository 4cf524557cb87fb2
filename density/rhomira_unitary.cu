#include "rhomira_unitary.h"

#include <stdexcept>

#include "cuda_error.h"
#include "density_geometry.h"
#include "density_tile.cuh"
#include "launch.cuh"
#include "rhomira_complex.h"

namespace qalvane::rhomira {

namespace {

__device__ __forceinline__ uint64_t linear_thread() {
  return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

__device__ __forceinline__ uint64_t linear_stride() {
  return static_cast<uint64_t>(gridDim.x) * blockDim.x;
}

}  // namespace

// One target: each thread owns one 2x2 block (rows rb, rb|q; columns cb, cb|q)
// and applies U from the left and U^dagger from the right in one pass.
template <typename T, int K>
__global__ void unitary_merged_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets,
                                      uint64_t control_mask, uint64_t control_value,
                                      const CuComplex<T>* U) {
  static_assert(K == 1, "the merged kernel is the one-target kernel");
  const uint64_t r = static_cast<uint64_t>(dim) >> 1;
  const uint64_t work = r * r;
  const uint64_t q = uint64_t{1} << targets.targets[0];
  const CuComplex<T> u00 = U[0], u01 = U[1], u10 = U[2], u11 = U[3];
  for (uint64_t t = linear_thread(); t < work; t += linear_stride()) {
    const uint64_t rb = expand_rest(targets, t >> targets.num_rest);
    const uint64_t cb = expand_rest(targets, t & (r - 1));
    const bool row_active = index_active(rb, control_mask, control_value);
    const bool col_active = index_active(cb, control_mask, control_value);
    if (!row_active && !col_active) continue;
    const uint64_t d = static_cast<uint64_t>(dim);
    CuComplex<T>* p0 = rho + rb * d;
    CuComplex<T>* p1 = rho + (rb | q) * d;
    CuComplex<T> b00 = p0[cb], b01 = p0[cb | q], b10 = p1[cb], b11 = p1[cb | q];
    if (row_active) {
      const CuComplex<T> n00 = cadd(cmul(u00, b00), cmul(u01, b10));
      const CuComplex<T> n01 = cadd(cmul(u00, b01), cmul(u01, b11));
      const CuComplex<T> n10 = cadd(cmul(u10, b00), cmul(u11, b10));
      const CuComplex<T> n11 = cadd(cmul(u10, b01), cmul(u11, b11));
      b00 = n00, b01 = n01, b10 = n10, b11 = n11;
    }
    if (col_active) {
      // B(i, j) = sum_l B(i, l) conj(U(j, l))
      const CuComplex<T> n00 = cadd(cmul_conj(b00, u00), cmul_conj(b01, u01));
      const CuComplex<T> n01 = cadd(cmul_conj(b00, u10), cmul_conj(b01, u11));
      const CuComplex<T> n10 = cadd(cmul_conj(b10, u00), cmul_conj(b11, u01));
      const CuComplex<T> n11 = cadd(cmul_conj(b10, u10), cmul_conj(b11, u11));
      b00 = n00, b01 = n01, b10 = n10, b11 = n11;
    }
    p0[cb] = b00;
    p0[cb | q] = b01;
    p1[cb] = b10;
    p1[cb | q] = b11;
  }
}

// Two targets, one pass: a block holds the 4 x 64 tile of 16 column groups of
// one row group (BlockTile). Each thread first forms its elements of U B (or
// keeps B where the rows are not active), then, after a barrier, their
// elements of that times U^dagger (where their column group is active).
template <typename T>
__global__ void unitary_merged_row2_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets,
                                           uint64_t control_mask, uint64_t control_value,
                                           const CuComplex<T>* U) {
  using Tile = BlockTile<2>;
  CuComplex<T>* block = dynamic_shared<CuComplex<T>>();
  CuComplex<T>* left = block + Tile::kElements;
  const uint64_t d = static_cast<uint64_t>(dim);
  const Tile tile(targets, d);
  uint32_t col_active = 0;
#pragma unroll
  for (int k = 0; k < Tile::kPerThread; ++k)
    if ((tile.valid >> k & 1) &&
        index_active(tile.window_start | tile.column_bits[k], control_mask, control_value))
      col_active |= 1u << k;
  RowGroupWalk rb(tile.rest);
  for (uint64_t g = blockIdx.x; g < (d >> 2); g += gridDim.x, rb.advance()) {
    const bool row_active = index_active(rb.base, control_mask, control_value);
    const uint32_t live = row_active ? tile.valid : col_active;
    CuComplex<T>* corner = rho + rb.base * d + tile.window_start;
#pragma unroll
    for (int k = 0; k < Tile::kPerThread; ++k)
      if (live >> k & 1) block[Tile::element(k)] = corner[tile.offset[k]];
    __syncthreads();
    CuComplex<T> w[Tile::kPerThread];
#pragma unroll
    for (int k = 0; k < Tile::kPerThread; ++k) {
      w[k] = block[Tile::element(k)];
      if ((live >> k & 1) && row_active) {
        w[k] = czero<T>();
#pragma unroll
        for (uint32_t l = 0; l < Tile::kRows; ++l)
          w[k] = cadd(w[k], cmul(U[Tile::row(k) * Tile::kRows + l],
                                 block[l * Tile::kWidth + Tile::column(k)]));
      }
      left[Tile::element(k)] = w[k];
    }
    __syncthreads();
#pragma unroll
    for (int k = 0; k < Tile::kPerThread; ++k) {
      if (!(live >> k & 1)) continue;
      if (col_active >> k & 1) {
        const CuComplex<T>* line = left + Tile::row(k) * Tile::kWidth;
        w[k] = czero<T>();
#pragma unroll
        for (uint32_t l = 0; l < Tile::kRows; ++l)
          w[k] = cadd(w[k], cmul_conj(line[tile.column_of(k, l)],
                                      U[tile.local[k] * Tile::kRows + l]));
      }
      corner[tile.offset[k]] = w[k];
    }
  }
}

namespace {

// One pass of the three-to-six-target path on line tiles (see LineTile):
// the left pass applies U to each column's vector over a row group, the
// right pass U^dagger from the right to each row's vector over a column
// group. Each thread forms lines line(k) of its companion, each a sum over
// the whole tile line from zero in the order of l. The left pass stores its
// results straight to rho (its lines are rows, its companions consecutive
// columns); the right pass puts them back into the tile first so that the
// stores go out in memory order too.
template <typename T, int K, bool kLeft>
__device__ __forceinline__ void unitary_group_pass(CuComplex<T>* rho, int64_t dim,
                                                   const DeviceTargets& targets,
                                                   uint64_t control_mask, uint64_t control_value,
                                                   const CuComplex<T>* U) {
  using Tile = LineTile<K, kLeft>;
  constexpr int kSize = static_cast<int>(Tile::kLines);
  CuComplex<T>* shared = dynamic_shared<CuComplex<T>>();
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint32_t companion = threadIdx.x % Tile::kCompanions;
  const Tile tile(targets, d);
  const uint64_t rest = rest_bits(targets, d);
  const uint64_t groups = d >> K;
  // Left: corner rb * d + window, rb walking the row groups.
  // Right: corner row * d + window base, the row walking all rows.
  const uint64_t window = kLeft ? uint64_t{Tile::kCompanions} * blockIdx.y
                                : window_base(rest, blockIdx.y, Tile::kCompanions);
  const uint64_t lines = kLeft ? groups : d;
  bool companion_active = companion < (kLeft ? d : groups);
  uint32_t live = tile.valid;
  if (!kLeft) {
    companion_active = companion_active && index_active(window | deposit_bits(companion, rest),
                                                        control_mask, control_value);
#pragma unroll
    for (int k = 0; k < Tile::kPerThread; ++k)
      if (!index_active(window | tile.offset(k), control_mask, control_value)) live &= ~(1u << k);
  }
  RowGroupWalk rb(rest);
  for (uint64_t line = blockIdx.x; line < lines; line += gridDim.x) {
    const bool tile_active = !kLeft || index_active(rb.base, control_mask, control_value);
    CuComplex<T>* corner = rho + (kLeft ? rb.base : line) * d + window;
    if (tile_active) {
#pragma unroll
      for (int k = 0; k < Tile::kPerThread; ++k)
        if (live >> k & 1) shared[tile.slot(k)] = corner[tile.offset(k)];
    }
    __syncthreads();
    CuComplex<T> acc[Tile::kPerThread];
#pragma unroll
    for (int k = 0; k < Tile::kPerThread; ++k) acc[k] = czero<T>();
    const bool compute = tile_active && companion_active;
    if (compute) {
      // Rolled from five targets on, where unrolling 2^K terms of 2^(K-3)
      // lines would only lengthen the device compile of a memory-bound pass.
#pragma unroll(K <= 4 ? kSize : 2)
      for (int l = 0; l < kSize; ++l) {
        const CuComplex<T> v = shared[l * Tile::kPitch + companion];
#pragma unroll
        for (int k = 0; k < Tile::kPerThread; ++k) {
          const CuComplex<T> u = U[Tile::line(k) * kSize + l];
          acc[k] = cadd(acc[k], kLeft ? cmul(u, v) : cmul_conj(v, u));
        }
      }
    }
    if (kLeft) {
      if (compute) {
#pragma unroll
        for (int k = 0; k < Tile::kPerThread; ++k)
          if (live >> k & 1) corner[tile.offset(k)] = acc[k];
      }
    } else {
      __syncthreads();
      if (compute) {
#pragma unroll
        for (int k = 0; k < Tile::kPerThread; ++k) shared[Tile::compute_slot(k)] = acc[k];
      }
      __syncthreads();
#pragma unroll
      for (int k = 0; k < Tile::kPerThread; ++k)
        if (live >> k & 1) corner[tile.offset(k)] = shared[tile.slot(k)];
    }
    __syncthreads();
    if (kLeft) rb.advance();
  }
}

}  // namespace

// K targets, left pass: C applied from the left to every column.
template <typename T, int K>
__global__ void unitary_left_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets,
                                    uint64_t control_mask, uint64_t control_value,
                                    const CuComplex<T>* U) {
  unitary_group_pass<T, K, true>(rho, dim, targets, control_mask, control_value, U);
}

// K targets, right pass: C^dagger applied from the right to every row.
template <typename T, int K>
__global__ void unitary_right_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets,
                                     uint64_t control_mask, uint64_t control_value,
                                     const CuComplex<T>* U) {
  unitary_group_pass<T, K, false>(rho, dim, targets, control_mask, control_value, U);
}

namespace {

__device__ __forceinline__ bool element_thread(int64_t dim, uint64_t& r, uint64_t& c) {
  r = static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y;
  c = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
  const uint64_t d = static_cast<uint64_t>(dim);
  return r < d && c < d;
}

}  // namespace

// Uncontrolled diag(d0, d1): elements whose row and column agree on the target
// bit would be multiplied by |d|^2 = 1 and are left as they are.
template <typename T>
__global__ void diagonal_free_kernel(CuComplex<T>* rho, int64_t dim, uint64_t target_mask,
                                     CuComplex<T> f_hi, CuComplex<T> f_lo) {
  uint64_t r, c;
  if (!element_thread(dim, r, c)) return;
  const bool hr = (r & target_mask) != 0;
  const bool hc = (c & target_mask) != 0;
  if (hr == hc) return;
  CuComplex<T>& e = rho[r * static_cast<uint64_t>(dim) + c];
  e = cmul(e, hr ? f_hi : f_lo);
}

// Controlled diag(d0, d1): row factor fr and column factor fc are 1 outside
// the controls. Where both are the same factor, fr * conj(fc) = |d|^2 = 1, so
// those elements (the diagonal among them) are left bit-identical.
template <typename T>
__global__ void diagonal_controlled_kernel(CuComplex<T>* rho, int64_t dim, uint64_t target_mask,
                                           uint64_t control_mask, uint64_t control_value,
                                           CuComplex<T> d0, CuComplex<T> d1) {
  uint64_t r, c;
  if (!element_thread(dim, r, c)) return;
  const bool ra = index_active(r, control_mask, control_value);
  const bool ca = index_active(c, control_mask, control_value);
  // 0: identity, 1: d0, 2: d1
  const int kr = ra ? ((r & target_mask) != 0 ? 2 : 1) : 0;
  const int kc = ca ? ((c & target_mask) != 0 ? 2 : 1) : 0;
  if (kr == kc) return;
  const CuComplex<T> one{T(1), T(0)};
  const CuComplex<T> fr = kr == 0 ? one : (kr == 2 ? d1 : d0);
  const CuComplex<T> fc = kc == 0 ? one : (kc == 2 ? d1 : d0);
  CuComplex<T>& e = rho[r * static_cast<uint64_t>(dim) + c];
  e = cmul(e, cmul_conj(fr, fc));
}

// X (is_swap false) or SWAP: the thread of the lower index of each moved pair
// exchanges the two elements; no arithmetic touches the values.
template <typename T>
__global__ void permutation_kernel(CuComplex<T>* rho, int64_t dim, uint64_t flip_mask,
                                   uint64_t control_mask, uint64_t control_value, bool is_swap) {
  uint64_t r, c;
  if (!element_thread(dim, r, c)) return;
  bool rflip = index_active(r, control_mask, control_value);
  bool cflip = index_active(c, control_mask, control_value);
  if (is_swap) {
    const uint64_t rb = r & flip_mask, cbits = c & flip_mask;
    rflip = rflip && rb != 0 && rb != flip_mask;
    cflip = cflip && cbits != 0 && cbits != flip_mask;
  }
  const uint64_t r2 = rflip ? r ^ flip_mask : r;
  const uint64_t c2 = cflip ? c ^ flip_mask : c;
  if (!(r2 > r || (r2 == r && c2 > c))) return;
  const uint64_t d = static_cast<uint64_t>(dim);
  const CuComplex<T> a = rho[r * d + c];
  rho[r * d + c] = rho[r2 * d + c2];
  rho[r2 * d + c2] = a;
}

namespace {

constexpr const char* kFailed = "unitary kernel launch failed: ";

// Three to six targets: the left pass over row groups by blocks of columns,
// then the right pass over rows by windows of column groups.
template <typename T, int K>
void launch_two_pass(CuComplex<T>* rho, int64_t dim, uint64_t control_mask,
                     uint64_t control_value, const CuComplex<T>* U, cudaStream_t stream,
                     const DeviceTargets& targets) {
  using Left = LineTile<K, true>;
  using Right = LineTile<K, false>;
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint64_t r = d >> K;
  launch_kernel(unitary_left_kernel<T, K>,
                tile_grid(r, (d + Left::kCompanions - 1) / Left::kCompanions),
                dim3(kDensityThreads), Left::kSharedElements * sizeof(CuComplex<T>), stream, rho,
                dim, targets, control_mask, control_value, U);
  check_launch(kFailed);
  launch_kernel(unitary_right_kernel<T, K>,
                tile_grid(d, (r + Right::kCompanions - 1) / Right::kCompanions),
                dim3(kDensityThreads), Right::kSharedElements * sizeof(CuComplex<T>), stream, rho,
                dim, targets, control_mask, control_value, U);
  check_launch(kFailed);
}

}  // namespace

template <typename T>
void launch_unitary(CuComplex<T>* rho, int64_t dim, uint64_t control_mask, uint64_t control_value,
                    const CuComplex<T>* U, cudaStream_t stream, const DeviceTargets& targets) {
  const int64_t m = targets.num_targets;
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint64_t r = d >> (m >= 0 && m < 63 ? m : 0);
  const dim3 block(kDensityThreads);
  switch (m) {
    case 1:
      launch_kernel(unitary_merged_kernel<T, 1>, linear_grid(r * r), block, 0, stream, rho, dim,
                    targets, control_mask, control_value, U);
      check_launch(kFailed);
      return;
    case 2:
      launch_kernel(unitary_merged_row2_kernel<T>,
                    tile_grid(r, (r + BlockTile<2>::kGroups - 1) / BlockTile<2>::kGroups), block,
                    2 * BlockTile<2>::kElements * sizeof(CuComplex<T>), stream, rho, dim, targets,
                    control_mask, control_value, U);
      check_launch(kFailed);
      return;
    case 3:
      return launch_two_pass<T, 3>(rho, dim, control_mask, control_value, U, stream, targets);
    case 4:
      return launch_two_pass<T, 4>(rho, dim, control_mask, control_value, U, stream, targets);
    case 5:
      return launch_two_pass<T, 5>(rho, dim, control_mask, control_value, U, stream, targets);
    case 6:
      return launch_two_pass<T, 6>(rho, dim, control_mask, control_value, U, stream, targets);
    default:
      throw std::runtime_error("GPU density unitary supports at most 6 targets");
  }
}

template <typename T>
void launch_diagonal(CuComplex<T>* rho, int64_t dim, uint64_t target_mask, uint64_t control_mask,
                     uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1,
                     cudaStream_t stream) {
  if (control_mask != 0) {
    launch_kernel(diagonal_controlled_kernel<T>, element_grid(dim), element_block(), 0, stream,
                  rho, dim, target_mask, control_mask, control_value, d0, d1);
  } else {
    const CuComplex<T> f_hi = cmul_conj(d1, d0);
    launch_kernel(diagonal_free_kernel<T>, element_grid(dim), element_block(), 0, stream, rho,
                  dim, target_mask, f_hi, cconj(f_hi));
  }
  check_launch("diagonal kernel launch failed: ");
}

template <typename T>
void launch_permutation(CuComplex<T>* rho, int64_t dim, uint64_t flip_mask, uint64_t control_mask,
                        uint64_t control_value, bool is_swap, cudaStream_t stream) {
  launch_kernel(permutation_kernel<T>, element_grid(dim), element_block(), 0, stream, rho, dim,
                flip_mask, control_mask, control_value, is_swap);
  check_launch("permutation kernel launch failed: ");
}

#define QALVANE_RHOMIRA_UNITARY_INSTANTIATE(T)                                                  \
  template void launch_unitary<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t,                \
                                  const CuComplex<T>*, cudaStream_t, const DeviceTargets&);    \
  template void launch_diagonal<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t, uint64_t,     \
                                   CuComplex<T>, CuComplex<T>, cudaStream_t);                 \
  template void launch_permutation<T>(CuComplex<T>*, int64_t, uint64_t, uint64_t, uint64_t,  \
                                      bool, cudaStream_t);

QALVANE_RHOMIRA_UNITARY_INSTANTIATE(float)
QALVANE_RHOMIRA_UNITARY_INSTANTIATE(double)

}  // namespace qalvane::rhomira
