// The executor: validates and lowers a whole operation list, uploads every
// matrix of the run in one pool, launches in list order and synchronises once.
#pragma once

#include <cstdint>
#include <vector>

#include "cu_complex.h"
#include "density_operation.h"
#include "prepared_operation.h"
#include "rhomira_device_state.h"

namespace qalvane::rhomira {

// QALVANE_DENSITY_FUSION, read on every call: on when set and its first
// character is neither '0' nor the end of the string.
bool density_fusion_requested();

// Fills one PreparedOperation, appending its matrix or Kraus set to the pool;
// raises the operation's validation error.
template <typename T>
void prepare_operation(const DensityOperation& operation, int64_t n,
                       std::vector<CuComplex<T>>& pool, PreparedOperation& out);

// Launches one prepared operation (never a skipped one) on the default stream.
template <typename T>
void dispatch_operation(const PreparedOperation& prepared, CuComplex<T>* rho, int64_t dim,
                        const CuComplex<T>* pool);

template <typename T>
void execute_operations(DeviceDensityState& state, int64_t n,
                        const std::vector<DensityOperation>& operations, bool fusion);

}  // namespace qalvane::rhomira
