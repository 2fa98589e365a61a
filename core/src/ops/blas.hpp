#pragma once
// The one place that names OpenBLAS. scipy-openblas64 is built with 64-bit
// integers and renames every CBLAS symbol with a "scipy_" prefix and a "64_"
// suffix; a system OpenBLAS keeps the plain names.
#include <cblas.h>

#include <cstdint>

namespace zoltra::ops {

// Dimensions of 2^31 and more must reach OpenBLAS whole, so only a build with
// 64-bit integers will do.
static_assert(sizeof(blasint) == sizeof(std::int64_t), "OpenBLAS must be built with 64-bit integers (INTERFACE64)");

// C (m x n) = A (m x k) * B (k x n), row-major, no transposes, alpha 1, beta 0.
inline void cblas_sgemm_row_major(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t n,
                                  std::uint64_t k) noexcept {
  const auto bm = static_cast<blasint>(m), bn = static_cast<blasint>(n), bk = static_cast<blasint>(k);
#if ZOLTRA_CBLAS_PREFIX_SCIPY
  scipy_cblas_sgemm64_(CblasRowMajor, CblasNoTrans, CblasNoTrans, bm, bn, bk, 1.0f, a, bk, b, bn, 0.0f, c, bn);
#else
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, bm, bn, bk, 1.0f, a, bk, b, bn, 0.0f, c, bn);
#endif
}

}  // namespace zoltra::ops
