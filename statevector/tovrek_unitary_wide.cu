// Unitaries on six or more targets, in place, every thread computing.
//
// Six to eight targets: a block stages whole groups (2048 amplitudes) in
// shared memory, each thread computes four rows of two staged groups, and the
// results go back where the groups came from: one read and one write of the
// state, no scratch. The matrix is read transposed from device memory, so the
// threads of a warp, which compute consecutive rows, read consecutive entries.
//
// From nine targets a block could stage only a few groups, and each would
// cost a pass over the whole matrix. Groups go instead in batches through a
// scratch buffer of at most max(state/16, 4 MiB): a copy of the batch's
// groups, then a product tiled over rows and groups that writes the results
// into the state.
//
// Every result is the sum over the columns from zero in increasing column
// order, as in the kernels for fewer targets.
#include "tovrek_unitary_wide.h"

#include <algorithm>
#include <cstring>

#include "cuda_error.h"
#include "device_buffer.h"
#include "launch.cuh"

namespace tovrek {

using qalvane::check_cuda;
using qalvane::DeviceBuffer;

namespace {

// Enough blocks to fill any GPU; the kernels walk the rest in grid strides.
constexpr unsigned kMaxBlocks = 65535;

// acc[a][b] gains M[row a][c] * v_b[c] for c = 0, 1, ..., dim - 1 in turn.
// Row a of this thread is entry first_row + a * row_step of each line of the
// transposed matrix; column(c, b) reads v_b[c].
template <typename T, int R, int S, typename Column>
__device__ __forceinline__ void accumulate_rows(const CuComplex<T>* __restrict__ transposed,
                                                uint64_t dim, uint64_t first_row,
                                                uint32_t row_step, Column column,
                                                CuComplex<T> (&acc)[R][S]) {
#pragma unroll
  for (int a = 0; a < R; ++a)
#pragma unroll
    for (int b = 0; b < S; ++b) acc[a][b] = CuComplex<T>{T(0), T(0)};
  const CuComplex<T>* line = transposed + first_row;
#pragma unroll 1
  for (uint64_t c = 0; c < dim; ++c, line += dim) {
    CuComplex<T> m[R], v[S];
#pragma unroll
    for (int a = 0; a < R; ++a) m[a] = line[a * row_step];
#pragma unroll
    for (int b = 0; b < S; ++b) v[b] = column(c, b);
#pragma unroll
    for (int a = 0; a < R; ++a)
#pragma unroll
      for (int b = 0; b < S; ++b) acc[a][b] = complex_add(acc[a][b], complex_mul(m[a], v[b]));
  }
}

// ---- six to eight targets: groups staged in shared memory

constexpr int kTileBits = 11;
constexpr uint32_t kTileElements = 1u << kTileBits;
constexpr int kThreadBits = 8;
static_assert(kThreadsPerBlock == 1u << kThreadBits, "a tile element's low bits are the thread's");
constexpr int kTileLoads = static_cast<int>(kTileElements / kThreadsPerBlock);
constexpr int kTileRowsPerThread = 4;
constexpr int kTileGroupsPerThread = 2;

// A tile holds kGroups groups of kDim amplitudes, column c of group i at
// slot c * kPitch + i (one spare slot a line keeps the scatter of the load
// off a single bank); the results replace the columns, row r at r * kPitch + i.
// Thread t computes rows t % kRowThreads + kRowThreads * a of groups
// t / kRowThreads + kGroupThreads * b.
template <int K>
struct TileShape {
  static constexpr uint32_t kDim = 1u << K;
  static constexpr int kGroupBits = kTileBits - K;
  static constexpr uint32_t kGroups = 1u << kGroupBits;
  static constexpr uint32_t kPitch = kGroups + 1;
  static constexpr uint32_t kRowThreads = kDim / kTileRowsPerThread;
  static constexpr uint32_t kGroupThreads = kGroups / kTileGroupsPerThread;
  static constexpr std::size_t kSharedElements = std::size_t{kDim} * kPitch;
  static_assert(kRowThreads * kGroupThreads == kThreadsPerBlock, "one thread per 4x2 results");
};

// A tile is the state's amplitudes base | w for every w on its window: the
// targets and the lowest group_bits free qubits (neither target nor
// control). Its element e is the window's bits in increasing position, bit j
// of e standing for state bit address[j] and adding slot[j] to the element's
// slot (for the b-th listed target kPitch << b, for the q-th free qubit
// 1 << q). Elements are loaded and stored in increasing e, so a warp touches
// consecutive amplitudes wherever the lowest qubits are in the window.
struct TileMap {
  uint64_t address[kTileBits];
  uint32_t slot[kTileBits];
};

template <typename T, int K>
__global__ void __launch_bounds__(kThreadsPerBlock)
    unitary_tile_kernel(uint64_t tile_count, CuComplex<T>* data, uint64_t fixed_mask,
                        uint64_t value, int32_t group_bits, TileMap map,
                        const CuComplex<T>* __restrict__ transposed) {
  using Shape = TileShape<K>;
  CuComplex<T>* tile = qalvane::dynamic_shared<CuComplex<T>>();
  const uint32_t t = threadIdx.x;
  const uint32_t elements = Shape::kDim << group_bits;
  // Element t + 256 m: the thread's bits once, the bits of m per load.
  uint64_t own_address = 0;
  uint32_t own_slot = 0;
#pragma unroll
  for (int j = 0; j < kThreadBits; ++j) {
    if ((t >> j) & 1) {
      own_address |= map.address[j];
      own_slot += map.slot[j];
    }
  }
  const auto address_of = [&](int m) {
    uint64_t address = own_address;
#pragma unroll
    for (int j = kThreadBits; j < kTileBits; ++j)
      if ((m >> (j - kThreadBits)) & 1) address |= map.address[j];
    return address;
  };
  const auto slot_of = [&](int m) {
    uint32_t slot = own_slot;
#pragma unroll
    for (int j = kThreadBits; j < kTileBits; ++j)
      if ((m >> (j - kThreadBits)) & 1) slot += map.slot[j];
    return slot;
  };
  // Fewer groups than the tile holds (a small state): the unused ones are
  // computed on zeros and never stored.
  if (group_bits < Shape::kGroupBits) {
    for (uint32_t s = t; s < Shape::kSharedElements; s += kThreadsPerBlock)
      tile[s] = CuComplex<T>{T(0), T(0)};
    __syncthreads();
  }
  const uint32_t row_thread = t % Shape::kRowThreads;
  const uint32_t group_thread = t / Shape::kRowThreads;
  for (uint64_t index = blockIdx.x; index < tile_count; index += gridDim.x) {
    const uint64_t base = deposit_free_bits(index << group_bits, fixed_mask) | value;
#pragma unroll
    for (int m = 0; m < kTileLoads; ++m)
      if (t + kThreadsPerBlock * m < elements) tile[slot_of(m)] = data[base | address_of(m)];
    __syncthreads();
    CuComplex<T> acc[kTileRowsPerThread][kTileGroupsPerThread];
    const CuComplex<T>* own_groups = tile + group_thread;
    accumulate_rows<T>(transposed, Shape::kDim, row_thread, Shape::kRowThreads,
                       [&](uint64_t c, int b) {
                         return own_groups[c * Shape::kPitch + Shape::kGroupThreads * b];
                       },
                       acc);
    __syncthreads();
#pragma unroll
    for (int a = 0; a < kTileRowsPerThread; ++a)
#pragma unroll
      for (int b = 0; b < kTileGroupsPerThread; ++b)
        tile[(row_thread + Shape::kRowThreads * a) * Shape::kPitch + group_thread +
             Shape::kGroupThreads * b] = acc[a][b];
    __syncthreads();
#pragma unroll
    for (int m = 0; m < kTileLoads; ++m)
      if (t + kThreadsPerBlock * m < elements) data[base | address_of(m)] = tile[slot_of(m)];
    __syncthreads();
  }
}

// ---- nine targets and more: batches of groups through a scratch buffer

constexpr uint32_t kBatchRowThreads = 32;  // a warp: consecutive rows, one group set
constexpr uint32_t kBatchGroupThreads = kThreadsPerBlock / kBatchRowThreads;
constexpr int kBatchRowsPerThread = 4;
constexpr int kBatchGroupsPerThread = 4;
constexpr uint32_t kBatchRows = kBatchRowThreads * kBatchRowsPerThread;
constexpr uint32_t kBatchGroups = kBatchGroupThreads * kBatchGroupsPerThread;

// scratch[i * dim + c] = column c of group first_group + i, one block a group.
template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock)
    unitary_gather_kernel(CuComplex<T>* scratch, const CuComplex<T>* data, uint64_t first_group,
                          uint64_t groups, uint64_t fixed_mask, uint64_t value, int32_t k,
                          const uint64_t* __restrict__ offsets) {
  const uint64_t dim = uint64_t{1} << k;
  for (uint64_t i = blockIdx.x; i < groups; i += gridDim.x) {
    const CuComplex<T>* group = data + (deposit_free_bits(first_group + i, fixed_mask) | value);
    CuComplex<T>* out = scratch + i * dim;
    for (uint64_t c = threadIdx.x; c < dim; c += kThreadsPerBlock) out[c] = group[offsets[c]];
  }
}

// Block (x, y): groups from kBatchGroups * x, rows from kBatchRows * y. A
// warp computes 32 consecutive rows of the same groups: it reads a line of
// the transposed matrix and one amplitude a group at a time. Registers for
// two blocks an SM in double precision, three in single, without spilling.
template <typename T>
__global__ void __launch_bounds__(kThreadsPerBlock, sizeof(T) == 8 ? 2 : 3)
    unitary_batch_kernel(CuComplex<T>* data, const CuComplex<T>* __restrict__ scratch,
                         uint64_t first_group, uint64_t groups, uint64_t fixed_mask,
                         uint64_t value, int32_t k, const CuComplex<T>* __restrict__ transposed,
                         const uint64_t* __restrict__ offsets) {
  const uint64_t dim = uint64_t{1} << k;
  const uint32_t row_thread = threadIdx.x % kBatchRowThreads;
  const uint64_t first = uint64_t{blockIdx.x} * kBatchGroups + threadIdx.x / kBatchRowThreads;
  // Groups past the batch read the last one and store nothing.
  const CuComplex<T>* columns[kBatchGroupsPerThread];
#pragma unroll
  for (int b = 0; b < kBatchGroupsPerThread; ++b) {
    const uint64_t i = first + kBatchGroupThreads * b;
    columns[b] = scratch + (i < groups ? i : groups - 1) * dim;
  }
  for (uint64_t row_tile = blockIdx.y; row_tile < dim / kBatchRows; row_tile += gridDim.y) {
    const uint64_t row = row_tile * kBatchRows + row_thread;
    CuComplex<T> acc[kBatchRowsPerThread][kBatchGroupsPerThread];
    accumulate_rows<T>(transposed, dim, row, kBatchRowThreads,
                       [&](uint64_t c, int b) { return columns[b][c]; }, acc);
#pragma unroll
    for (int b = 0; b < kBatchGroupsPerThread; ++b) {
      const uint64_t i = first + kBatchGroupThreads * b;
      if (i >= groups) continue;
      CuComplex<T>* group = data + (deposit_free_bits(first_group + i, fixed_mask) | value);
#pragma unroll
      for (int a = 0; a < kBatchRowsPerThread; ++a)
        group[offsets[row + kBatchRowThreads * a]] = acc[a][b];
    }
  }
}

// ---- launchers

unsigned capped_blocks(uint64_t blocks) {
  return static_cast<unsigned>(std::min<uint64_t>(blocks, kMaxBlocks));
}

template <int K>
TileMap tile_map(const std::vector<int64_t>& targets, uint64_t fixed_mask, int group_bits) {
  TileMap map{};
  int j = 0;
  int q = 0;
  for (int64_t p = 0; j < K + group_bits; ++p) {
    const uint64_t bit = uint64_t{1} << p;
    const auto target = std::find(targets.begin(), targets.end(), p);
    if (target != targets.end()) {
      map.address[j] = bit;
      map.slot[j++] = TileShape<K>::kPitch << (target - targets.begin());
    } else if ((fixed_mask & bit) == 0 && q < group_bits) {
      map.address[j] = bit;
      map.slot[j++] = 1u << q++;
    }
  }
  return map;
}

template <typename T, int K>
void launch_tile(int free_bits, CuComplex<T>* data, const std::vector<int64_t>& targets,
                 uint64_t fixed_mask, uint64_t value, const CuComplex<T>* transposed,
                 cudaStream_t stream) {
  using Shape = TileShape<K>;
  const int group_bits = std::min(free_bits, Shape::kGroupBits);
  const uint64_t tiles = uint64_t{1} << (free_bits - group_bits);
  qalvane::launch_kernel(unitary_tile_kernel<T, K>, dim3(capped_blocks(tiles)),
                         dim3(kThreadsPerBlock), Shape::kSharedElements * sizeof(CuComplex<T>),
                         stream, tiles, data, fixed_mask, value, static_cast<int32_t>(group_bits),
                         tile_map<K>(targets, fixed_mask, group_bits), transposed);
  check_cuda(cudaGetLastError());
}

}  // namespace

template <typename T>
void cu_unitary_wide(int64_t n, CuComplex<T>* data, const std::vector<int64_t>& targets,
                     const ControlMasks& masks, const std::vector<CuComplex<T>>& matrix,
                     cudaStream_t stream) {
  const int k = static_cast<int>(targets.size());
  const std::size_t dim = std::size_t{1} << k;
  uint64_t fixed_mask = masks.control_mask;
  for (const int64_t t : targets) fixed_mask |= uint64_t{1} << t;
  const int free_bits = static_cast<int>(n) - __builtin_popcountll(fixed_mask);
  const uint64_t value = masks.control_value;
  const bool batched = k > kMaxTileTargets;

  // The matrix transposed (line c holds column c), then for batches the
  // column offsets, in one allocation and one copy.
  const std::size_t matrix_elements = dim * dim;
  const std::size_t offset_elements =
      batched ? (dim * sizeof(uint64_t) + sizeof(CuComplex<T>) - 1) / sizeof(CuComplex<T>) : 0;
  std::vector<CuComplex<T>> host(matrix_elements + offset_elements);
  for (std::size_t r = 0; r < dim; ++r)
    for (std::size_t c = 0; c < dim; ++c) host[c * dim + r] = matrix[r * dim + c];
  if (batched) {
    const std::vector<uint64_t> offsets = column_offsets(targets);
    std::memcpy(host.data() + matrix_elements, offsets.data(), dim * sizeof(uint64_t));
  }
  DeviceBuffer<CuComplex<T>> device_matrix;
  DeviceBuffer<CuComplex<T>> scratch;
  check_cuda(device_matrix.allocate(host.size()));
  check_cuda(cudaMemcpyAsync(device_matrix.get(), host.data(), host.size() * sizeof(CuComplex<T>),
                             cudaMemcpyHostToDevice, stream));
  const CuComplex<T>* transposed = device_matrix.get();

  if (k == 6) {
    launch_tile<T, 6>(free_bits, data, targets, fixed_mask, value, transposed, stream);
  } else if (k == 7) {
    launch_tile<T, 7>(free_bits, data, targets, fixed_mask, value, transposed, stream);
  } else if (k == 8) {
    launch_tile<T, 8>(free_bits, data, targets, fixed_mask, value, transposed, stream);
  } else {
    const uint64_t* offsets = reinterpret_cast<const uint64_t*>(transposed + matrix_elements);
    const std::size_t state_bytes = (std::size_t{1} << n) * sizeof(CuComplex<T>);
    const uint64_t groups = uint64_t{1} << free_bits;
    // At least one group a batch: only a matrix far beyond any device's
    // memory has groups larger than the budget.
    const uint64_t per_batch = std::min<uint64_t>(
        groups, std::max<uint64_t>(1, unitary_scratch_budget(state_bytes) / sizeof(CuComplex<T>) / dim));
    check_cuda(scratch.allocate(per_batch * dim));
    const dim3 rows(1, capped_blocks(dim / kBatchRows), 1);
    for (uint64_t first = 0; first < groups; first += per_batch) {
      const uint64_t count = std::min(per_batch, groups - first);
      qalvane::launch_kernel(unitary_gather_kernel<T>, dim3(capped_blocks(count)),
                             dim3(kThreadsPerBlock), 0, stream, scratch.get(), data, first, count,
                             fixed_mask, value, static_cast<int32_t>(k), offsets);
      check_cuda(cudaGetLastError());
      qalvane::launch_kernel(unitary_batch_kernel<T>,
                             dim3(static_cast<unsigned>((count + kBatchGroups - 1) / kBatchGroups),
                                  rows.y, 1),
                             dim3(kThreadsPerBlock), 0, stream, data, scratch.get(), first, count,
                             fixed_mask, value, static_cast<int32_t>(k), transposed, offsets);
      check_cuda(cudaGetLastError());
    }
  }
  check_cuda(cudaStreamSynchronize(stream));
  check_cuda(device_matrix.release());
  check_cuda(scratch.release());
}

template void cu_unitary_wide<float>(int64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                     const ControlMasks&, const std::vector<CuComplex<float>>&,
                                     cudaStream_t);
template void cu_unitary_wide<double>(int64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                      const ControlMasks&, const std::vector<CuComplex<double>>&,
                                      cudaStream_t);

}  // namespace tovrek
