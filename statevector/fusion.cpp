#include "fusion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "bit_index.cuh"
#include "run_circuit.h"

namespace tovrek::fusion {

namespace {

using cd = std::complex<double>;

constexpr double kInvSqrt2 = 0.7071067811865475;

// DenseMM cost coefficients c0..c8 per circuit-size breakpoint and active-qubit
// count (rows k = 1..7), measured on the reference GPUs.
constexpr int kBreakpoints[6] = {14, 16, 18, 20, 22, 24};
constexpr double kCostTable[6][7][9] = {
    {  // B = 14
         {0.2267309915, 0.0, 0.0, 0.4663068114, 0.4305625079, 0.4126543972, 1.0, 0.0, 19.2041906135},
         {0.1936448856, 0.0, 0.0, 0.4348312641, 0.363032671, 0.3665311539, 1.0, 0.0, 8.5737386278},
         {0.1431459377, 0.0, 0.0, 0.2813128378, 0.4272427678, 0.3937908037, 1.0, 0.0, 6.8351134242},
         {0.1294603588, 0.0, 0.0, 0.4418767094, 0.4124389028, 0.4355293568, 1.0, 0.0, 6.5972433902},
         {0.1237039937, 0.0, 0.0, 0.4583208321, 0.460926279, 0.3607089269, 1.0, 0.0, 9.057600289},
         {0.1134037947, 0.0, 0.0, 0.4200237677, 0.4096829191, 0.4169479613, 1.0, 0.0, 13.786782822},
         {0.1439097654, 0.0, 0.0, 0.423664967, 0.4280879442, 0.4036212946, 1.0, 0.0, 37.7536502156},
    },
    {  // B = 16
         {0.2499536785, 0.0, 0.0, 0.4327765383, 0.4159954925, 0.4257499481, 1.0, 0.0, 57.6349677667},
         {0.1935236047, 0.0, 0.0, 0.4456121759, 0.4125726482, 0.423592569, 1.0, 0.0, 25.1801967557},
         {0.1449774106, 0.0, 0.0, 0.4037705297, 0.378061025, 0.3857775592, 1.0, 0.0, 10.8604332565},
         {0.1237890392, 0.0, 0.0, 0.396066647, 0.3837057141, 0.4006176829, 1.0, 0.0, 4.6912812249},
         {0.1197688318, 0.0, 0.0, 0.4081205374, 0.3712236518, 0.4402610052, 1.0, 0.0, 8.2633751702},
         {0.1362211732, 0.0, 0.0, 0.4317386592, 0.3777549916, 0.4194927532, 1.0, 0.0, 16.1692801746},
         {0.1649626971, 0.0, 0.0, 0.4801643006, 0.4317395824, 0.4289294586, 1.0, 0.0, 41.3435396318},
    },
    {  // B = 18
         {0.0623577125, 0.0, 0.0, 0.4048188074, 0.362952147, 0.3729365845, 1.0, 0.0, 49.9309167715},
         {0.0703647698, 0.0, 0.0, 0.3906147699, 0.3718418944, 0.3307937737, 1.0, 0.0, 22.3069560404},
         {0.0561787196, 0.0, 0.0, 0.4165279412, 0.3796676243, 0.3662542234, 1.0, 0.0, 9.1743349114},
         {0.0273214964, 0.0, 0.0, 0.3805148485, 0.3193008547, 0.4317869357, 1.0, 0.0, 4.1132001103},
         {0.0502081644, 0.0, 0.0, 0.3895374996, 0.3332073686, 0.3686740557, 1.0, 0.0, 8.1324914859},
         {0.0329637366, 0.0, 0.0, 0.4051349311, 0.3835218069, 0.3472308097, 1.0, 0.0, 13.8599167934},
         {0.0358002777, 0.0, 0.0, 0.3943217704, 0.3348748251, 0.3444463187, 1.0, 0.0, 38.974152603},
    },
    {  // B = 20
         {0.0822500709, 0.0, 0.0, 0.3854695461, 0.3565873327, 0.3588609502, 1.0, 0.0, 64.7908634594},
         {0.0696640313, 0.0, 0.0, 0.3810080609, 0.3436941078, 0.3645507405, 1.0, 0.0, 26.2292490027},
         {0.0313966879, 0.0, 0.0, 0.3594153364, 0.3465040022, 0.3722762727, 1.0, 0.0, 9.7276431628},
         {0.035598456, 0.0, 0.0, 0.4557457366, 0.4002886409, 0.3975650198, 1.0, 0.0, 5.361101005},
         {0.0355785774, 0.0, 0.0, 0.4282642425, 0.3860270158, 0.3886413829, 1.0, 0.0, 8.5296332301},
         {0.0230712973, 0.0, 0.0, 0.4095765687, 0.3638007416, 0.3653354283, 1.0, 0.0, 15.0465130124},
         {0.0328167196, 0.0, 0.0, 0.3981510212, 0.3833523026, 0.3805736397, 1.0, 0.0, 40.3674190239},
    },
    {  // B = 22
         {0.0386908556, 0.0, 0.0, 0.4082006527, 0.3790144781, 0.3682198856, 1.0, 0.0, 65.187438734},
         {0.0563003912, 0.0, 0.0, 0.3952628431, 0.352385924, 0.3629833039, 1.0, 0.0, 27.303781458},
         {0.0396924953, 0.0, 0.0, 0.4131644747, 0.3718221339, 0.3810398916, 1.0, 0.0, 12.8582993879},
         {0.0360903995, 0.0, 0.0, 0.3751837202, 0.3803791644, 0.3883155239, 1.0, 0.0, 6.1494884912},
         {0.0325545535, 0.0, 0.0, 0.378395453, 0.3689890005, 0.3590252857, 1.0, 0.0, 8.6392121369},
         {0.0385665957, 0.0, 0.0, 0.4152876809, 0.3843099939, 0.3462436183, 1.0, 0.0, 16.377333944},
         {0.0340686411, 0.0, 0.0, 0.3788890351, 0.3484452258, 0.3377141553, 1.0, 0.0, 48.1268758089},
    },
    {  // B = 24
         {0.0646315801, 0.0, 0.0, 0.3935932135, 0.3650757826, 0.3625834006, 1.0, 0.0, 69.7297370062},
         {0.0412030846, 0.0, 0.0, 0.3904604122, 0.3810597341, 0.3726857492, 1.0, 0.0, 28.4554961237},
         {0.041750792, 0.0, 0.0, 0.3345039189, 0.3369325833, 0.3451052982, 1.0, 0.0, 12.7023134529},
         {0.0271617336, 0.0, 0.0, 0.3967623538, 0.3566315969, 0.3739319939, 1.0, 0.0, 5.5504598856},
         {0.0542495392, 0.0, 0.0, 0.32280267, 0.3501258331, 0.3638225633, 1.0, 0.0, 10.2329091177},
         {0.030737535, 0.0, 0.0, 0.4368380848, 0.3659103299, 0.3699950918, 1.0, 0.0, 16.1127148904},
         {0.039171289, 0.0, 0.0, 0.4005399489, 0.3511638542, 0.3670682421, 1.0, 0.0, 45.1368155348},
    },
};

// Full complex product written out, so no library path for inf/nan is taken.
inline cd mul(cd a, cd b) {
  return cd(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}

inline CuComplex<double> to_cu(cd z) { return CuComplex<double>{z.real(), z.imag()}; }

int32_t fused_op(GateId id) {
  switch (id) {
    case GATE_X: return FUSED_X;
    case GATE_Y: return FUSED_Y;
    case GATE_H: return FUSED_H;
    case GATE_Z:
    case GATE_S:
    case GATE_SDAG:
    case GATE_RZ:
    case GATE_PHASE: return FUSED_DIAGONAL;
    case GATE_RX: return FUSED_RX;
    case GATE_RY: return FUSED_RY;
    case GATE_SWAP: return FUSED_SWAP;
    default: return FUSED_GENERAL;
  }
}

// Which cost coefficient weighs a gate kind.
int cost_weight_index(GateId id) {
  switch (id) {
    case GATE_X: return 1;
    case GATE_Y: return 2;
    case GATE_H: return 3;
    case GATE_Z:
    case GATE_S:
    case GATE_SDAG:
    case GATE_RZ:
    case GATE_PHASE: return 4;
    case GATE_RX:
    case GATE_RY: return 5;
    case GATE_SWAP: return 7;
    default: return 6;  // square roots, u, unitary and anything above
  }
}

// Fills the gate's matrix when it is fusable and not a SWAP.
bool is_fusable(const GateRecord& g, bool fuse_swap, Matrix2x2& m) {
  if (g.controls.size() != g.control_state.size()) return false;
  if (g.gate_id == GATE_SWAP)
    return fuse_swap && g.targets.size() == 2 && g.targets[0] != g.targets[1];
  return gate_matrix_2x2(g, m);
}

// Per-gate facts the window pass needs again and again.
struct GateFacts {
  std::vector<uint8_t> fusable;
  std::vector<Matrix2x2> matrix;   // of fusable one-target gates
  std::vector<uint8_t> in_range;   // every qubit in [0, n)
  std::vector<uint64_t> qmask;     // bits of its qubits that are in [0, n)
  std::vector<std::size_t> qbegin; // qubits(h) = qubits[qbegin[h] .. qbegin[h+1])
  std::vector<int64_t> qubits;
};

GateFacts gather_facts(int64_t n, const std::vector<GateRecord>& gates, bool fuse_swap) {
  GateFacts f;
  const std::size_t count = gates.size();
  f.fusable.resize(count);
  f.matrix.resize(count);
  f.in_range.resize(count);
  f.qmask.resize(count);
  f.qbegin.resize(count + 1);
  f.qubits.reserve(count * 2);
  for (std::size_t h = 0; h < count; ++h) {
    const GateRecord& g = gates[h];
    f.fusable[h] = is_fusable(g, fuse_swap, f.matrix[h]) ? 1 : 0;
    f.qbegin[h] = f.qubits.size();
    f.qubits.insert(f.qubits.end(), g.targets.begin(), g.targets.end());
    f.qubits.insert(f.qubits.end(), g.controls.begin(), g.controls.end());
    const auto first = f.qubits.begin() + static_cast<std::ptrdiff_t>(f.qbegin[h]);
    std::sort(first, f.qubits.end());
    f.qubits.erase(std::unique(first, f.qubits.end()), f.qubits.end());
    bool ok = true;
    uint64_t mask = 0;
    for (auto it = first; it != f.qubits.end(); ++it) {
      if (*it < 0 || *it >= n)
        ok = false;
      else
        mask |= uint64_t{1} << *it;
    }
    f.in_range[h] = ok ? 1 : 0;
    f.qmask[h] = mask;
  }
  f.qbegin[count] = f.qubits.size();
  return f;
}

// The gates of one window as bitsets over their acceptance order (which is
// ascending gate order), one bitset per qubit: the cones.
struct Cones {
  int64_t n = 0;
  std::size_t words = 0;  // capacity per qubit
  std::vector<uint64_t> bits;
  std::vector<uint64_t> mask;
  std::vector<int64_t> size;

  uint64_t* of(int64_t q) { return bits.data() + static_cast<std::size_t>(q) * words; }
};

std::size_t popcount_words(const uint64_t* w, std::size_t used) {
  std::size_t c = 0;
  for (std::size_t i = 0; i < used; ++i) c += static_cast<std::size_t>(qalvane::popcount(w[i]));
  return c;
}

void build_records(const std::vector<GateRecord>& gates, const GateFacts& facts,
                   FusedGroup& group) {
  int32_t local[64];
  for (std::size_t i = 0; i < group.active_qubits.size(); ++i)
    local[group.active_qubits[i]] = static_cast<int32_t>(i);
  group.records.reserve(group.gate_indices.size());
  for (const int64_t index : group.gate_indices) {
    const GateRecord& g = gates[static_cast<std::size_t>(index)];
    DeviceMatrixGate<double> r{};
    r.target = -1;
    r.target2 = -1;
    if (g.gate_id == GATE_SWAP) {
      if (g.controls.size() != g.control_state.size() || g.targets.size() != 2 ||
          g.targets[0] == g.targets[1])
        throw std::invalid_argument("unsupported fused SWAP gate");
      r.op = FUSED_SWAP;
      r.target = local[g.targets[0]];
      r.target2 = local[g.targets[1]];
      r.m00 = CuComplex<double>{1.0, 0.0};
      r.m11 = CuComplex<double>{1.0, 0.0};
    } else {
      // Only gates found fusable are grouped, so their matrix is at hand.
      if (!facts.fusable[static_cast<std::size_t>(index)])
        throw std::invalid_argument("unsupported SparseShareMem gate");
      const Matrix2x2& m = facts.matrix[static_cast<std::size_t>(index)];
      r.op = fused_op(g.gate_id);
      r.target = local[g.targets[0]];
      r.m00 = to_cu(m.m00);
      r.m01 = to_cu(m.m01);
      r.m10 = to_cu(m.m10);
      r.m11 = to_cu(m.m11);
    }
    for (std::size_t c = 0; c < g.controls.size(); ++c) {
      const int32_t l = local[g.controls[c]];
      // Local indices of 32 and above cannot be executed by either kernel
      // (SparseShareMem takes at most 10 qubits, DenseMM's matrix would not fit).
      const uint32_t bit = l < 32 ? (uint32_t{1} << l) : 0u;
      r.control_mask |= bit;
      if (g.control_state[c] == 1) r.control_value |= bit;
    }
    group.records.push_back(r);
  }
}

// The host matrices of a plan together: 16 * 4^k bytes per DenseMM group. A
// plan past this is refused before its next matrix is allocated.
constexpr uint64_t kMaxDenseMatrixBytes = uint64_t{1} << 30;

void count_dense_matrix(std::size_t k, uint64_t& total) {
  const uint64_t bytes = k <= 13 ? uint64_t{16} << (2 * k) : ~uint64_t{0};
  if (bytes > kMaxDenseMatrixBytes - total)
    throw std::invalid_argument("DenseMM matrices of the fusion plan would exceed 1 GiB");
  total += bytes;
}

void build_dense_matrix(FusedGroup& group, qalvane::InterruptPoll& poll) {
  const std::size_t k = group.active_qubits.size();
  const std::size_t dim = std::size_t{1} << k;
  std::vector<cd>& m = group.dense_matrix;
  m.assign(dim * dim, cd(0.0, 0.0));
  for (std::size_t i = 0; i < dim; ++i) m[i * dim + i] = cd(1.0, 0.0);
  for (const DeviceMatrixGate<double>& r : group.records) {
    const std::size_t cmask = r.control_mask;
    const std::size_t cvalue = r.control_value;
    if (r.op == FUSED_SWAP) {
      const std::size_t tbit = std::size_t{1} << r.target;
      const std::size_t sbit = std::size_t{1} << r.target2;
      for (std::size_t row = 0; row < dim; ++row) {
        if ((row & tbit) != 0 || (row & sbit) == 0 || (row & cmask) != cvalue) continue;
        const std::size_t other = (row | tbit) & ~sbit;
        std::swap_ranges(m.begin() + static_cast<std::ptrdiff_t>(row * dim),
                         m.begin() + static_cast<std::ptrdiff_t>((row + 1) * dim),
                         m.begin() + static_cast<std::ptrdiff_t>(other * dim));
      }
      continue;
    }
    const cd m00(r.m00.re, r.m00.im), m01(r.m01.re, r.m01.im);
    const cd m10(r.m10.re, r.m10.im), m11(r.m11.re, r.m11.im);
    const std::size_t tbit = std::size_t{1} << r.target;
    for (std::size_t row = 0; row < dim; ++row) {
      if ((row & tbit) != 0 || (row & cmask) != cvalue) continue;
      cd* upper = &m[row * dim];
      cd* lower = &m[(row + tbit) * dim];
      for (std::size_t c = 0; c < dim; ++c) {
        const cd a = upper[c];
        const cd b = lower[c];
        upper[c] = mul(m00, a) + mul(m01, b);
        lower[c] = mul(m10, a) + mul(m11, b);
      }
      poll_interrupt(poll, dim);
    }
  }
}

void pad_active_qubits(int64_t n, int32_t target, std::vector<int64_t>& active) {
  uint64_t present = 0;
  for (const int64_t q : active) present |= uint64_t{1} << q;
  for (int64_t q = 0; q < n && static_cast<int64_t>(active.size()) < target; ++q)
    if ((present & (uint64_t{1} << q)) == 0) active.push_back(q);
  std::sort(active.begin(), active.end());
}

}  // namespace

bool gate_matrix_2x2(const GateRecord& g, Matrix2x2& out) {
  if (g.targets.size() != 1) return false;
  const double h = kInvSqrt2;
  const cd i(0.0, 1.0);
  const auto one_parameter = [&]() { return g.parameters.size() == 1; };
  switch (g.gate_id) {
    case GATE_X: out = {0.0, 1.0, 1.0, 0.0}; return true;
    case GATE_Y: out = {0.0, -i, i, 0.0}; return true;
    case GATE_Z: out = {1.0, 0.0, 0.0, -1.0}; return true;
    case GATE_H: out = {h, h, h, -h}; return true;
    case GATE_S: out = {1.0, 0.0, 0.0, i}; return true;
    case GATE_SDAG: out = {1.0, 0.0, 0.0, -i}; return true;
    case GATE_SQRTX:
      out = {cd(0.5, 0.5), cd(0.5, -0.5), cd(0.5, -0.5), cd(0.5, 0.5)};
      return true;
    case GATE_SQRTXDAG:
      out = {cd(0.5, -0.5), cd(0.5, 0.5), cd(0.5, 0.5), cd(0.5, -0.5)};
      return true;
    case GATE_SQRTY:
      out = {cd(0.5, 0.5), cd(-0.5, -0.5), cd(0.5, 0.5), cd(0.5, 0.5)};
      return true;
    case GATE_SQRTYDAG:
      out = {cd(0.5, -0.5), cd(0.5, -0.5), cd(-0.5, 0.5), cd(0.5, -0.5)};
      return true;
    case GATE_RX: {
      if (!one_parameter()) return false;
      const double c = std::cos(g.parameters[0] / 2), s = std::sin(g.parameters[0] / 2);
      out = {c, cd(0.0, -s), cd(0.0, -s), c};
      return true;
    }
    case GATE_RY: {
      if (!one_parameter()) return false;
      const double c = std::cos(g.parameters[0] / 2), s = std::sin(g.parameters[0] / 2);
      out = {c, -s, s, c};
      return true;
    }
    case GATE_RZ: {
      if (!one_parameter()) return false;
      const double c = std::cos(g.parameters[0] / 2), s = std::sin(g.parameters[0] / 2);
      out = {cd(c, -s), 0.0, 0.0, cd(c, s)};
      return true;
    }
    case GATE_PHASE: {
      if (!one_parameter()) return false;
      out = {1.0, 0.0, 0.0, cd(std::cos(g.parameters[0]), std::sin(g.parameters[0]))};
      return true;
    }
    case GATE_U: {
      if (g.parameters.size() != 3) return false;
      const double theta = g.parameters[0], phi = g.parameters[1], lambda = g.parameters[2];
      const double c = std::cos(theta / 2), s = std::sin(theta / 2);
      const cd e_lambda(std::cos(lambda), std::sin(lambda));
      const cd e_phi(std::cos(phi), std::sin(phi));
      const cd e_both(std::cos(phi + lambda), std::sin(phi + lambda));
      out = {c, -e_lambda * s, e_phi * s, e_both * c};
      return true;
    }
    case GATE_UNITARY:
      if (g.matrix_dim != 2 || g.matrix.size() != 4) return false;
      out = {g.matrix[0], g.matrix[1], g.matrix[2], g.matrix[3]};
      return true;
    default: return false;  // SWAP, global phase, unknown ids
  }
}

double densemm_score(int64_t n, int64_t k, const std::vector<GateRecord>& gates,
                     const std::vector<int64_t>& group, double threshold_scale) {
  const int row = static_cast<int>(std::clamp<int64_t>(k, 1, 7)) - 1;
  double c[9];
  if (n <= kBreakpoints[0] || n >= kBreakpoints[5]) {
    const int block = n <= kBreakpoints[0] ? 0 : 5;
    for (int j = 0; j < 9; ++j) c[j] = kCostTable[block][row][j];
  } else {
    int i = 1;
    while (kBreakpoints[i] < n) ++i;
    const double t = static_cast<double>(n - kBreakpoints[i - 1]) /
                     static_cast<double>(kBreakpoints[i] - kBreakpoints[i - 1]);
    for (int j = 0; j < 9; ++j) {
      const double lo = kCostTable[i - 1][row][j], hi = kCostTable[i][row][j];
      c[j] = lo + t * (hi - lo);
    }
  }
  double score = -threshold_scale * c[8];
  for (const int64_t index : group) {
    const GateRecord& g = gates[static_cast<std::size_t>(index)];
    const double w = c[cost_weight_index(g.gate_id)];
    score += c[0] + std::ldexp(1.0, -static_cast<int>(g.controls.size())) * w;
  }
  return score;
}

FusionPlan plan_fusion_chunk(int64_t n, const std::vector<GateRecord>& gates,
                             const FusionOptions& options,
                             const qalvane::InterruptCheck& interrupted) {
  if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
  // The runner's check for every gate first: fused groups never meet a bad
  // gate, and a bad gate anywhere stops the chunk before any group runs.
  for (const GateRecord& g : gates) check_gate_record(n, g);
  FusionPlan plan;
  const int64_t count = static_cast<int64_t>(gates.size());
  if (count == 0) return plan;
  qalvane::InterruptPoll poll = qalvane::start_interrupt_poll(interrupted);
  uint64_t dense_bytes = 0;
  const GateFacts facts = gather_facts(n, gates, options.fuse_swap);
  const int64_t limit = options.sparsesharemem_qubits;
  const int64_t window = options.max_gates_per_group;
  const uint64_t all_qubits = (uint64_t{1} << n) - 1;

  // Pending gates as a linked list in index order; `count` ends it.
  std::vector<int64_t> next(static_cast<std::size_t>(count) + 1), prev(next.size());
  for (int64_t h = 0; h < count; ++h) {
    next[static_cast<std::size_t>(h)] = h + 1;
    prev[static_cast<std::size_t>(h)] = h - 1;
  }
  int64_t head = 0;
  const auto unlink = [&](int64_t h) {
    const int64_t p = prev[static_cast<std::size_t>(h)], nx = next[static_cast<std::size_t>(h)];
    if (p < 0)
      head = nx;
    else
      next[static_cast<std::size_t>(p)] = nx;
    if (nx < count) prev[static_cast<std::size_t>(nx)] = p;
  };

  Cones cones;
  cones.n = n;
  const int64_t window_cap = std::max<int64_t>(1, std::min<int64_t>(window, count));
  cones.words = static_cast<std::size_t>((window_cap + 63) / 64);
  cones.bits.assign(static_cast<std::size_t>(n) * cones.words, 0);
  cones.mask.assign(static_cast<std::size_t>(n), 0);
  cones.size.assign(static_cast<std::size_t>(n), 0);
  std::vector<uint64_t> joined(cones.words), chosen_gates(cones.words);
  std::vector<int64_t> accepted;
  accepted.reserve(static_cast<std::size_t>(window_cap));
  std::size_t used_words = 0;

  while (head < count) {
    // A: fresh cones.
    for (int64_t q = 0; q < n; ++q) {
      std::memset(cones.of(q), 0, used_words * sizeof(uint64_t));
      cones.mask[static_cast<std::size_t>(q)] = 0;
      cones.size[static_cast<std::size_t>(q)] = 0;
    }
    uint64_t blocked = 0;
    accepted.clear();
    used_words = 0;

    // B: the window pass. Once every qubit is blocked no later gate can be
    // accepted, so the pass may stop there with the same outcome.
    int64_t examined = 0;
    for (int64_t h = head; h < count && blocked != all_qubits; h = next[static_cast<std::size_t>(h)]) {
      if (examined + 1 > window) break;
      if (!facts.fusable[static_cast<std::size_t>(h)]) break;
      ++examined;
      const uint64_t qmask = facts.qmask[static_cast<std::size_t>(h)];
      if (!facts.in_range[static_cast<std::size_t>(h)] || (qmask & blocked) != 0) {
        blocked |= qmask;
        continue;
      }
      const int64_t* qb = facts.qubits.data() + facts.qbegin[static_cast<std::size_t>(h)];
      const int64_t* qe = facts.qubits.data() + facts.qbegin[static_cast<std::size_t>(h) + 1];
      uint64_t mask = qmask;
      for (const int64_t* q = qb; q != qe; ++q) mask |= cones.mask[static_cast<std::size_t>(*q)];
      if (qalvane::popcount(mask) > limit) {
        blocked |= qmask;
        continue;
      }
      const std::size_t a = accepted.size();
      accepted.push_back(h);
      used_words = a / 64 + 1;
      std::fill(joined.begin(), joined.begin() + static_cast<std::ptrdiff_t>(used_words), 0);
      for (const int64_t* q = qb; q != qe; ++q) {
        const uint64_t* src = cones.of(*q);
        for (std::size_t w = 0; w < used_words; ++w) joined[w] |= src[w];
      }
      joined[a / 64] |= uint64_t{1} << (a % 64);
      const int64_t joined_size = static_cast<int64_t>(popcount_words(joined.data(), used_words));
      for (const int64_t* q = qb; q != qe; ++q) {
        std::memcpy(cones.of(*q), joined.data(), used_words * sizeof(uint64_t));
        cones.mask[static_cast<std::size_t>(*q)] = mask;
        cones.size[static_cast<std::size_t>(*q)] = joined_size;
      }
    }

    // C: greedy selection of cones.
    std::fill(chosen_gates.begin(), chosen_gates.begin() + static_cast<std::ptrdiff_t>(used_words), 0);
    uint64_t selected = 0, chosen = 0;
    for (;;) {
      int64_t e = -1;
      for (int64_t i = 0; i < n; ++i) {
        const std::size_t ui = static_cast<std::size_t>(i);
        if ((chosen >> i) & 1 || cones.size[ui] == 0) continue;
        if (qalvane::popcount(selected | cones.mask[ui]) > limit) continue;
        if (e < 0 || cones.size[ui] > cones.size[static_cast<std::size_t>(e)]) e = i;
      }
      if (e < 0) break;
      const uint64_t* cone_e = cones.of(e);
      for (std::size_t w = 0; w < used_words; ++w) chosen_gates[w] |= cone_e[w];
      selected |= cones.mask[static_cast<std::size_t>(e)];
      chosen |= uint64_t{1} << e;
      for (int64_t j = 0; j < n; ++j) {
        const std::size_t uj = static_cast<std::size_t>(j);
        if ((chosen >> j) & 1) continue;
        uint64_t* cone_j = cones.of(j);
        if ((cones.mask[uj] & ~selected) == 0) {
          for (std::size_t w = 0; w < used_words; ++w) chosen_gates[w] |= cone_j[w];
          chosen |= uint64_t{1} << j;
        } else if (cones.size[uj] != 0) {
          for (std::size_t w = 0; w < used_words; ++w) cone_j[w] &= ~cone_e[w];
          cones.size[uj] = static_cast<int64_t>(popcount_words(cone_j, used_words));
        }
      }
    }

    // D: the group's gates, ascending.
    FusedGroup group;
    for (std::size_t w = 0; w < used_words; ++w) {
      for (uint64_t bitsw = chosen_gates[w]; bitsw != 0; bitsw &= bitsw - 1)
        group.gate_indices.push_back(accepted[w * 64 + static_cast<std::size_t>(__builtin_ctzll(bitsw))]);
    }
    if (group.gate_indices.empty()) group.gate_indices.push_back(head);
    for (const int64_t h : group.gate_indices) unlink(h);

    // E: active qubits.
    for (const int64_t h : group.gate_indices)
      group.active_qubits.insert(group.active_qubits.end(),
                                 facts.qubits.begin() + static_cast<std::ptrdiff_t>(facts.qbegin[static_cast<std::size_t>(h)]),
                                 facts.qubits.begin() + static_cast<std::ptrdiff_t>(facts.qbegin[static_cast<std::size_t>(h) + 1]));
    std::sort(group.active_qubits.begin(), group.active_qubits.end());
    group.active_qubits.erase(std::unique(group.active_qubits.begin(), group.active_qubits.end()),
                              group.active_qubits.end());
    const int64_t k = static_cast<int64_t>(group.active_qubits.size());

    // F: kind.
    if (group.gate_indices.size() == 1) {
      group.kind = AutoPair;
    } else if (k < options.densemm_min_qubits || k > options.densemm_max_qubits || k >= n) {
      group.kind = SparseShareMem;
    } else {
      group.kind = densemm_score(n, k, gates, group.gate_indices,
                                 options.densemm_gate_threshold_scale) > 0
                       ? DenseMM
                       : SparseShareMem;
    }

    // G-I: padding, records, dense matrix.
    if (group.kind == SparseShareMem && options.pad_sparsesharemem)
      pad_active_qubits(n, options.sparsesharemem_qubits, group.active_qubits);
    if (group.kind == DenseMM) count_dense_matrix(group.active_qubits.size(), dense_bytes);
    if (group.kind != AutoPair) build_records(gates, facts, group);
    if (group.kind == DenseMM) build_dense_matrix(group, poll);
    plan.groups.push_back(std::move(group));
    poll_interrupt(poll, static_cast<uint64_t>(examined) + 1);
  }

  for (FusedGroup& group : plan.groups) {
    if (group.kind == SparseShareMem) {
      group.sparse_offset = plan.total_sparse_records;
      plan.total_sparse_records += group.records.size();
    } else if (group.kind == DenseMM) {
      group.dense_offset = plan.total_dense_elements;
      plan.total_dense_elements += group.dense_matrix.size();
    }
  }
  return plan;
}

}  // namespace tovrek::fusion
