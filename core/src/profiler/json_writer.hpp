#pragma once
// Pieces of the profile report's JSON text, appended to one growing buffer.
#include <cstdint>
#include <string>
#include <string_view>

namespace zoltra::profiler {

// A quoted string: '"' and '\\' escaped, \b \t \n \f \r by name, the other
// control characters as \u00xx; everything else (also '/', U+007F and
// non-ASCII UTF-8) unchanged.
void append_json_string(std::string& out, std::string_view text);

void append_json_uint(std::string& out, std::uint64_t value);

// The shortest round-trip digits: positional with at least one fractional
// digit for decimal exponents -5..15 ("2.0", "0.00001"), otherwise exponent
// form ("1e+16", "1.25e-7"); "-0.0" for negative zero; null when not finite.
void append_json_double(std::string& out, double value);

}  // namespace zoltra::profiler
