#pragma once
// The step loops of the axis reductions, widened by each instruction-set
// translation unit that includes this to its own vectors; the anonymous
// namespace keeps every unit's copies apart. `ivdep`: acc and row never
// overlap, which the compiler cannot know.
#include <cstdint>

#include "ops/axis_reduce_variants.hpp"

namespace zoltra::ops {
namespace {

void sum_u32_step(std::uint32_t* acc, const std::uint32_t* row, std::uint64_t width) noexcept {
#pragma GCC ivdep
  for (std::uint64_t j = 0; j < width; ++j) acc[j] += row[j];
}

void all_u8_step(std::uint8_t* acc, const std::uint8_t* row, std::uint64_t width) noexcept {
#pragma GCC ivdep
  for (std::uint64_t j = 0; j < width; ++j) acc[j] = static_cast<std::uint8_t>(acc[j] & (row[j] != 0));
}

void any_u8_step(std::uint8_t* acc, const std::uint8_t* row, std::uint64_t width) noexcept {
#pragma GCC ivdep
  for (std::uint64_t j = 0; j < width; ++j) acc[j] = static_cast<std::uint8_t>(acc[j] | (row[j] != 0));
}

}  // namespace
}  // namespace zoltra::ops
