// Host stand-in for the CUDA runtime subset used by qalvane's kernels: the
// same .cu sources compile with g++ against this header and run on the CPU.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---- Language extensions -------------------------------------------------
#define __global__
#define __device__
#define __host__
#define __constant__
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)
#define __grid_constant__
#define __align__(n) __attribute__((aligned(n)))
// One copy per OS thread: all fibers of a block share it, and blocks running
// on other OS threads (other launches) have their own.
#define __shared__ static thread_local

// ---- Vector types ----------------------------------------------------------
struct uint3 {
  unsigned int x, y, z;
};

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
      : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

struct __align__(8) float2 {
  float x, y;
};
struct __align__(16) double2 {
  double x, y;
};

inline uint3 make_uint3(unsigned int x, unsigned int y, unsigned int z) { return uint3{x, y, z}; }
inline float2 make_float2(float x, float y) { return float2{x, y}; }
inline double2 make_double2(double x, double y) { return double2{x, y}; }

// ---- Errors, streams, copy kinds --------------------------------------------
enum cudaError {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorCudartUnloading = 4,
  cudaErrorProfilerDisabled = 5,
  cudaErrorProfilerNotInitialized = 6,
  cudaErrorProfilerAlreadyStarted = 7,
  cudaErrorProfilerAlreadyStopped = 8,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidPitchValue = 12,
  cudaErrorInvalidSymbol = 13,
  cudaErrorInvalidHostPointer = 16,
  cudaErrorInvalidDevicePointer = 17,
  cudaErrorInvalidTexture = 18,
  cudaErrorInvalidTextureBinding = 19,
  cudaErrorInvalidChannelDescriptor = 20,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorAddressOfConstant = 22,
  cudaErrorTextureFetchFailed = 23,
  cudaErrorTextureNotBound = 24,
  cudaErrorSynchronizationError = 25,
  cudaErrorInvalidFilterSetting = 26,
  cudaErrorInvalidNormSetting = 27,
  cudaErrorMixedDeviceExecution = 28,
  cudaErrorNotYetImplemented = 31,
  cudaErrorMemoryValueTooLarge = 32,
  cudaErrorStubLibrary = 34,
  cudaErrorInsufficientDriver = 35,
  cudaErrorCallRequiresNewerDriver = 36,
  cudaErrorInvalidSurface = 37,
  cudaErrorDuplicateVariableName = 43,
  cudaErrorDuplicateTextureName = 44,
  cudaErrorDuplicateSurfaceName = 45,
  cudaErrorDevicesUnavailable = 46,
  cudaErrorIncompatibleDriverContext = 49,
  cudaErrorMissingConfiguration = 52,
  cudaErrorPriorLaunchFailure = 53,
  cudaErrorLaunchMaxDepthExceeded = 65,
  cudaErrorLaunchFileScopedTex = 66,
  cudaErrorLaunchFileScopedSurf = 67,
  cudaErrorSyncDepthExceeded = 68,
  cudaErrorLaunchPendingCountExceeded = 69,
  cudaErrorInvalidDeviceFunction = 98,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorDeviceNotLicensed = 102,
  cudaErrorSoftwareValidityNotEstablished = 103,
  cudaErrorStartupFailure = 127,
  cudaErrorInvalidKernelImage = 200,
  cudaErrorDeviceUninitialized = 201,
  cudaErrorMapBufferObjectFailed = 205,
  cudaErrorUnmapBufferObjectFailed = 206,
  cudaErrorArrayIsMapped = 207,
  cudaErrorAlreadyMapped = 208,
  cudaErrorNoKernelImageForDevice = 209,
  cudaErrorAlreadyAcquired = 210,
  cudaErrorNotMapped = 211,
  cudaErrorNotMappedAsArray = 212,
  cudaErrorNotMappedAsPointer = 213,
  cudaErrorECCUncorrectable = 214,
  cudaErrorUnsupportedLimit = 215,
  cudaErrorDeviceAlreadyInUse = 216,
  cudaErrorPeerAccessUnsupported = 217,
  cudaErrorInvalidPtx = 218,
  cudaErrorInvalidGraphicsContext = 219,
  cudaErrorNvlinkUncorrectable = 220,
  cudaErrorJitCompilerNotFound = 221,
  cudaErrorUnsupportedPtxVersion = 222,
  cudaErrorJitCompilationDisabled = 223,
  cudaErrorUnsupportedExecAffinity = 224,
  cudaErrorUnsupportedDevSideSync = 225,
  cudaErrorContained = 226,
  cudaErrorInvalidSource = 300,
  cudaErrorFileNotFound = 301,
  cudaErrorSharedObjectSymbolNotFound = 302,
  cudaErrorSharedObjectInitFailed = 303,
  cudaErrorOperatingSystem = 304,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorIllegalState = 401,
  cudaErrorLossyQuery = 402,
  cudaErrorSymbolNotFound = 500,
  cudaErrorNotReady = 600,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchOutOfResources = 701,
  cudaErrorLaunchTimeout = 702,
  cudaErrorLaunchIncompatibleTexturing = 703,
  cudaErrorPeerAccessAlreadyEnabled = 704,
  cudaErrorPeerAccessNotEnabled = 705,
  cudaErrorSetOnActiveProcess = 708,
  cudaErrorContextIsDestroyed = 709,
  cudaErrorAssert = 710,
  cudaErrorTooManyPeers = 711,
  cudaErrorHostMemoryAlreadyRegistered = 712,
  cudaErrorHostMemoryNotRegistered = 713,
  cudaErrorHardwareStackError = 714,
  cudaErrorIllegalInstruction = 715,
  cudaErrorMisalignedAddress = 716,
  cudaErrorInvalidAddressSpace = 717,
  cudaErrorInvalidPc = 718,
  cudaErrorLaunchFailure = 719,
  cudaErrorCooperativeLaunchTooLarge = 720,
  cudaErrorTensorMemoryLeak = 721,
  cudaErrorNotPermitted = 800,
  cudaErrorNotSupported = 801,
  cudaErrorSystemNotReady = 802,
  cudaErrorSystemDriverMismatch = 803,
  cudaErrorCompatNotSupportedOnDevice = 804,
  cudaErrorMpsConnectionFailed = 805,
  cudaErrorMpsRpcFailure = 806,
  cudaErrorMpsServerNotReady = 807,
  cudaErrorMpsMaxClientsReached = 808,
  cudaErrorMpsMaxConnectionsReached = 809,
  cudaErrorMpsClientTerminated = 810,
  cudaErrorCdpNotSupported = 811,
  cudaErrorCdpVersionMismatch = 812,
  cudaErrorStreamCaptureUnsupported = 900,
  cudaErrorStreamCaptureInvalidated = 901,
  cudaErrorStreamCaptureMerge = 902,
  cudaErrorStreamCaptureUnmatched = 903,
  cudaErrorStreamCaptureUnjoined = 904,
  cudaErrorStreamCaptureIsolation = 905,
  cudaErrorStreamCaptureImplicit = 906,
  cudaErrorCapturedEvent = 907,
  cudaErrorStreamCaptureWrongThread = 908,
  cudaErrorTimeout = 909,
  cudaErrorGraphExecUpdateFailure = 910,
  cudaErrorExternalDevice = 911,
  cudaErrorInvalidClusterSize = 912,
  cudaErrorFunctionNotLoaded = 913,
  cudaErrorInvalidResourceType = 914,
  cudaErrorInvalidResourceConfiguration = 915,
  cudaErrorUnknown = 999,
  cudaErrorApiFailureBase = 10000
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4
};

typedef struct CUstream_st* cudaStream_t;
#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)

#define cudaHostRegisterDefault 0x00
#define cudaHostRegisterPortable 0x01
#define cudaHostRegisterMapped 0x02
#define cudaHostRegisterIoMemory 0x04
#define cudaHostRegisterReadOnly 0x08

// ---- Runtime API ---------------------------------------------------------------
extern "C" {
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaMalloc(void** devPtr, std::size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemset(void* devPtr, int value, std::size_t count);
cudaError_t cudaMemsetAsync(void* devPtr, int value, std::size_t count, cudaStream_t stream = 0);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count,
                            enum cudaMemcpyKind kind, cudaStream_t stream = 0);
cudaError_t cudaHostRegister(void* ptr, std::size_t size, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaGetLastError(void);
cudaError_t cudaPeekAtLastError(void);
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize(void);
}

template <class T>
inline cudaError_t cudaMalloc(T** devPtr, std::size_t size) {
  return ::cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}

// ---- Kernel-side built-ins ---------------------------------------------------
namespace hostcuda {
namespace detail {
struct Builtins {
  uint3 thread_idx;
  uint3 block_idx;
  dim3 block_dim;
  dim3 grid_dim;
};
// Values of the thread now running on this OS thread.
extern __thread Builtins builtins;
}  // namespace detail

// Called by qalvane::launch_kernel: records the launch of `kernel` (the
// kernel function's address, for the launch table), checks the configuration
// and runs every thread of the grid through run(ctx) before returning.
void launch(const void* kernel, dim3 grid, dim3 block, std::size_t shmem, cudaStream_t stream,
            void (*run)(const void* ctx), const void* ctx);
// The dynamic shared memory of the running launch.
void* dynamic_shared_memory();
}  // namespace hostcuda

#define threadIdx (static_cast<const uint3&>(::hostcuda::detail::builtins.thread_idx))
#define blockIdx (static_cast<const uint3&>(::hostcuda::detail::builtins.block_idx))
#define blockDim (static_cast<const dim3&>(::hostcuda::detail::builtins.block_dim))
#define gridDim (static_cast<const dim3&>(::hostcuda::detail::builtins.grid_dim))
constexpr int warpSize = 32;

void __syncthreads();
void __syncwarp(unsigned int mask = 0xffffffffu);

// Warp shuffles: the lanes of a warp meet at a warp barrier and each reads
// the value that its source lane offered. Only the full mask is supported;
// any other fails the launch, as does a shuffle on the fast path.
namespace hostcuda::detail {
// Offers the `bytes` bytes at `value` and replaces them by those lane
// `source` of the same warp offered.
void warp_shuffle(unsigned mask, void* value, std::size_t bytes, unsigned source);
inline unsigned lane_id() {
  const Builtins& b = builtins;
  return (b.thread_idx.x + b.block_dim.x * (b.thread_idx.y + b.block_dim.y * b.thread_idx.z)) %
         32u;
}
template <class T>
inline T shuffle_from(unsigned mask, T var, unsigned source) {
  static_assert(std::is_arithmetic_v<T> && (sizeof(T) == 4 || sizeof(T) == 8),
                "shuffles carry 32- and 64-bit arithmetic values");
  warp_shuffle(mask, &var, sizeof(T), source);
  return var;
}
// First lane of the caller's segment of `width` lanes (a power of two).
inline unsigned segment_base(int width) { return lane_id() & ~(static_cast<unsigned>(width) - 1u); }
}  // namespace hostcuda::detail

template <class T>
inline T __shfl_sync(unsigned mask, T var, int src_lane, int width = warpSize) {
  using namespace hostcuda::detail;
  return shuffle_from(mask, var,
                      segment_base(width) + (static_cast<unsigned>(src_lane) & (width - 1u)));
}
template <class T>
inline T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = warpSize) {
  using namespace hostcuda::detail;
  const unsigned lane = lane_id();
  return shuffle_from(mask, var, lane - segment_base(width) >= delta ? lane - delta : lane);
}
template <class T>
inline T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = warpSize) {
  using namespace hostcuda::detail;
  const unsigned lane = lane_id();
  return shuffle_from(mask, var,
                      lane - segment_base(width) + delta < static_cast<unsigned>(width) ? lane + delta
                                                                                        : lane);
}
// A source in a later segment gives the caller's own value.
template <class T>
inline T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = warpSize) {
  using namespace hostcuda::detail;
  const unsigned lane = lane_id();
  const unsigned source = lane ^ static_cast<unsigned>(lane_mask);
  return shuffle_from(mask, var, source < segment_base(width) + width ? source : lane);
}
inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_block() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

template <class T>
inline T __ldg(const T* p) {
  return *p;
}

// Atomics are real atomics: launches on other OS threads may touch the same memory.
inline int atomicAdd(int* address, int val) {
  return __atomic_fetch_add(address, val, __ATOMIC_RELAXED);
}
inline unsigned int atomicAdd(unsigned int* address, unsigned int val) {
  return __atomic_fetch_add(address, val, __ATOMIC_RELAXED);
}
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long val) {
  return __atomic_fetch_add(address, val, __ATOMIC_RELAXED);
}
template <class F>
inline F hostcuda_atomic_add_float(F* address, F val) {
  F old;
  __atomic_load(address, &old, __ATOMIC_RELAXED);
  F sum = old + val;
  while (!__atomic_compare_exchange(address, &old, &sum, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
    sum = old + val;
  return old;
}
inline float atomicAdd(float* address, float val) { return hostcuda_atomic_add_float(address, val); }
inline double atomicAdd(double* address, double val) {
  return hostcuda_atomic_add_float(address, val);
}
inline int atomicExch(int* address, int val) {
  return __atomic_exchange_n(address, val, __ATOMIC_RELAXED);
}
inline unsigned int atomicExch(unsigned int* address, unsigned int val) {
  return __atomic_exchange_n(address, val, __ATOMIC_RELAXED);
}
inline unsigned long long atomicExch(unsigned long long* address, unsigned long long val) {
  return __atomic_exchange_n(address, val, __ATOMIC_RELAXED);
}
template <class I>
inline I hostcuda_atomic_cas(I* address, I compare, I val) {
  __atomic_compare_exchange_n(address, &compare, val, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  return compare;
}
inline int atomicCAS(int* address, int compare, int val) {
  return hostcuda_atomic_cas(address, compare, val);
}
inline unsigned int atomicCAS(unsigned int* address, unsigned int compare, unsigned int val) {
  return hostcuda_atomic_cas(address, compare, val);
}
inline unsigned long long atomicCAS(unsigned long long* address, unsigned long long compare,
                                    unsigned long long val) {
  return hostcuda_atomic_cas(address, compare, val);
}

// sincos, sincosf, sinf and cosf come from glibc's <math.h>; CUDA adds a float overload.
inline void sincos(float x, float* s, float* c) { sincosf(x, s, c); }
