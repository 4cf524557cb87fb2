// Kernel modes of the state-vector module.
#pragma once

#include <cstdint>

namespace tovrek {

enum class KernelMode : int32_t { AllState = 0, Pair = 1, PairAuto = 2, PairAutoFusion = 3 };

}  // namespace tovrek
