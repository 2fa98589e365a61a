#pragma once
// The one place that names OpenBLAS. scipy-openblas64 is built with 64-bit
// integers and renames every CBLAS symbol with a "scipy_" prefix and a "64_"
// suffix; a system OpenBLAS keeps the plain names. The library is not linked:
// it is loaded on the first call that needs it (blas.cpp), so that importing
// the module starts none of OpenBLAS's threads.
#include <cblas.h>

#include <cstdint>

namespace zoltra::ops {

// Dimensions of 2^31 and more must reach OpenBLAS whole, so only a build with
// 64-bit integers will do.
static_assert(sizeof(blasint) == sizeof(std::int64_t), "OpenBLAS must be built with 64-bit integers (INTERFACE64)");

#if ZOLTRA_CBLAS_PREFIX_SCIPY
#define ZOLTRA_OPENBLAS_SYMBOL(scipy_name, plain_name) scipy_name
#else
#define ZOLTRA_OPENBLAS_SYMBOL(scipy_name, plain_name) plain_name
#endif

// The functions we take from the library, typed by its header.
struct OpenBlas {
  decltype(&ZOLTRA_OPENBLAS_SYMBOL(scipy_cblas_sgemm64_, cblas_sgemm)) sgemm;
  decltype(&ZOLTRA_OPENBLAS_SYMBOL(scipy_openblas_get_num_threads64_, openblas_get_num_threads)) get_num_threads;
  decltype(&ZOLTRA_OPENBLAS_SYMBOL(scipy_openblas_set_num_threads64_, openblas_set_num_threads)) set_num_threads;
};

inline constexpr const char* kOpenBlasSymbols[] = {
    ZOLTRA_OPENBLAS_SYMBOL("scipy_cblas_sgemm64_", "cblas_sgemm"),
    ZOLTRA_OPENBLAS_SYMBOL("scipy_openblas_get_num_threads64_", "openblas_get_num_threads"),
    ZOLTRA_OPENBLAS_SYMBOL("scipy_openblas_set_num_threads64_", "openblas_set_num_threads"),
};

// Loads OpenBLAS on the first call, from the folder of the shared object that
// holds this code or else from where the build found it; throws Unavailable
// naming the paths tried when it cannot. Thread-safe; a failed load is tried
// again by the next call.
const OpenBlas& openblas();

// True once OpenBLAS is loaded in this process by us.
bool openblas_loaded() noexcept;

// C (m x n) = A (m x k) * B (k x n), row-major with leading dimensions lda,
// ldb, ldc, no transposes, alpha 1, beta 0, on the calling thread alone: its
// bits depend on OpenBLAS's split of the product, which depends on its thread
// count. Loads OpenBLAS first (may throw Unavailable).
void cblas_sgemm_row_major(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t n,
                           std::uint64_t k, std::uint64_t lda, std::uint64_t ldb, std::uint64_t ldc);

inline void cblas_sgemm_row_major(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t n,
                                  std::uint64_t k) {
  cblas_sgemm_row_major(a, b, c, m, n, k, k, n, n);
}

}  // namespace zoltra::ops
