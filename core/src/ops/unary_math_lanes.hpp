#pragma once
// exp, log and tanh of float32, written once over W double lanes; each
// instruction-set file instantiates it with its own width, conversions,
// gathers and mask test (Isa::kWidth, widen, narrow, gather, gather_pair,
// any), so every variant performs the same double operations in the same
// order, lane by lane, without fused multiply-adds, and gives the same bits.
//
// Each float32 input is widened exactly to double and the function evaluated
// with a relative error below 2^-50 (bounds below). The float32 rounding of
// that double is the correct one unless the exact value lies within 2^-47
// (relative) of a float32 rounding boundary; such lanes, special inputs and
// those whose result is a float32 subnormal are finished by
// unary_math_finish(), which holds the few inputs where the rounding would go
// wrong (found by checking all 2^32 inputs).
//
// The portable variant runs this alone; AVX2 and AVX-512 run it as the
// second stage behind UnaryMathFastLanes, on the rare steps the fast stage
// leaves open.
#include <cstdint>
#include <cstring>

#include "ops/unary_math_tables.hpp"

namespace zoltra::ops {
namespace {  // each instruction-set file keeps its own copy

// step(x, out) on each run of kStep elements; the last, shorter run padded
// with ones.
template <int kStep, class Step>
void run_in_steps(const float* x, float* out, std::uint64_t count, Step step) noexcept {
  std::uint64_t i = 0;
  for (; count - i >= kStep; i += kStep) step(x + i, out + i);
  if (i == count) return;
  float in[kStep], result[kStep];
  for (int l = 0; l < kStep; ++l) in[l] = 1.0f;
  std::memcpy(in, x + i, (count - i) * sizeof(float));
  step(in, result);
  std::memcpy(out + i, result, (count - i) * sizeof(float));
}

template <int W>
struct LaneTypes {
  typedef double D __attribute__((vector_size(8 * W)));
  typedef std::int64_t I __attribute__((vector_size(8 * W)));
  typedef std::uint64_t U __attribute__((vector_size(8 * W)));
  typedef float F __attribute__((vector_size(4 * W)));
  // Twice the lanes, as float32 values and their bits.
  typedef float F2 __attribute__((vector_size(8 * W)));
  typedef std::int32_t N2 __attribute__((vector_size(8 * W)));
  typedef std::uint32_t U2 __attribute__((vector_size(8 * W)));
};

// exp(t) = 2^(k/64) * exp(r), k = round(t * 64 / ln 2), |r| <= ln2/128 (plus
// the rounding of k's product, under 2^-44). kStepHi has 38 significant bits,
// so k * kStepHi is exact for |k| < 2^15 and, t being a float32 value (or
// twice one), t - k * kStepHi is exact too.
constexpr double kInvStep = 0x1.71547652b82fep+6;  // 64 / ln 2
constexpr double kStepHi = 0x1.62e42fefa0000p-7;   // ln 2 / 64, leading bits
constexpr double kStepLo = 0x1.cf79abc9e3b3ap-46;  // ln 2 / 64 - kStepHi
constexpr double kShift = 0x1.8p52;                // round to an integer in the low bits
// log: k * kLn2Hi is exact for |k| < 2^9.
constexpr double kLn2Hi = 0x1.62e42fefa3a00p-1;
constexpr double kLn2Lo = -0x1.0ca86c3898d00p-49;
constexpr std::int64_t kLogOffset = 0x3fe6000000000000;  // 0.6875: z in [0.6875, 1.375)
// A float32 result rounds at bit 29 of the double y, whose low 29 bits are
// 2^28 at a rounding boundary. A lane is left open when they lie within
// kNearBoundary double ulps of it: 32 ulps are at least 2^-47 of y, over
// eight times the evaluation's error bound.
constexpr std::int64_t kNearBoundary = 32;

template <class Isa>
struct UnaryMathLanes {
  static constexpr int W = Isa::kWidth;
  using T = LaneTypes<W>;
  using D = typename T::D;
  using I = typename T::I;
  using F = typename T::F;
  using U = typename T::U;

  static D splat(double v) noexcept { return D{} + v; }
  static I splat(std::int64_t v) noexcept { return I{} + v; }
  static D as_double(I v) noexcept { return reinterpret_cast<D>(v); }
  static I as_int(D v) noexcept { return reinterpret_cast<I>(v); }
  static U as_unsigned(D v) noexcept { return reinterpret_cast<U>(v); }

  struct Exp2Parts {
    D hi, lo;  // 2^(k/64) as a double and its remainder
    D q;       // expm1(r)
  };

  // The reduction shared by exp and tanh. q: Taylor to degree 6; at |r| <=
  // 0.00542 the first term left out, r^7/5040, is below 2^-57 of q, and the
  // rounding errors of the terms after r are below 2^-60 of q.
  template <bool kWithLo>
  static Exp2Parts exp2_parts(D t) noexcept {
    const D shifted = t * kInvStep + kShift;
    const U bits = as_unsigned(shifted);  // k in the low bits
    const D k = shifted - kShift;
    const D r = (t - k * kStepHi) - k * kStepLo;
    const I j2 = reinterpret_cast<I>((bits & 63) * 2);
    // 2^floor(k/64): the exponent field of the double, whatever lies above it
    // (the shift's own bits) pushed out.
    const D scale = reinterpret_cast<D>(((bits >> 6) + 1023) << 52);
    Exp2Parts parts;
    if constexpr (kWithLo) {
      Isa::gather_pair(kExp2Table, j2, parts.hi, parts.lo);
      parts.hi *= scale;
      parts.lo *= scale;
    } else {
      parts.hi = Isa::gather(kExp2Table, j2) * scale;
      parts.lo = D{};
    }
    // Estrin's scheme: half the dependent steps of Horner's, which bound the
    // time here (the lanes wait on latency, not on execution units).
    const D r2 = r * r, r4 = r2 * r2;
    const D a = r * 0x1.5555555555555p-3 + 0.5;                    // 1/2 + r/6
    const D b = r * 0x1.1111111111111p-7 + 0x1.5555555555555p-5;   // 1/24 + r/120
    const D p = (a + b * r2) + r4 * 0x1.6c16c16c16c17p-10;         // ... + r^4/720
    parts.q = r + r2 * p;
    return parts;
  }

  // exp: y = hi * (1 + q), hi within 2^-54 of 2^(k/64); with the two
  // roundings the error is below 2^-51.5. Inputs are clamped to [-110, 100],
  // where exp is below the smallest float32 subnormal's half or above the
  // largest float32: the conversion then gives +0 or +inf. Results that are
  // float32 subnormals (x below -87.34) or round to 0 near x = -103.97 are
  // finished singly.
  static D exp(D x, I& special) noexcept {
    special = (x != x) | ((x < -87.0) & (x > -105.0));
    D t = x < -110.0 ? splat(-110.0) : x;
    t = t > 100.0 ? splat(100.0) : t;
    const Exp2Parts e = exp2_parts<false>(t);
    return e.hi + e.hi * e.q;
  }

  // log x = k ln2 + log c + log1p(r), x = 2^k z, z in [0.6875, 1.375), c the
  // centre of z's interval (1 for the two beside 1), r = z/c - 1 exact and
  // |r| <= 2^-7. log1p: Taylor to degree 8, the first term left out below
  // 2^-59 of r. With log c as two doubles the error is below 2^-51 of the
  // result, which is at least 2^-8 in magnitude unless c = 1 (then it is r's
  // series alone).
  static D log(D x, I& special) noexcept {
    special = (x <= 0.0) | (x != x) | (x == __builtin_inf());
    const I ix = as_int(x);
    // Unsigned: a negative x (special, its lane discarded) must not overflow.
    const I tmp = reinterpret_cast<I>(reinterpret_cast<U>(ix) - static_cast<std::uint64_t>(kLogOffset));
    const I i3 = ((tmp >> 45) & 127) * 3;
    // k = tmp >> 52 (arithmetic), to double without a 64-bit conversion
    // instruction: the field plus 2048 as the low bits of 2^52.
    const U biased = (reinterpret_cast<U>(tmp) + (std::uint64_t{2048} << 52)) >> 52;
    const D k = reinterpret_cast<D>(biased | 0x4330000000000000) - (0x1p52 + 2048.0);
    const D z = as_double(reinterpret_cast<I>(reinterpret_cast<U>(ix) - (reinterpret_cast<U>(tmp) & (0xfffULL << 52))));
    D invc, logc_hi;
    Isa::gather_pair(kLogTable, i3, invc, logc_hi);
    const D logc_lo = Isa::gather(kLogTable + 2, i3);
    const D r = z * invc - 1.0;
    // Estrin's scheme, as for exp.
    const D r2 = r * r, r4 = r2 * r2;
    const D a = r * 0x1.5555555555555p-2 - 0.5;                    // -1/2 + r/3
    const D b = r * 0x1.999999999999ap-3 - 0.25;                   // -1/4 + r/5
    const D c = r * 0x1.2492492492492p-3 - 0x1.5555555555555p-3;   // -1/6 + r/7
    const D p = (a + b * r2) + r4 * (c - r2 * 0.125);               // ... - r^6/8
    const D log1p = r + r2 * p;
    const D hi = k * kLn2Hi + logc_hi;
    const D lo = k * kLn2Lo + logc_lo + log1p;
    return hi + lo;
  }

  // tanh |x| = em1 / (em1 + 2), em1 = exp(2|x|) - 1 = (hi - 1) + (lo + hi q):
  // hi - 1 is exact while hi is within [1/2, 2], and beyond the cancellation
  // is mild, so em1 is within 2^-51 and the quotient within 2^-50. |x| is
  // clamped to 10, where tanh rounds to 1 in float32.
  static D tanh(D x, I& special) noexcept {
    const I sign = as_int(x) & static_cast<std::int64_t>(0x8000000000000000ULL);
    const D a = as_double(as_int(x) ^ sign);
    special = (x != x) | (a < 0x1p-126);  // NaN, or a float32 subnormal result
    const D t = a > 10.0 ? splat(20.0) : a + a;
    const Exp2Parts e = exp2_parts<true>(t);
    const D em1 = (e.hi - 1.0) + (e.lo + e.hi * e.q);
    return as_double(as_int(em1 / (em1 + 2.0)) | sign);
  }

  template <D (*Evaluate)(D, I&)>
  static void block(const float* x, float* out, UnaryMath function) noexcept {
    const D xd = Isa::widen(x);
    I special;
    const D y = Evaluate(xd, special);
    Isa::narrow(y, out);
    // Unsigned: y's bits may be negative (tanh, log) and the sum must wrap.
    const U low = (reinterpret_cast<U>(y) + static_cast<std::uint64_t>(kNearBoundary - (std::int64_t{1} << 28))) &
                  ((std::uint64_t{1} << 29) - 1);
    const I near = reinterpret_cast<I>(low) < 2 * kNearBoundary;
    const I open = near | special;
    if (Isa::any(open)) [[unlikely]] {
      for (int l = 0; l < W; ++l) {
        if (!open[l]) continue;
        const float v = unary_math_finish(function, static_cast<float>(xd[l]), y[l]);
        std::memcpy(out + l, &v, sizeof v);
      }
    }
  }

  // x is read before the same elements of out are written, so out == x works.
  template <D (*Evaluate)(D, I&)>
  static void run(const float* x, float* out, std::uint64_t count, UnaryMath function) noexcept {
    run_in_steps<W>(x, out, count, [function](const float* in, float* result) { block<Evaluate>(in, result, function); });
  }

  static void run(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
    switch (function) {
      case UnaryMath::kExp:
        return run<&UnaryMathLanes::exp>(x, out, count, function);
      case UnaryMath::kLog:
        return run<&UnaryMathLanes::log>(x, out, count, function);
      case UnaryMath::kTanh:
        return run<&UnaryMathLanes::tanh>(x, out, count, function);
      case UnaryMath::kSqrt:
        break;
    }
  }
};

}  // namespace
}  // namespace zoltra::ops
