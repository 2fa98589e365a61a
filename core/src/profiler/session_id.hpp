#pragma once
// Random session identifiers (UUID version 4) for profile reports.
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace zoltra::profiler {

// The operating system's random source failed; what() is the report's error text.
class RandomSourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fills `buffer` from getrandom, or from /dev/urandom where the system call is
// unavailable. Returns 0, or the errno of the failure.
int fill_random(void* buffer, std::size_t length) noexcept;
int fill_from_urandom(void* buffer, std::size_t length) noexcept;

// 36 lowercase characters, 8-4-4-4-12, with the version nibble set to 4 and
// the variant bits to binary 10.
std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes);

// Throws RandomSourceError("could not retrieve random bytes for uuid: <system error text>").
std::string new_uuid_v4();

namespace detail {
using RandomSource = int (*)(void* buffer, std::size_t length);
// Replaces the random source (nullptr restores fill_random). Tests only.
void set_random_source_for_testing(RandomSource source) noexcept;
}  // namespace detail

}  // namespace zoltra::profiler
