#pragma once
// What every variant of exp, log and tanh shares: the constant tables (made
// by scripts/unary_math_tables.py) and the scalar finish of the rare lanes the
// vector code leaves open. Compiled once, for the baseline processor.
#include <cstdint>

#include "ops/unary_math.hpp"

namespace zoltra::ops {

// 2^(j/64), j = 0..63, as pairs: the nearest double, then the double nearest
// the remainder.
extern const double kExp2Table[128];
// For the 128 intervals of log's reduced argument: 1/c (29 significant bits),
// then -log(1/c) as a double and its remainder.
extern const double kLogTable[384];

// The float32 result of a lane whose input is special (NaN; for log also zero,
// negative or infinite) or whose double evaluation `y` lies too close to a
// float32 rounding boundary to decide: the few such inputs whose float32
// rounding of y is wrong are listed with their correct results.
float unary_math_finish(UnaryMath function, float x, double y) noexcept;

}  // namespace zoltra::ops
