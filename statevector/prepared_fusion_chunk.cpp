#include "prepared_fusion_chunk.h"

#include <utility>

namespace tovrek {

PreparedFusionChunk::PreparedFusionChunk(int64_t n, std::vector<GateRecord> records)
    : n_(n), records_(std::move(records)) {}

void PreparedFusionChunk::plan(const fusion::FusionOptions& options,
                               const qalvane::InterruptCheck& interrupted) {
  plan_ = fusion::plan_fusion_chunk(n_, records_, options, interrupted);
}

}  // namespace tovrek
