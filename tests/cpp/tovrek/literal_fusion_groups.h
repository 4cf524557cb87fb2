// The grouping rules of the planner written with ordered sets copied for
// every accepted gate: slow, but close to how the rules read. The planner must
// give the same groups; the planner benchmark also times it.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "fusion.h"

namespace tovrek::fusion {

inline std::vector<std::vector<int64_t>> literal_groups(int64_t n, const std::vector<GateRecord>& gates,
                                                 const FusionOptions& o) {
  std::set<int64_t> pending;
  for (int64_t i = 0; i < static_cast<int64_t>(gates.size()); ++i) pending.insert(i);
  std::vector<std::vector<int64_t>> out;
  while (!pending.empty()) {
    std::vector<std::set<int64_t>> cone(n);
    std::vector<uint64_t> cmask(n, 0);
    std::vector<bool> blocked(n, false);
    int64_t counted = 0;
    for (const int64_t h : pending) {
      if (counted + 1 > o.max_gates_per_group) break;
      const GateRecord& g = gates[h];
      bool fusable = g.controls.size() == g.control_state.size();
      if (g.gate_id == GATE_SWAP) {
        fusable = fusable && o.fuse_swap && g.targets.size() == 2 && g.targets[0] != g.targets[1];
      } else {
        Matrix2x2 m;
        fusable = fusable && gate_matrix_2x2(g, m);
      }
      if (!fusable) break;
      ++counted;
      std::set<int64_t> qs(g.targets.begin(), g.targets.end());
      qs.insert(g.controls.begin(), g.controls.end());
      std::set<int64_t> u;
      uint64_t mask = 0;
      bool rejected = false;
      for (const int64_t q : qs) {
        if (q < 0 || q >= n || blocked[q]) {
          rejected = true;
          break;
        }
        u.insert(cone[q].begin(), cone[q].end());
        mask |= (uint64_t{1} << q) | cmask[q];
      }
      if (!rejected && __builtin_popcountll(mask) > o.sparsesharemem_qubits) rejected = true;
      if (rejected) {
        for (const int64_t q : qs)
          if (q >= 0 && q < n) blocked[q] = true;
        continue;
      }
      u.insert(h);
      for (const int64_t q : qs) {
        cmask[q] = mask;
        cone[q] = u;
      }
    }
    std::set<int64_t> chosen_gates;
    uint64_t m = 0;
    std::vector<bool> chosen(n, false);
    for (;;) {
      int64_t e = -1;
      for (int64_t i = 0; i < n; ++i) {
        if (chosen[i] || cone[i].empty()) continue;
        if (__builtin_popcountll(m | cmask[i]) > o.sparsesharemem_qubits) continue;
        if (e < 0 || cone[i].size() > cone[e].size()) e = i;
      }
      if (e < 0) break;
      chosen_gates.insert(cone[e].begin(), cone[e].end());
      m |= cmask[e];
      chosen[e] = true;
      for (int64_t j = 0; j < n; ++j) {
        if (chosen[j]) continue;
        if ((cmask[j] & ~m) == 0) {
          chosen_gates.insert(cone[j].begin(), cone[j].end());
          chosen[j] = true;
        } else {
          for (const int64_t x : cone[e]) cone[j].erase(x);
        }
      }
    }
    std::vector<int64_t> group(chosen_gates.begin(), chosen_gates.end());
    if (group.empty()) group.push_back(*pending.begin());
    for (const int64_t x : group) pending.erase(x);
    out.push_back(group);
  }
  return out;
}

}  // namespace tovrek::fusion
