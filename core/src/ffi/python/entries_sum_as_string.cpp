// sum_as_string: the exact decimal text of a + b. The sum of two unsigned
// 64-bit values can reach 2^65 - 2, so it is formed in 128 bits rather than
// wrapped: the text can hold any sum, and a wrapped one would be wrong.
#include <string>

#include "ffi/python/entry.hpp"

namespace zoltra::ffi {

std::string decimal_text(unsigned __int128 value) {
  char digits[40];
  char* end = digits + sizeof digits;
  char* first = end;
  do {
    *--first = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  return std::string(first, end);
}

namespace {

PyObject* sum_as_string_body(std::uint64_t a, std::uint64_t b) {
  return result_text(decimal_text(static_cast<unsigned __int128>(a) + b));
}
ZOLTRA_SIGNATURE(sum_as_string, {"a"}, {"b"});

}  // namespace

ZOLTRA_FASTCALL_ENTRY(sum_as_string);

}  // namespace zoltra::ffi
