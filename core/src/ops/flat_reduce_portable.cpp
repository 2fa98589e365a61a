// Flat reductions for any x86-64 processor, in plain C++.
//
// The float32 sum keeps the 8-lane order of the vector kernels as an array of
// 8 accumulators: lane l takes elements 8b + l in increasing b, the lanes fold
// as x_l = lane_l + lane_(l+4), then (x0 + x1) + (x2 + x3), and the last
// count % 8 elements join with Kahan compensation. Each lane is its own chain
// of additions, so the compiler's SSE2 widening of the lane loop keeps the bits.
#include <cstring>

#include "common/unaligned.hpp"
#include "ops/flat_reduce_variants.hpp"

namespace zoltra::ops {
namespace {

bool is_finite(float x) noexcept {
  std::uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return (bits & 0x7f800000u) != 0x7f800000u;
}

constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Whether any of the 8 bytes of w is 0 (exact: the borrow that could make a
// false positive only starts at a byte that is itself 0).
bool has_zero_byte(std::uint64_t w) noexcept { return ((w - kOnes) & ~w & kHighBits) != 0; }

}  // namespace

// When the running sum stops being finite the compensation would turn into
// NaN ((inf - s) - y) and poison every later step, so from then on it is 0:
// the remaining elements are added plainly and the result is the IEEE sum.
// A sum that never leaves the finite range is untouched by this.
float kahan_onto_f32(float s, const float* data, std::uint64_t count) noexcept {
  float c = 0.0f;
  std::uint64_t i = 0;
  while (i < count) {
    const float y = load_unaligned<float>(data + i) - c;
    const float t = s + y;
    c = (t - s) - y;
    s = t;
    ++i;
    if (!is_finite(t)) {
      for (; i < count; ++i) s = s + load_unaligned<float>(data + i);
      break;
    }
  }
  return s;
}

float sum_f32_portable(const float* data, std::uint64_t count) noexcept {
  const std::uint64_t blocks = count / 8;
  float s = 0.0f;
  if (blocks > 0) {
    float lane[8] = {};
    for (std::uint64_t b = 0; b < blocks; ++b) {
      for (int l = 0; l < 8; ++l) lane[l] = lane[l] + load_unaligned<float>(data + 8 * b + l);
    }
    float x[4];
    for (int l = 0; l < 4; ++l) x[l] = lane[l] + lane[l + 4];
    s = (x[0] + x[1]) + (x[2] + x[3]);
  }
  return kahan_onto_f32(s, data + blocks * 8, count % 8);
}

std::int32_t sum_i32_portable(const std::int32_t* data, std::uint64_t count) noexcept {
  // Unsigned, so the sum wraps modulo 2^32 as the vector lanes do.
  std::uint32_t sum = 0;
  for (std::uint64_t i = 0; i < count; ++i) sum += load_unaligned<std::uint32_t>(data + i);
  return static_cast<std::int32_t>(sum);
}

// all/any look at 32-byte blocks as four 64-bit words, stop at the block that
// decides, then at the byte that decides among the last count % 32.
bool all_bool_portable(const std::uint8_t* data, std::uint64_t count) noexcept {
  std::uint64_t i = 0;
  for (; count - i >= 32; i += 32) {
    for (int w = 0; w < 4; ++w) {
      if (has_zero_byte(load_unaligned<std::uint64_t>(data + i + 8 * w))) return false;
    }
  }
  for (; i < count; ++i) {
    if (data[i] == 0) return false;
  }
  return true;
}

bool any_bool_portable(const std::uint8_t* data, std::uint64_t count) noexcept {
  std::uint64_t i = 0;
  for (; count - i >= 32; i += 32) {
    std::uint64_t bits = 0;
    for (int w = 0; w < 4; ++w) bits |= load_unaligned<std::uint64_t>(data + i + 8 * w);
    if (bits != 0) return true;
  }
  for (; i < count; ++i) {
    if (data[i] != 0) return true;
  }
  return false;
}

}  // namespace zoltra::ops
