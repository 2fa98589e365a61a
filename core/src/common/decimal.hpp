#pragma once
// Unsigned decimal text, read and written the one way this module uses it.
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zoltra {

// An optional "+", then one or more ASCII digits, nothing else, at most
// 2^64 - 1 (leading zeros allowed). The grammar of the size variables.
constexpr std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  std::uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(ch - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

inline void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// ceil(numerator / denominator), denominator > 0.
constexpr std::uint64_t ceil_div(std::uint64_t numerator, std::uint64_t denominator) noexcept {
  return numerator / denominator + (numerator % denominator != 0 ? 1 : 0);
}

}  // namespace zoltra
