#pragma once
// The one place that names OpenBLAS. scipy-openblas32 prefixes every CBLAS
// symbol with "scipy_"; a system OpenBLAS does not.
#include <cblas.h>

namespace zoltra::ops {

// C (m x n) = A (m x k) * B (k x n), row-major, no transposes, alpha 1, beta 0.
// Dimensions are passed as CBLAS's 32-bit integers (the low 32 bits).
inline void cblas_sgemm_row_major(const float* a, const float* b, float* c, int m, int n, int k) noexcept {
#if ZOLTRA_CBLAS_PREFIX_SCIPY
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a, k, b, n, 0.0f, c, n);
#else
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a, k, b, n, 0.0f, c, n);
#endif
}

}  // namespace zoltra::ops
