#pragma once
// Helpers shared by the element-wise and flat-reduction tests.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace flat_test {

inline std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Bitwise equality, any NaN matching any NaN (the payload is the processor's choice).
inline ::testing::AssertionResult same_float(float expected, float actual) {
  if (bits(expected) == bits(actual) || (std::isnan(expected) && std::isnan(actual)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (0x" << std::hex << bits(expected)
                                       << ") got " << actual << " (0x" << bits(actual) << ")";
}

// Large values of both signs among small ones, so that every grouping of
// the additions rounds differently.
inline std::vector<float> order_sensitive(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> small(0.5f, 3.0f);
  std::uniform_real_distribution<float> exponent(3.0f, 9.0f);
  std::vector<float> v(n);
  for (float& x : v) {
    const unsigned r = gen() % 4;
    const float big = std::pow(10.0f, exponent(gen));
    x = r == 0 ? big : r == 1 ? -big : small(gen);
  }
  return v;
}

// Values IEEE arithmetic treats specially: NaN, both infinities, both zeros,
// denormals, and the largest finite values (whose sums overflow).
inline const std::vector<float>& special_values() {
  using limits = std::numeric_limits<float>;
  static const std::vector<float> values = {limits::quiet_NaN(),  limits::infinity(),    -limits::infinity(),
                                            0.0f,                 -0.0f,                 limits::denorm_min(),
                                            -limits::denorm_min(), 1e-40f,               limits::max(),
                                            -limits::max(),       1.0f,                  -1.0f};
  return values;
}

// n elements ending exactly at an unmapped page: any access past them faults.
template <class T>
class Guarded {
 public:
  explicit Guarded(std::size_t n) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    span_ = ((n * sizeof(T) + page - 1) / page + 1) * page;
    base_ = static_cast<char*>(mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + span_ - page, page, PROT_NONE);
    data_ = reinterpret_cast<T*>(base_ + span_ - page) - n;
  }
  ~Guarded() { munmap(base_, span_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;
  T* data() { return data_; }

 private:
  std::size_t span_;
  char* base_;
  T* data_;
};

}  // namespace flat_test
