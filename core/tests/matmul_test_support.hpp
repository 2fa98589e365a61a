#pragma once
// Helpers shared by the matrix-product kernel tests.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace matmul_test {

inline std::vector<float> random_values(std::uint64_t count, std::mt19937& rng) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(count);
  for (float& x : v) x = dist(rng);
  return v;
}

enum class Arith { kAsSpecified, kAllFused, kNoneFused };

// Each element: a chain over p from +0.0; fused in the column blocks of 8,
// separately rounded in the last n mod 8 columns.
inline std::vector<float> reference(const std::vector<float>& a, const std::vector<float>& b, std::uint64_t m,
                             std::uint64_t k, std::uint64_t n, Arith arith = Arith::kAsSpecified) {
  std::vector<float> c(m * n);
  const std::uint64_t blocked = n / 8 * 8;
  for (std::uint64_t i = 0; i < m; ++i)
    for (std::uint64_t j = 0; j < n; ++j) {
      const bool fused = arith == Arith::kAllFused || (arith == Arith::kAsSpecified && j < blocked);
      float s = 0.0f;
      for (std::uint64_t p = 0; p < k; ++p) {
        const float x = a[i * k + p], y = b[p * n + j];
        s = fused ? std::fma(x, y, s) : s + x * y;
      }
      c[i * n + j] = s;
    }
  return c;
}


inline void expect_bits_equal(const std::vector<float>& got, const std::vector<float>& want, std::uint64_t n,
                              const char* what) {
  ASSERT_EQ(got.size(), want.size());
  for (std::uint64_t e = 0; e < got.size(); ++e)
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[e]), std::bit_cast<std::uint32_t>(want[e]))
        << what << ": element (" << e / n << ", " << e % n << ") got " << got[e] << " want " << want[e];
}

// `count` floats starting `offset` bytes into a byte buffer, so that the
// kernels see addresses with no alignment at all. No copy of zero bytes: an
// empty vector's data() may be null, which memcpy must not be given.
class Misaligned {
 public:
  Misaligned(std::uint64_t count, unsigned offset, unsigned char fill = 0xff)
      : bytes_(count * sizeof(float) + offset + 64, fill), offset_(offset), count_(count) {}
  Misaligned(const std::vector<float>& values, unsigned offset) : Misaligned(values.size(), offset) {
    if (!values.empty()) std::memcpy(data(), values.data(), values.size() * sizeof(float));
  }
  float* data() { return reinterpret_cast<float*>(bytes_.data() + offset_); }
  std::vector<float> values() const {
    std::vector<float> v(count_);
    if (count_ != 0) std::memcpy(v.data(), bytes_.data() + offset_, count_ * sizeof(float));
    return v;
  }
  // True when no byte before or after the floats changed from `fill`.
  bool margins_untouched(unsigned char fill = 0xff) const {
    for (std::uint64_t i = 0; i < bytes_.size(); ++i)
      if ((i < offset_ || i >= offset_ + count_ * sizeof(float)) && bytes_[i] != fill) return false;
    return true;
  }

 private:
  std::vector<unsigned char> bytes_;
  unsigned offset_;
  std::uint64_t count_;
};

}  // namespace matmul_test
