#pragma once
// The fast first stage of exp, log and tanh for the instruction sets with
// fused multiply-adds: 4W float32 inputs a step, as two vectors of 2W
// floats each widened to two halves of W double lanes (two independent
// chains keep more of the processor busy), evaluated with a relative error
// below 2^-41 (bounds below), then narrowed and stored. Such a double rounds
// to the correctly rounded float32 unless it lies within kFastWindow double
// ulps (at least 2^-39 of it, four times the error) of a float32 rounding
// boundary; a step with such a lane, or a special input, is redone whole by
// the accurate second stage, UnaryMathLanes<Accurate> (one lane in 2^14 of
// ordinary inputs: about one AVX2 step in 1,000).
//
// Each instruction-set file supplies Isa: kWidth, widen, widen_int, narrow,
// low_words, all, min, max, fma and exp2_eighths (2^(k/8) from
// kExp2EighthsTable, k in the low bits of each lane of two halves). AVX2 and
// AVX-512 perform the same double operations, lane for lane, and differ only
// in width and in how a table entry reaches a lane; so the exhaustive check
// of the AVX2 variant covers the AVX-512 one's double results too.
#include <cstdint>
#include <cstring>

#include "ops/unary_math_lanes.hpp"
#include "ops/unary_math_tables.hpp"

namespace zoltra::ops {
namespace {  // each instruction-set file keeps its own copy

// A float32 result rounds at bit 29 of the double y, whose low 29 bits are
// 2^28 at a rounding boundary. 2^14 double ulps are at least 2^-39 of y.
constexpr std::uint32_t kFastWindow = 1u << 14;
constexpr double kEighthsInvStep = 0x1.71547652b82fep+3;  // 8 / ln 2
constexpr double kEighthsStep = 0x1.62e42fefa39efp-4;     // ln 2 / 8
constexpr double kLn2 = 0x1.62e42fefa39efp-1;

template <class Isa, class Accurate>
struct UnaryMathFastLanes {
  static constexpr int W = Isa::kWidth;
  using T = LaneTypes<W>;
  using D = typename T::D;
  using U = typename T::U;
  using F2 = typename T::F2;
  using N2 = typename T::N2;
  using U2 = typename T::U2;

  static D splat(double v) noexcept { return D{} + v; }
  static D as_double(U v) noexcept { return reinterpret_cast<D>(v); }
  static U as_unsigned(D v) noexcept { return reinterpret_cast<U>(v); }

  struct Exp2Parts {
    D s;  // 2^(k/8), k = round(t * 8 / ln 2)
    D r;  // t - k ln2/8, |r| <= ln2/16 (1 + 2^-40)
  };

  // One fma for r: the rounding of ln2/8 (2^-57) times |k| <= 1270 is below
  // 2^-46 absolute, and exp(r) ~ 1. s: the table's 2^(j/8), j = k mod 8, with
  // k div 8 added into its exponent field (the table holds each entry's bits
  // minus j << 49, and k sits in the low bits of `shifted`). Both halves at
  // once, so that one table lookup serves them.
  static void exp2_parts(D t0, D t1, Exp2Parts& e0, Exp2Parts& e1) noexcept {
    const D shifted0 = Isa::fma(t0, splat(kEighthsInvStep), splat(kShift));
    const D shifted1 = Isa::fma(t1, splat(kEighthsInvStep), splat(kShift));
    Isa::exp2_eighths(as_unsigned(shifted0), as_unsigned(shifted1), e0.s, e1.s);
    e0.r = Isa::fma(shifted0 - kShift, splat(-kEighthsStep), t0);
    e1.r = Isa::fma(shifted1 - kShift, splat(-kEighthsStep), t1);
  }

  // exp: y = s (1 + q), q = r + r^2 P(r), P of degree 3 fitted for the
  // absolute error of q, below 2^-41.2 on |r| <= ln2/16; with s's and the
  // fmas' roundings, y is within 2^-41 of exp(x). Inputs are clamped to
  // [-110, 100] as the accurate stage does, and the same ones are special.
  struct Exp {
    static N2 ordinary(F2 x) noexcept { return reinterpret_cast<N2>((x >= -87.0f) | (x <= -105.0f)); }
    static D half(const Exp2Parts& e) noexcept {
      const D r = e.r, r2 = r * r;
      const D a = Isa::fma(r, splat(0x1.55555576f480dp-3), splat(0x1.ffffffdc35041p-2));
      const D b = Isa::fma(r, splat(0x1.110ef6728d8c7p-7), splat(0x1.555cea27f60fap-5));
      const D q = Isa::fma(Isa::fma(b, r2, a), r2, r);
      return Isa::fma(e.s, q, e.s);
    }
    static void eval(F2 x, D& low, D& high) noexcept {
      const F2 t = Isa::min(Isa::max(x, F2{} - 110.0f), F2{} + 100.0f);
      Exp2Parts e0, e1;
      exp2_parts(Isa::template widen<0>(t), Isa::template widen<1>(t), e0, e1);
      low = half(e0);
      high = half(e1);
    }
  };

  // tanh |x| = em1 / (em1 + 2), em1 = expm1(2|x|) = s (1 + q) - 1, s - 1
  // exact for s in [1/2, 2]. P of degree 4 fitted for q's relative error,
  // below 2^-44.1, which bounds em1's where s = 1; elsewhere em1 >= 0.04 and
  // s's rounding adds under 2^-48. The quotient: below 2^-43. |x| above 10
  // (tanh rounds to 1) becomes 2|x| = 20.
  struct Tanh {
    static N2 ordinary(F2 x) noexcept {  // not NaN, and the result not a float32 subnormal
      const F2 a = reinterpret_cast<F2>(reinterpret_cast<U2>(x) & 0x7fffffffu);
      return reinterpret_cast<N2>(a >= 0x1p-126f);
    }
    static U sign(D x) noexcept { return as_unsigned(x) & 0x8000000000000000ULL; }
    static D twice_abs(D x) noexcept {
      const D a = as_double(as_unsigned(x) ^ sign(x));
      return a > 10.0 ? splat(20.0) : a + a;
    }
    static D half(D x, const Exp2Parts& e) noexcept {
      const D r = e.r, r2 = r * r;
      const D pa = Isa::fma(r, splat(0x1.5555554afc422p-3), splat(0x1.ffffffffffb03p-2));
      const D pb = Isa::fma(r, splat(0x1.11156aac33275p-7), splat(0x1.555555673dcdcp-5));
      const D p = Isa::fma(Isa::fma(splat(0x1.6c16160b5ed57p-10), r2, pb), r2, pa);
      const D q = Isa::fma(p, r2, r);
      const D em1 = Isa::fma(e.s, q, e.s - 1.0);
      return as_double(as_unsigned(em1 / (em1 + 2.0)) | sign(x));
    }
    static void eval(F2 x, D& low, D& high) noexcept {
      const D x0 = Isa::template widen<0>(x), x1 = Isa::template widen<1>(x);
      Exp2Parts e0, e1;
      exp2_parts(twice_abs(x0), twice_abs(x1), e0, e1);
      low = half(x0, e0);
      high = half(x1, e1);
    }
  };

  // log x = k ln2 + 2 atanh(s), x = 2^k z, z in [sqrt(1/2), sqrt 2), s =
  // (z - 1)/(z + 1), |s| <= 0.1716: z - 1 and z + 1 are exact (z is a float32
  // value), so s has the division's rounding alone. 2 atanh(s) = 2s (1 + w
  // P(w)), w = s^2, P of degree 4 fitted for the relative error, below
  // 2^-44.9. The result is at least ln2/2 in magnitude unless k = 0, where it
  // is the series alone: within 2^-44 of log x. No table: a division costs
  // less here than gathering log c. Positive normal inputs only: zero,
  // negative, subnormal, infinite and NaN ones are special (their float32
  // bits plus 0x7f800000 are then not below 0xff000000 as signed).
  struct Log {
    static N2 ordinary(F2 x) noexcept {
      return reinterpret_cast<N2>(reinterpret_cast<U2>(x) + 0x7f800000u) < -0x1000000;
    }
    template <int kHalf>
    static D half(N2 k, F2 z) noexcept {
      const D zd = Isa::template widen<kHalf>(z);
      const D s = (zd - 1.0) / (zd + 1.0);
      const D s2 = s + s, w = s * s, w2 = w * w;
      const D a = Isa::fma(w, splat(0x1.999996aab5d50p-3), splat(0x1.555555561db1ap-2));
      const D b = Isa::fma(w, splat(0x1.c62b3fc2faeffp-4), splat(0x1.2494116123966p-3));
      const D p = Isa::fma(Isa::fma(splat(0x1.911349cfcd639p-4), w2, b), w2, a);
      return Isa::fma(s2, w * p, Isa::fma(Isa::template widen_int<kHalf>(k), splat(kLn2), s2));
    }
    static void eval(F2 x, D& low, D& high) noexcept {
      const U2 bits = reinterpret_cast<U2>(x);
      const U2 tmp = bits - 0x3f3504f3u;  // sqrt(1/2) as a float
      const N2 k = reinterpret_cast<N2>(tmp) >> 23;
      const F2 z = reinterpret_cast<F2>(bits - (tmp & 0xff800000u));
      low = half<0>(k, z);
      high = half<1>(k, z);
    }
  };

  // The low 29 bits of each lane's double against a rounding boundary's.
  static N2 far(D low, D high) noexcept {
    // Unsigned: the sum must wrap.
    const U2 bits = (Isa::low_words(low, high) + (kFastWindow - (1u << 28))) & ((1u << 29) - 1);
    return reinterpret_cast<N2>(bits) >= static_cast<std::int32_t>(2 * kFastWindow);
  }

  // 4W inputs; out may be x. The results are stored once checked, so that an
  // open step can be redone from the inputs.
  static constexpr int kStep = 4 * W;
  template <class Fn>
  static void step(const float* x, float* out, UnaryMath function) noexcept {
    F2 x0, x1;
    std::memcpy(&x0, x, sizeof x0);
    std::memcpy(&x1, x + 2 * W, sizeof x1);
    D low0, high0, low1, high1;
    Fn::eval(x0, low0, high0);
    Fn::eval(x1, low1, high1);
    if (!Isa::all(far(low0, high0) & Fn::ordinary(x0) & far(low1, high1) & Fn::ordinary(x1))) [[unlikely]] {
      float in[kStep];
      std::memcpy(in, &x0, sizeof x0);
      std::memcpy(in + 2 * W, &x1, sizeof x1);
      Accurate::run(function, in, out, kStep);
      return;
    }
    Isa::narrow(low0, high0, out);
    Isa::narrow(low1, high1, out + 2 * W);
  }

  // Out of line: each function's loop gets its own registers.
  template <class Fn>
  [[gnu::noinline]] static void run(const float* x, float* out, std::uint64_t count, UnaryMath function) noexcept {
    run_in_steps<kStep>(x, out, count, [function](const float* in, float* result) { step<Fn>(in, result, function); });
  }

  static void run(UnaryMath function, const float* x, float* out, std::uint64_t count) noexcept {
    switch (function) {
      case UnaryMath::kExp:
        return run<Exp>(x, out, count, function);
      case UnaryMath::kLog:
        return run<Log>(x, out, count, function);
      case UnaryMath::kTanh:
        return run<Tanh>(x, out, count, function);
      case UnaryMath::kSqrt:
        break;
    }
  }
};

}  // namespace
}  // namespace zoltra::ops
