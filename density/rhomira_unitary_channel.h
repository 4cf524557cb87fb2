// A one-qubit unitary followed by a built-in channel on the same qubit, in
// one pass over rho.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "cu_complex.h"
#include "density_operation.h"
#include "device_targets.h"

namespace qalvane::rhomira {

template <typename T>
void launch_unitary_channel(CuComplex<T>* rho, int64_t dim, const CuComplex<T>* u,
                            density::ChannelKind kind, T p, const DeviceTargets& targets,
                            cudaStream_t stream);

}  // namespace qalvane::rhomira
