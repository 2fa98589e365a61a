// Sequential flat reductions with AVX2: float32 and int32 sums and the boolean
// all/any over one contiguous buffer.
//
// The float32 sum's order of additions is fixed so that results are
// reproducible bit for bit: lane l of one 8-lane accumulator takes elements
// 8b + l in increasing b, the lanes fold as ((l0+l4)+(l1+l5))+((l2+l6)+(l3+l7)),
// and the last count % 8 elements join with Kahan compensation.
#include <immintrin.h>

#include "common/unaligned.hpp"
#include "ops/flat_reduce_variants.hpp"
#include "ops/lane_fold_avx2.hpp"

namespace zoltra::ops {

float sum_f32_avx2(const float* data, std::uint64_t count) noexcept {
  const std::uint64_t blocks = count / 8;
  float s = 0.0f;
  if (blocks > 0) {
    // One accumulator: its chain of dependent additions is the order. The
    // unrolled loads only keep loop overhead off that chain.
    __m256 acc = _mm256_setzero_ps();
    const float* p = data;
    const float* const block_end = data + blocks * 8;
    for (; block_end - p >= 32; p += 32) {
      acc = _mm256_add_ps(acc, _mm256_loadu_ps(p));
      acc = _mm256_add_ps(acc, _mm256_loadu_ps(p + 8));
      acc = _mm256_add_ps(acc, _mm256_loadu_ps(p + 16));
      acc = _mm256_add_ps(acc, _mm256_loadu_ps(p + 24));
    }
    for (; p != block_end; p += 8) acc = _mm256_add_ps(acc, _mm256_loadu_ps(p));

    s = fold_lanes_avx2(acc);
  }
  return kahan_onto_f32(s, data + blocks * 8, count % 8);
}

std::int32_t sum_i32_avx2(const std::int32_t* data, std::uint64_t count) noexcept {
  // Wrapping addition is associative, so any grouping gives the same sum.
  __m256i acc0 = _mm256_setzero_si256();
  __m256i acc1 = _mm256_setzero_si256();
  __m256i acc2 = _mm256_setzero_si256();
  __m256i acc3 = _mm256_setzero_si256();
  std::uint64_t i = 0;
  for (; count - i >= 32; i += 32) {
    const auto* p = reinterpret_cast<const __m256i*>(data + i);
    acc0 = _mm256_add_epi32(acc0, _mm256_loadu_si256(p));
    acc1 = _mm256_add_epi32(acc1, _mm256_loadu_si256(p + 1));
    acc2 = _mm256_add_epi32(acc2, _mm256_loadu_si256(p + 2));
    acc3 = _mm256_add_epi32(acc3, _mm256_loadu_si256(p + 3));
  }
  for (; count - i >= 8; i += 8) {
    acc0 = _mm256_add_epi32(acc0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)));
  }
  const __m256i acc = _mm256_add_epi32(_mm256_add_epi32(acc0, acc1), _mm256_add_epi32(acc2, acc3));
  __m128i x = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
  auto sum = static_cast<std::uint32_t>(_mm_cvtsi128_si32(x));
  for (; i < count; ++i) sum += static_cast<std::uint32_t>(load_unaligned<std::int32_t>(data + i));
  return static_cast<std::int32_t>(sum);
}

// all/any look at four 32-byte blocks per iteration, all inside the buffer,
// and stop at the group holding the deciding block.
bool all_bool_avx2(const std::uint8_t* data, std::uint64_t count) noexcept {
  const __m256i zero = _mm256_setzero_si256();
  std::uint64_t i = 0;
  for (; count - i >= 128; i += 128) {
    const auto* p = reinterpret_cast<const __m256i*>(data + i);
    const __m256i m = _mm256_min_epu8(_mm256_min_epu8(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1)),
                                      _mm256_min_epu8(_mm256_loadu_si256(p + 2), _mm256_loadu_si256(p + 3)));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(m, zero)) != 0) return false;
  }
  for (; count - i >= 32; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, zero)) != 0) return false;
  }
  for (; i < count; ++i) {
    if (data[i] == 0) return false;
  }
  return true;
}

bool any_bool_avx2(const std::uint8_t* data, std::uint64_t count) noexcept {
  std::uint64_t i = 0;
  for (; count - i >= 128; i += 128) {
    const auto* p = reinterpret_cast<const __m256i*>(data + i);
    const __m256i m = _mm256_or_si256(_mm256_or_si256(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1)),
                                      _mm256_or_si256(_mm256_loadu_si256(p + 2), _mm256_loadu_si256(p + 3)));
    if (!_mm256_testz_si256(m, m)) return true;
  }
  for (; count - i >= 32; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
    if (!_mm256_testz_si256(v, v)) return true;
  }
  for (; i < count; ++i) {
    if (data[i] != 0) return true;
  }
  return false;
}

}  // namespace zoltra::ops
