// Shape checks of the fused executors that plans made by the planner never
// reach; they must refuse before any launch.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "densemm.h"
#include "fusion_execute.h"
#include "sparsesharemem.cuh"

namespace tovrek::fusion {
namespace {

template <typename F>
std::string invalid_argument_text(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no invalid_argument";
}

TEST(FusionExecutors, SparseShareMemRefusesBadShapes) {
  EXPECT_EQ(invalid_argument_text([] { cu_sparsesharemem<double>(12, nullptr, 0x7ff, 11, nullptr, 1, 0); }),
            "SparseShareMem active qubits must be in [1, 10]");
  EXPECT_EQ(invalid_argument_text([] { cu_sparsesharemem<float>(12, nullptr, 0, 0, nullptr, 1, 0); }),
            "SparseShareMem active qubits must be in [1, 10]");
  EXPECT_EQ(invalid_argument_text([] { cu_sparsesharemem<float>(3, nullptr, 0xf, 4, nullptr, 1, 0); }),
            "SparseShareMem active qubits exceed circuit size");
  EXPECT_EQ(invalid_argument_text([] { cu_sparsesharemem<double>(3, nullptr, 0x3, 2, nullptr, 0, 0); }),
            "SparseShareMem group cannot be empty");
}

TEST(FusionExecutors, DenseMMRefusesAllOrNoQubits) {
  for (const int32_t k : {0, 4, 5}) {
    EXPECT_EQ(invalid_argument_text([k] {
                cu_densemm<double>(nullptr, 4, nullptr, nullptr, nullptr, 0xf, k, nullptr, 0);
              }),
              "DenseMM active qubits must be in [1, n-1]");
  }
}

TEST(FusionExecutors, AutoPairGroupHasNoWorkspaceRoute) {
  const FusionPlan empty;
  const FusionWorkspace<float> workspace(3, empty);
  FusedGroup group;
  group.kind = AutoPair;
  group.gate_indices = {0};
  group.active_qubits = {1};
  EXPECT_EQ(invalid_argument_text([&] { execute_fused_group<float>(3, nullptr, group, workspace); }),
            "AutoPair group cannot use fusion workspace");
}

}  // namespace
}  // namespace tovrek::fusion
