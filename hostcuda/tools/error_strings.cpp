// Prints every error code the real CUDA runtime knows, as rows of the table in
// src/errors.cpp. Needs no GPU:
//   g++ error_strings.cpp -I/usr/local/cuda/include -L/usr/local/cuda/lib64 -lcudart -o /tmp/es
//   LD_LIBRARY_PATH=/usr/local/cuda/lib64 /tmp/es
#include <cuda_runtime_api.h>

#include <cstdio>
#include <cstring>

int main() {
  for (int code = 0; code <= 10000; ++code) {
    const char* name = cudaGetErrorName(static_cast<cudaError_t>(code));
    if (std::strcmp(name, "unrecognized error code") == 0) continue;
    std::printf("    {%d, \"%s\", \"%s\"},\n", code, name,
                cudaGetErrorString(static_cast<cudaError_t>(code)));
  }
  return 0;
}
