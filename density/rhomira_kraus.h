// Built-in noise channels in closed form and general Kraus sets on 1 to 3
// qubits: rho -> sum_k K_k rho K_k^dagger, in place.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "cu_complex.h"
#include "density_operation.h"
#include "device_targets.h"

namespace qalvane::rhomira {

template <typename T>
void launch_channel(CuComplex<T>* rho, int64_t dim, uint64_t target_mask, density::ChannelKind kind,
                    T p, cudaStream_t stream);

// kraus points at count operators of 2^m x 2^m, operator after operator.
template <typename T>
void launch_kraus(CuComplex<T>* rho, int64_t dim, int64_t count, const CuComplex<T>* kraus,
                  const DeviceTargets& targets, cudaStream_t stream);

}  // namespace qalvane::rhomira
