// exp, log, sqrt, tanh for any processor: two double lanes; sqrt four float
// lanes of SSE on x86-64, one at a time elsewhere.
#include "ops/unary_math_lanes.hpp"
#include "ops/unary_math_sqrt.hpp"
#include "ops/unary_math_variants.hpp"

namespace zoltra::ops {
namespace {

struct Portable {
  static constexpr int kWidth = 2;
  using Types = LaneTypes<kWidth>;
  static Types::D gather(const double* table, Types::I index) noexcept {
    return Types::D{table[index[0]], table[index[1]]};
  }
  static void gather_pair(const double* table, Types::I index, Types::D& first, Types::D& second) noexcept {
    first = gather(table, index);
    second = gather(table + 1, index);
  }
  static Types::D widen(const float* x) noexcept {
    Types::F f;
    std::memcpy(&f, x, sizeof f);
    return __builtin_convertvector(f, Types::D);
  }
  static void narrow(Types::D y, float* out) noexcept {
    const Types::F f = __builtin_convertvector(y, Types::F);
    std::memcpy(out, &f, sizeof f);
  }
  static bool any(Types::I mask) noexcept { return (mask[0] | mask[1]) != 0; }
};

#if defined(__x86_64__)
struct Sse {
  static constexpr std::uint64_t kWidth = 4;
  static void sqrt(const float* x, float* out) noexcept { _mm_storeu_ps(out, _mm_sqrt_ps(_mm_loadu_ps(x))); }
};
using SqrtLanes = Sse;
#else
// No vector at all: every float goes through the tail loop.
struct SqrtLanes {
  static constexpr std::uint64_t kWidth = ~std::uint64_t{0};
  static void sqrt(const float*, float*) noexcept {}
};
#endif

}  // namespace

void unary_math_f32_portable(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
  if (function == UnaryMath::kSqrt) return sqrt_f32<SqrtLanes>(x, out, count);
  UnaryMathLanes<Portable>::run(function, x, out, count);
}

}  // namespace zoltra::ops
