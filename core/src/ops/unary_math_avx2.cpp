// exp, log, sqrt, tanh with AVX2: four double lanes, eight float lanes for sqrt.
#include "ops/unary_math_fast_lanes.hpp"
#include "ops/unary_math_lanes.hpp"
#include "ops/unary_math_sqrt.hpp"
#include "ops/unary_math_variants.hpp"

namespace zoltra::ops {
namespace {

struct Avx2 {
  static constexpr int kWidth = 4;
  using Types = LaneTypes<kWidth>;
  // Four loads: on Zen 3 as fast as vgatherqpd here, and faster in pairs.
  static Types::D gather(const double* table, Types::I index) noexcept {
    return _mm256_set_pd(table[index[3]], table[index[2]], table[index[1]], table[index[0]]);
  }
  // table[index] and table[index + 1] of each lane: four 16-byte loads and a
  // transpose.
  static void gather_pair(const double* table, Types::I index, Types::D& first, Types::D& second) noexcept {
    const __m256d low = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(table + index[0])),
                                             _mm_loadu_pd(table + index[2]), 1);
    const __m256d high = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(table + index[1])),
                                              _mm_loadu_pd(table + index[3]), 1);
    first = _mm256_unpacklo_pd(low, high);
    second = _mm256_unpackhi_pd(low, high);
  }
  static Types::D widen(const float* x) noexcept { return _mm256_cvtps_pd(_mm_loadu_ps(x)); }
  static void narrow(Types::D y, float* out) noexcept { _mm_storeu_ps(out, _mm256_cvtpd_ps(y)); }
  static bool any(Types::I mask) noexcept { return _mm256_movemask_pd(reinterpret_cast<__m256d>(mask)) != 0; }
};

// The fast stage's pieces: the same double operations as Avx512Fast's.
struct Avx2Fast {
  static constexpr int kWidth = 4;
  using Types = LaneTypes<kWidth>;
  static Types::D fma(Types::D a, Types::D b, Types::D c) noexcept { return _mm256_fmadd_pd(a, b, c); }
  template <int kHalf>
  static Types::D widen(Types::F2 x) noexcept { return _mm256_cvtps_pd(_mm256_extractf128_ps(x, kHalf)); }
  template <int kHalf>
  static Types::D widen_int(Types::N2 x) noexcept {
    return _mm256_cvtepi32_pd(_mm256_extracti128_si256(reinterpret_cast<__m256i>(x), kHalf));
  }
  static void narrow(Types::D low, Types::D high, float* out) noexcept {
    _mm256_storeu_ps(out, _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(low)), _mm256_cvtpd_ps(high), 1));
  }
  // The low 32 bits of every lane of both, in some order.
  static Types::U2 low_words(Types::D low, Types::D high) noexcept {
    return reinterpret_cast<Types::U2>(_mm256_shuffle_ps(_mm256_castpd_ps(low), _mm256_castpd_ps(high), 0x88));
  }
  static bool all(Types::N2 mask) noexcept { return _mm256_movemask_ps(reinterpret_cast<__m256>(mask)) == 0xff; }
  static Types::F2 max(Types::F2 a, Types::F2 b) noexcept { return _mm256_max_ps(a, b); }
  static Types::F2 min(Types::F2 a, Types::F2 b) noexcept { return _mm256_min_ps(a, b); }
  // 2^(k/8) for k in the low bits of each lane of k0 and k1, in registers:
  // the eight low words of both gathered into one vector, the table's low and
  // high halves each picked by vpermd, k << 49 added to the high ones as k <<
  // 17, and the halves interleaved back into each lane's order.
  static void exp2_eighths(Types::U k0, Types::U k1, Types::D& s0, Types::D& s1) noexcept {
    constexpr auto& t = kExp2EighthsTable;
    auto half = [&](int shift) {
      return _mm256_setr_epi32(int(t[0] >> shift), int(t[1] >> shift), int(t[2] >> shift), int(t[3] >> shift),
                               int(t[4] >> shift), int(t[5] >> shift), int(t[6] >> shift), int(t[7] >> shift));
    };
    const __m256i k = _mm256_castps_si256(
        _mm256_shuffle_ps(reinterpret_cast<__m256>(k0), reinterpret_cast<__m256>(k1), 0x88));
    const __m256i low = _mm256_permutevar8x32_epi32(half(0), k);
    const __m256i high = _mm256_add_epi32(_mm256_permutevar8x32_epi32(half(32), k), _mm256_slli_epi32(k, 17));
    s0 = _mm256_castsi256_pd(_mm256_unpacklo_epi32(low, high));
    s1 = _mm256_castsi256_pd(_mm256_unpackhi_epi32(low, high));
  }
};

struct Avx2Sqrt {
  static constexpr std::uint64_t kWidth = 8;
  static void sqrt(const float* x, float* out) noexcept { _mm256_storeu_ps(out, _mm256_sqrt_ps(_mm256_loadu_ps(x))); }
};

}  // namespace

void unary_math_f32_avx2(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
  if (function == UnaryMath::kSqrt) return sqrt_f32<Avx2Sqrt>(x, out, count);
  UnaryMathFastLanes<Avx2Fast, UnaryMathLanes<Avx2>>::run(function, x, out, count);
}

}  // namespace zoltra::ops
