// The executor's fusion route: plan the prepared run into groups, upload the
// fused records once, then launch group after group.
#pragma once

#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "density_operation.h"
#include "prepared_operation.h"

namespace qalvane::rhomira {

// Launches the whole run on the default stream; operations[i] was lowered to
// prepared[i], whose matrices lie in pool.
template <typename T>
void run_fused_operations(const std::vector<DensityOperation>& operations,
                          const std::vector<PreparedOperation>& prepared, int64_t n,
                          CuComplex<T>* rho, const CuComplex<T>* pool);

}  // namespace qalvane::rhomira
