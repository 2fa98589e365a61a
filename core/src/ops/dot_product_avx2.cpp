// AVX2/FMA float32 dot product.
#include <immintrin.h>

#include <cstdint>

#include "common/unaligned.hpp"
#include "ops/lane_fold_avx2.hpp"
#include "ops/matmul_kernels.hpp"

namespace zoltra::ops {

float dot_product_f32_avx2(const float* a, const float* b, std::uint64_t count) noexcept {
  __m256 acc = _mm256_setzero_ps();
  std::uint64_t i = 0;
  for (; i + 8 <= count; i += 8) acc = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc);
  float s = fold_lanes_avx2(acc);
  for (; i < count; ++i) s = s + load_unaligned<float>(a + i) * load_unaligned<float>(b + i);
  return s;
}

}  // namespace zoltra::ops
