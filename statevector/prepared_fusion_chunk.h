// A chunk planned on the CPU, executable any number of times on any state of
// its qubit count and of either precision.
#pragma once

#include <cstdint>
#include <vector>

#include "fusion.h"
#include "gate_record.h"
#include "interrupt_check.h"

namespace tovrek {

class PreparedFusionChunk {
 public:
  PreparedFusionChunk(int64_t n, std::vector<GateRecord> records);

  // Plans the records; called once, before the chunk is shared.
  void plan(const fusion::FusionOptions& options, const qalvane::InterruptCheck& interrupted);

  int64_t n() const { return n_; }
  int64_t gate_count() const { return static_cast<int64_t>(records_.size()); }
  const std::vector<GateRecord>& records() const { return records_; }
  const fusion::FusionPlan& fusion_plan() const { return plan_; }

 private:
  int64_t n_;
  std::vector<GateRecord> records_;
  fusion::FusionPlan plan_;
};

}  // namespace tovrek
