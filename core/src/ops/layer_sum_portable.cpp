// The layer's block kernels in plain C++: 64 lanes in an array.
#include <cmath>
#include <cstring>
#include <limits>

#include "common/unaligned.hpp"
#include "ops/layer_sum_variants.hpp"

namespace zoltra::ops {

namespace {

float fold(float* lane) noexcept {
  for (std::uint32_t w = kLayerLanes / 2; w >= 1; w /= 2)
    for (std::uint32_t l = 0; l < w; ++l) lane[l] += lane[l + w];
  return lane[0];
}

}  // namespace

float layer_block_sum_portable(const float* x, std::uint32_t count) noexcept {
  float lane[kLayerLanes];
  for (float& l : lane) l = -0.0f;
  std::uint32_t t = 0;
  for (; t + kLayerLanes <= count; t += kLayerLanes)
    for (std::uint32_t l = 0; l < kLayerLanes; ++l) lane[l] += load_unaligned<float>(x + t + l);
  for (std::uint32_t l = 0; t + l < count; ++l) lane[l] += load_unaligned<float>(x + t + l);
  return fold(lane);
}

float layer_block_dot_portable(const float* a, const float* b, std::uint32_t count) noexcept {
  float lane[kLayerLanes];
  for (float& l : lane) l = -0.0f;
  for (std::uint32_t t = 0; t < count; ++t) {
    float& l = lane[t % kLayerLanes];
    l = std::fma(load_unaligned<float>(a + t), load_unaligned<float>(b + t), l);
  }
  return fold(lane);
}

void layer_add_row_portable(float* lane, const char* src, std::uint64_t width) noexcept {
  for (std::uint64_t j = 0; j < width; ++j) {
    float v;
    std::memcpy(&v, src + 4 * j, 4);
    lane[j] += v;
  }
}

namespace {

template <bool Larger>
float extremum(const float* x, std::uint32_t count) noexcept {
  std::int32_t best = layer_order_key(load_unaligned<float>(x));
  bool nan = false;
  for (std::uint32_t t = 0; t < count; ++t) {
    const float v = load_unaligned<float>(x + t);
    nan |= v != v;
    const std::int32_t k = layer_order_key(v);
    best = Larger ? (k > best ? k : best) : (k < best ? k : best);
  }
  return nan ? std::numeric_limits<float>::quiet_NaN() : layer_value_of_key(best);
}

template <bool Larger>
void extremum_row(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  constexpr std::int32_t kNan = Larger ? std::numeric_limits<std::int32_t>::max() : std::numeric_limits<std::int32_t>::min();
  for (std::uint64_t j = 0; j < width; ++j) {
    float v;
    std::memcpy(&v, src + 4 * j, 4);
    const std::int32_t k = v != v ? kNan : layer_order_key(v);
    best[j] = Larger ? (k > best[j] ? k : best[j]) : (k < best[j] ? k : best[j]);
  }
}

}  // namespace

void layer_max_row_portable(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  extremum_row<true>(best, src, width);
}

void layer_min_row_portable(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  extremum_row<false>(best, src, width);
}

float layer_block_max_portable(const float* x, std::uint32_t count) noexcept { return extremum<true>(x, count); }
float layer_block_min_portable(const float* x, std::uint32_t count) noexcept { return extremum<false>(x, count); }

}  // namespace zoltra::ops
