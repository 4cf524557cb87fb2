// cuBLAS gemm against a naive column-major reference; status codes.
#include <cublas_v2.h>

#include <complex>
#include <random>
#include <tuple>

#include "helpers.h"

namespace {

namespace control = hostcuda::control;

template <class C>
struct Traits;
template <>
struct Traits<cuComplex> {
  using Complex = std::complex<float>;
  static constexpr double kTolerance = 1e-4;
  static cublasStatus_t gemm(cublasHandle_t h, cublasOperation_t ta, cublasOperation_t tb, int m,
                             int n, int k, const cuComplex* alpha, const cuComplex* A, int lda,
                             const cuComplex* B, int ldb, const cuComplex* beta, cuComplex* C,
                             int ldc) {
    return cublasCgemm(h, ta, tb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
  }
};
template <>
struct Traits<cuDoubleComplex> {
  using Complex = std::complex<double>;
  static constexpr double kTolerance = 1e-12;
  static cublasStatus_t gemm(cublasHandle_t h, cublasOperation_t ta, cublasOperation_t tb, int m,
                             int n, int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A,
                             int lda, const cuDoubleComplex* B, int ldb,
                             const cuDoubleComplex* beta, cuDoubleComplex* C, int ldc) {
    return cublasZgemm(h, ta, tb, m, n, k, alpha, A, lda, B, ldb, beta, C, ldc);
  }
};

template <class Complex>
Complex op_at(const std::vector<Complex>& a, int ld, cublasOperation_t op, int row, int col) {
  if (op == CUBLAS_OP_N) return a[row + col * ld];
  const Complex v = a[col + row * ld];
  return op == CUBLAS_OP_C ? std::conj(v) : v;
}

template <class C>
void check_gemm(cublasOperation_t ta, cublasOperation_t tb) {
  using T = Traits<C>;
  using Complex = typename T::Complex;
  const int m = 5, n = 3, k = 4;
  const int rows_a = ta == CUBLAS_OP_N ? m : k, cols_a = ta == CUBLAS_OP_N ? k : m;
  const int rows_b = tb == CUBLAS_OP_N ? k : n, cols_b = tb == CUBLAS_OP_N ? n : k;
  const int lda = rows_a + 2, ldb = rows_b + 1, ldc = m + 3;
  std::mt19937 rng(17);
  std::uniform_real_distribution<double> u(-1, 1);
  auto random_matrix = [&](std::size_t size) {
    std::vector<Complex> v(size);
    for (auto& z : v) z = Complex(u(rng), u(rng));
    return v;
  };
  const auto a = random_matrix(static_cast<std::size_t>(lda) * cols_a);
  const auto b = random_matrix(static_cast<std::size_t>(ldb) * cols_b);
  const auto c = random_matrix(static_cast<std::size_t>(ldc) * n);
  const Complex alpha(0.75, -0.5), beta(-0.25, 1.5);

  std::vector<Complex> expected = c;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < m; ++i) {
      Complex sum = 0;
      for (int p = 0; p < k; ++p) sum += op_at(a, lda, ta, i, p) * op_at(b, ldb, tb, p, j);
      expected[i + j * ldc] = alpha * sum + beta * c[i + j * ldc];
    }

  DeviceArray<Complex> d_a(a), d_b(b), d_c(c);
  cublasHandle_t handle = nullptr;
  ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
  ASSERT_EQ(cublasSetStream(handle, nullptr), CUBLAS_STATUS_SUCCESS);
  const C alpha_c{alpha.real(), alpha.imag()}, beta_c{beta.real(), beta.imag()};
  EXPECT_EQ(T::gemm(handle, ta, tb, m, n, k, &alpha_c, reinterpret_cast<const C*>(d_a.get()), lda,
                    reinterpret_cast<const C*>(d_b.get()), ldb, &beta_c,
                    reinterpret_cast<C*>(d_c.get()), ldc),
            CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cublasDestroy(handle), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  const std::vector<Complex> got = d_c.download();
  for (std::size_t i = 0; i < got.size(); ++i)
    EXPECT_LT(std::abs(got[i] - expected[i]), T::kTolerance) << "element " << i;
}

class Gemm : public HostCudaTest,
             public ::testing::WithParamInterface<std::tuple<cublasOperation_t, cublasOperation_t>> {
};

TEST_P(Gemm, ComplexFloatMatchesReference) {
  check_gemm<cuComplex>(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

TEST_P(Gemm, ComplexDoubleMatchesReference) {
  check_gemm<cuDoubleComplex>(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Ops, Gemm,
                         ::testing::Combine(::testing::Values(CUBLAS_OP_N, CUBLAS_OP_T, CUBLAS_OP_C),
                                            ::testing::Values(CUBLAS_OP_N, CUBLAS_OP_T,
                                                              CUBLAS_OP_C)));

class Cublas : public HostCudaTest {
 protected:
  void SetUp() override {
    HostCudaTest::SetUp();
    ASSERT_EQ(cublasCreate(&handle_), CUBLAS_STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(cublasDestroy(handle_), CUBLAS_STATUS_SUCCESS);
    HostCudaTest::TearDown();
  }
  cublasStatus_t zgemm(cublasHandle_t h, cublasOperation_t ta, cublasOperation_t tb, int m, int n,
                       int k, int lda, int ldb, int ldc, const cuDoubleComplex* A,
                       const cuDoubleComplex* B, cuDoubleComplex* C,
                       cuDoubleComplex beta = make_cuDoubleComplex(0, 0)) {
    const cuDoubleComplex alpha = make_cuDoubleComplex(1, 0);
    return cublasZgemm(h, ta, tb, m, n, k, &alpha, A, lda, B, ldb, &beta, C, ldc);
  }
  cublasHandle_t handle_ = nullptr;
};

TEST_F(Cublas, StatusCodesHaveCublasValues) {
  EXPECT_EQ(CUBLAS_STATUS_SUCCESS, 0);
  EXPECT_EQ(CUBLAS_STATUS_NOT_INITIALIZED, 1);
  EXPECT_EQ(CUBLAS_STATUS_ALLOC_FAILED, 3);
  EXPECT_EQ(CUBLAS_STATUS_INVALID_VALUE, 7);
  EXPECT_EQ(CUBLAS_STATUS_EXECUTION_FAILED, 13);
  EXPECT_EQ(CUBLAS_OP_N, 0);
  EXPECT_EQ(CUBLAS_OP_T, 1);
  EXPECT_EQ(CUBLAS_OP_C, 2);
}

TEST_F(Cublas, InvalidArgumentsAreRejectedBeforeAnyWork) {
  DeviceArray<cuDoubleComplex> a(16), b(16), c(16);
  ASSERT_EQ(cudaMemset(c.get(), 0, c.bytes()), cudaSuccess);
  const auto bad_op = static_cast<cublasOperation_t>(3);
  const auto N = CUBLAS_OP_N, T = CUBLAS_OP_T;
  struct Case {
    cublasOperation_t ta, tb;
    int m, n, k, lda, ldb, ldc;
  };
  for (const Case& x : {Case{N, N, -1, 2, 2, 2, 2, 2}, Case{N, N, 2, -1, 2, 2, 2, 2},
                        Case{N, N, 2, 2, -1, 2, 2, 2}, Case{N, N, 4, 2, 2, 3, 2, 4},
                        Case{T, N, 4, 2, 3, 2, 3, 4}, Case{N, N, 2, 2, 4, 2, 3, 2},
                        Case{N, T, 2, 3, 2, 2, 2, 2}, Case{N, N, 4, 2, 2, 4, 2, 3},
                        Case{N, N, 0, 2, 2, 0, 2, 2}, Case{bad_op, N, 2, 2, 2, 2, 2, 2},
                        Case{N, bad_op, 2, 2, 2, 2, 2, 2}})
    EXPECT_EQ(zgemm(handle_, x.ta, x.tb, x.m, x.n, x.k, x.lda, x.ldb, x.ldc, a.get(), b.get(),
                    c.get()),
              CUBLAS_STATUS_INVALID_VALUE)
        << x.m << "x" << x.n << "x" << x.k << " ld " << x.lda << "," << x.ldb << "," << x.ldc;
  for (const cuDoubleComplex& z : c.download()) EXPECT_EQ(z.x, 0.0);
  const cuDoubleComplex one = make_cuDoubleComplex(1, 0);
  EXPECT_EQ(cublasZgemm(handle_, N, N, 2, 2, 2, nullptr, a.get(), 2, b.get(), 2, &one, c.get(), 2),
            CUBLAS_STATUS_INVALID_VALUE);
}

TEST_F(Cublas, HandlesMustBeLive) {
  DeviceArray<cuDoubleComplex> a(4), b(4), c(4);
  EXPECT_EQ(zgemm(nullptr, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, 2, 2, 2, a.get(), b.get(), c.get()),
            CUBLAS_STATUS_NOT_INITIALIZED);
  cublasHandle_t other = nullptr;
  ASSERT_EQ(cublasCreate(&other), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(control::live_cublas_handles(), 2u);
  ASSERT_EQ(cublasDestroy(other), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(control::live_cublas_handles(), 1u);
  EXPECT_EQ(cublasDestroy(other), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(cublasSetStream(other, nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(zgemm(other, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, 2, 2, 2, a.get(), b.get(), c.get()),
            CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(cublasDestroy(nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(cublasCreate(nullptr), CUBLAS_STATUS_INVALID_VALUE);
}

TEST_F(Cublas, BetaZeroIgnoresGarbageInC) {
  // Fresh allocations hold NaN bytes; beta = 0 must not propagate them.
  const std::vector<cuDoubleComplex> ones(4, make_cuDoubleComplex(1, 0));
  DeviceArray<cuDoubleComplex> a(ones), b(ones), c(4);
  ASSERT_EQ(zgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, 2, 2, 2, a.get(), b.get(), c.get()),
            CUBLAS_STATUS_SUCCESS);
  for (const cuDoubleComplex& z : c.download()) {
    EXPECT_EQ(z.x, 2.0);
    EXPECT_EQ(z.y, 0.0);
  }
}

TEST_F(Cublas, EmptyProductsLeaveCAlone) {
  DeviceArray<cuDoubleComplex> a(4), b(4), c(std::vector<cuDoubleComplex>(4, {3, 4}));
  EXPECT_EQ(zgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 0, 2, 2, 1, 2, 1, a.get(), b.get(), c.get()),
            CUBLAS_STATUS_SUCCESS);
  // k = 0: C = beta * C, and A and B are not read.
  EXPECT_EQ(zgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 0, 2, 1, 2, nullptr, nullptr, c.get(),
                  make_cuDoubleComplex(2, 0)),
            CUBLAS_STATUS_SUCCESS);
  for (const cuDoubleComplex& z : c.download()) {
    EXPECT_EQ(z.x, 6.0);
    EXPECT_EQ(z.y, 8.0);
  }
}

TEST_F(Cublas, HostOperandsFaultAsynchronously) {
  DeviceArray<cuDoubleComplex> a(4), c(std::vector<cuDoubleComplex>(4, {3, 4}));
  std::vector<cuDoubleComplex> host_b(4, {1, 0});
  EXPECT_EQ(zgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, 2, 2, 2, a.get(), host_b.data(),
                  c.get()),
            CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
  // C past the end of its allocation (ldc 3 needs 5 elements).
  EXPECT_EQ(zgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, 2, 2, 3, a.get(), a.get(), c.get()),
            CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
  for (const cuDoubleComplex& z : c.download()) EXPECT_EQ(z.x, 3.0);
}

TEST_F(Cublas, InjectedStatusesByName) {
  DeviceArray<cuDoubleComplex> a(4), b(4), c(4);
  control::fail_nth("cublasZgemm", 1, CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(zgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 2, 2, 2, 2, 2, 2, a.get(), b.get(), c.get()),
            CUBLAS_STATUS_EXECUTION_FAILED);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // cuBLAS statuses are not CUDA errors
  control::fail_nth("cublasCreate", 1, CUBLAS_STATUS_ALLOC_FAILED);
  cublasHandle_t other = nullptr;
  EXPECT_EQ(cublasCreate(&other), CUBLAS_STATUS_ALLOC_FAILED);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(control::live_cublas_handles(), 1u);
  control::fail_nth("cublasCgemm", 1, CUBLAS_STATUS_ARCH_MISMATCH);
  const cuComplex one = make_cuComplex(1, 0);
  EXPECT_EQ(cublasCgemm(handle_, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, &one, nullptr, 1, nullptr, 1,
                        &one, nullptr, 1),
            CUBLAS_STATUS_ARCH_MISMATCH);
  control::fail_nth("cublasSetStream", 1, CUBLAS_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(cublasSetStream(handle_, nullptr), CUBLAS_STATUS_INTERNAL_ERROR);
  EXPECT_EQ(control::call_count("cublasZgemm"), 1u);
  EXPECT_EQ(control::call_count("cublasCreate"), 2u);
}

}  // namespace
