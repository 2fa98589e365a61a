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
// 2^(j/8), j = 0..7, as the bits of the nearest double minus j << 49: adding
// k << 49 for any k = j (mod 8) gives the bits of 2^(k/8).
// A constant here, so that each instruction-set file can lay it out in
// registers.
inline constexpr std::uint64_t kExp2EighthsTable[8] = {
    0x3ff0000000000000, 0x3fef72b83c7d517b, 0x3fef06fe0a31b715, 0x3feebfdad5362a27,
    0x3feea09e667f3bcd, 0x3feeace5422aa0db, 0x3feee89f995ad3ad, 0x3fef5818dcfba487,
};
// For the 128 intervals of log's reduced argument: 1/c (29 significant bits),
// then -log(1/c) as a double and its remainder.
extern const double kLogTable[384];

// The float32 result of a lane whose input is special (NaN; for log also zero,
// negative or infinite) or whose double evaluation `y` lies too close to a
// float32 rounding boundary to decide: the few such inputs whose float32
// rounding of y is wrong are listed with their correct results.
float unary_math_finish(UnaryMath function, float x, double y) noexcept;

}  // namespace zoltra::ops
