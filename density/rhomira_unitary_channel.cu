#include "rhomira_unitary_channel.h"

#include <stdexcept>

#include "cuda_error.h"
#include "launch.cuh"
#include "density_geometry.h"
#include "rhomira_channel_block.cuh"
#include "rhomira_complex.h"

namespace qalvane::rhomira {

using density::ChannelKind;

template <typename T, ChannelKind Kind>
__global__ void unitary_channel_kernel(CuComplex<T>* rho, int64_t dim, DeviceTargets targets,
                                       const CuComplex<T>* u, T p) {
  const uint64_t d = static_cast<uint64_t>(dim);
  const uint64_t half = d / 2;
  const uint64_t work = half * half;
  const uint64_t q = uint64_t{1} << targets.targets[0];
  const uint64_t step = static_cast<uint64_t>(blockDim.x) * gridDim.x;
  const CuComplex<T> u00 = u[0], u01 = u[1], u10 = u[2], u11 = u[3];
  for (uint64_t t = static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; t < work;
       t += step) {
    const uint64_t rb = expand_rest(targets, t / half);
    const uint64_t cb = expand_rest(targets, t % half);
    CuComplex<T>* row0 = rho + rb * d;
    CuComplex<T>* row1 = rho + (rb | q) * d;
    const CuComplex<T> b00 = row0[cb], b01 = row0[cb | q];
    const CuComplex<T> b10 = row1[cb], b11 = row1[cb | q];
    // T1 = U B
    CuComplex<T> l00 = cmul(u00, b00), l01 = cmul(u00, b01);
    CuComplex<T> l10 = cmul(u10, b00), l11 = cmul(u10, b01);
    l00 = cadd(l00, cmul(u01, b10));
    l01 = cadd(l01, cmul(u01, b11));
    l10 = cadd(l10, cmul(u11, b10));
    l11 = cadd(l11, cmul(u11, b11));
    // B' = T1 U^dagger
    CuComplex<T> a00 = cmul_conj(l00, u00), a01 = cmul_conj(l00, u10);
    CuComplex<T> a10 = cmul_conj(l10, u00), a11 = cmul_conj(l10, u10);
    a00 = cadd(a00, cmul_conj(l01, u01));
    a01 = cadd(a01, cmul_conj(l01, u11));
    a10 = cadd(a10, cmul_conj(l11, u01));
    a11 = cadd(a11, cmul_conj(l11, u11));
    apply_channel_block<T, Kind>(a00, a01, a10, a11, p);
    row0[cb] = a00;
    row0[cb | q] = a01;
    row1[cb] = a10;
    row1[cb | q] = a11;
  }
}

template <typename T>
void launch_unitary_channel(CuComplex<T>* rho, int64_t dim, const CuComplex<T>* u,
                            ChannelKind kind, T p, const DeviceTargets& targets,
                            cudaStream_t stream) {
  const uint64_t half = static_cast<uint64_t>(dim) / 2;
  const dim3 grid = linear_grid(half * half);
  const dim3 block(kDensityThreads);
  switch (kind) {
    case ChannelKind::BitFlip:
      launch_kernel(unitary_channel_kernel<T, ChannelKind::BitFlip>, grid, block, 0, stream, rho,
                    dim, targets, u, p);
      break;
    case ChannelKind::PhaseFlip:
      launch_kernel(unitary_channel_kernel<T, ChannelKind::PhaseFlip>, grid, block, 0, stream, rho,
                    dim, targets, u, p);
      break;
    case ChannelKind::Depolarizing:
      launch_kernel(unitary_channel_kernel<T, ChannelKind::Depolarizing>, grid, block, 0, stream,
                    rho, dim, targets, u, p);
      break;
    case ChannelKind::AmplitudeDamping:
      launch_kernel(unitary_channel_kernel<T, ChannelKind::AmplitudeDamping>, grid, block, 0,
                    stream, rho, dim, targets, u, p);
      break;
    case ChannelKind::PhaseDamping:
      launch_kernel(unitary_channel_kernel<T, ChannelKind::PhaseDamping>, grid, block, 0, stream,
                    rho, dim, targets, u, p);
      break;
    default:
      throw std::runtime_error("unknown noise channel kind");
  }
  check_launch("unitary_channel kernel launch failed: ");
}

template void launch_unitary_channel<float>(CuComplex<float>*, int64_t, const CuComplex<float>*,
                                            ChannelKind, float, const DeviceTargets&,
                                            cudaStream_t);
template void launch_unitary_channel<double>(CuComplex<double>*, int64_t,
                                             const CuComplex<double>*, ChannelKind, double,
                                             const DeviceTargets&, cudaStream_t);

}  // namespace qalvane::rhomira
