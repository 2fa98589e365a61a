#pragma once
// One step of each float fold as the strided reductions take it, in visiting
// order: the sum adds; the max (min) keeps r unless v is greater (less), so a
// NaN is the result only when it comes first, and of equal values (+0.0 and
// -0.0) the first stays. Every faster path that must give their bits folds
// with these. In an anonymous namespace because files built for other
// instruction sets include it: each keeps a copy of its own.

namespace zoltra::ops {
namespace {

struct SumStep {
  static float apply(float r, float v) noexcept { return r + v; }
};
struct MaxStep {
  static float apply(float r, float v) noexcept { return v > r ? v : r; }
};
struct MinStep {
  static float apply(float r, float v) noexcept { return v < r ? v : r; }
};

}  // namespace
}  // namespace zoltra::ops
