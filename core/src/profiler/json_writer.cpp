#include "profiler/json_writer.hpp"

#include <charconv>
#include <cmath>

#include "common/decimal.hpp"

namespace zoltra::profiler {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, plain_from, i - plain_from);
    plain_from = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
        out.append(escaped, sizeof escaped);
      }
    }
  }
  out.append(text, plain_from, text.size() - plain_from);
  out += '"';
}

void append_json_uint(std::string& out, std::uint64_t value) { append_decimal(out, value); }

void append_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-1.25e-07", then
  // laid out again: to_chars alone would pick "1e+15" over "1000000000000000.0".
  char sci[32];
  auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  const char* end = result.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[20];
  int digit_count = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[digit_count++] = *p;
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exponent);

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out.append(digits, digit_count);
    } else {
      int integer_digits = exponent + 1;
      if (digit_count <= integer_digits) {
        out.append(digits, digit_count);
        out.append(static_cast<std::size_t>(integer_digits - digit_count), '0');
        out += ".0";
      } else {
        out.append(digits, integer_digits);
        out += '.';
        out.append(digits + integer_digits, digit_count - integer_digits);
      }
    }
    return;
  }
  out += digits[0];
  if (digit_count > 1) {
    out += '.';
    out.append(digits + 1, digit_count - 1);
  }
  out += exponent < 0 ? "e-" : "e+";
  append_json_uint(out, static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent));
}

}  // namespace zoltra::profiler
