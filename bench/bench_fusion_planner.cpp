// Planner throughput on 10^5 random one- and two-qubit gates, and the shape of
// the plans; also the ordered-set formulation of the same rules for comparison.
// Built and run by bench_fusion.py.
#include <ctime>
#include <cstdio>
#include <random>
#include <vector>

#include "fusion.h"
#include "literal_fusion_groups.h"

using namespace tovrek;
using namespace tovrek::fusion;

static std::vector<GateRecord> random_gates(int64_t n, int count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<int64_t> qubit(0, n - 1);
  std::uniform_real_distribution<double> angle(-3.0, 3.0);
  const GateId one[] = {GATE_H, GATE_X, GATE_RZ, GATE_RX, GATE_SQRTX, GATE_S, GATE_U};
  std::vector<GateRecord> gates(count);
  for (GateRecord& g : gates) {
    const int64_t a = qubit(rng);
    int64_t b = qubit(rng);
    while (b == a) b = qubit(rng);
    const unsigned kind = rng() % 10;
    if (kind < 6) {
      g.gate_id = one[rng() % 7];
      g.targets = {a};
    } else if (kind < 9) {
      g.gate_id = kind == 6 ? GATE_X : kind == 7 ? GATE_Z : GATE_RZ;
      g.targets = {a};
      g.controls = {b};
      g.control_state = {1};
    } else {
      g.gate_id = GATE_SWAP;
      g.targets = {a, b};
    }
    if (g.gate_id == GATE_RZ || g.gate_id == GATE_RX) g.parameters = {angle(rng)};
    if (g.gate_id == GATE_U) g.parameters = {angle(rng), angle(rng), angle(rng)};
  }
  return gates;
}

template <typename F>
static double best_seconds(int repeats, F&& f) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    // CPU time of this thread: the build machines are shared, so wall time
    // would mostly measure the neighbours.
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    f();
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    const double s = static_cast<double>(b.tv_sec - a.tv_sec) + 1e-9 * static_cast<double>(b.tv_nsec - a.tv_nsec);
    best = s < best ? s : best;
  }
  return best;
}

int main(int argc, char** argv) {
  const bool planner_only = argc > 1;  // for profiling
  const int count = 100000;
  for (const int64_t n : {20, 30}) {
    const std::vector<GateRecord> gates = random_gates(n, count, 42 + n);
    const FusionOptions options;
    FusionPlan plan;
    const double fast = best_seconds(3, [&] { plan = plan_fusion_chunk(n, gates, options); });
    std::vector<std::vector<int64_t>> literal;
    const double slow = planner_only ? 1.0 : best_seconds(1, [&] { literal = literal_groups(n, gates, options); });
    bool same = planner_only || literal.size() == plan.groups.size();
    for (std::size_t i = 0; same && !planner_only && i < literal.size(); ++i)
      same = literal[i] == plan.groups[i].gate_indices;
    uint64_t groups[3] = {0, 0, 0}, records[3] = {0, 0, 0}, active[3] = {0, 0, 0};
    for (const FusedGroup& g : plan.groups) {
      groups[g.kind] += 1;
      records[g.kind] += g.kind == AutoPair ? 1 : g.records.size();
      active[g.kind] += g.active_qubits.size();
    }
    std::printf("n=%lld gates=%d  planner %.3f s cpu = %.2f M gates/s   ordered sets %.3f s cpu = %.2f M gates/s   same groups: %s\n",
                static_cast<long long>(n), count, fast, count / fast / 1e6, slow, count / slow / 1e6,
                same ? "yes" : "NO");
    const char* names[3] = {"AutoPair", "SparseShareMem", "DenseMM"};
    for (int k = 0; k < 3; ++k)
      std::printf("    %-15s groups %7llu  gates %7llu  mean active qubits %.2f\n", names[k],
                  static_cast<unsigned long long>(groups[k]), static_cast<unsigned long long>(records[k]),
                  groups[k] ? static_cast<double>(active[k]) / groups[k] : 0.0);
  }
  return 0;
}
