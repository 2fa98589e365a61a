// The AVX2 rows of maximum, minimum, the comparisons and where against the
// plain ones, byte for byte (NaN payloads and zero signs included), with
// each operand contiguous or repeated and lengths around the vector widths.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/compare_variants.hpp"

namespace {

using namespace zoltra::ops;

std::vector<float> mixed(std::uint64_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  auto specials = flat_test::special_values();
  specials.push_back(std::bit_cast<float>(0xff800001u));  // a signalling NaN with a payload
  specials.push_back(std::bit_cast<float>(0x7fc12345u));
  const auto x = flat_test::order_sensitive(n, seed);
  std::vector<float> v(n);
  for (std::uint64_t i = 0; i < n; ++i) v[i] = gen() % 3 == 0 ? specials[gen() % specials.size()] : x[i % 5];
  return v;
}

TEST(CompareVariants, Avx2MatchesPortableByteForByte) {
  if (!zoltra::backend::runs_avx2_files(zoltra::backend::cpu_features())) GTEST_SKIP() << "this processor lacks AVX2 or FMA";
  const BroadcastRowKernels avx2 = broadcast_rows_for({.avx2 = true}), portable = broadcast_rows_for({});
  const BroadcastRowKernels avx2_stream = broadcast_rows_for({.avx2 = true}, true);
  std::vector<std::pair<BroadcastRowKernel, BroadcastRowKernel>> float_rows = {
      {avx2.maximum, portable.maximum}, {avx2.minimum, portable.minimum},
      {avx2_stream.maximum, portable.maximum}, {avx2_stream.minimum, portable.minimum}};
  const CompareRowKernels avx2_compare = compare_rows_for({.avx2 = true}), plain_compare = compare_rows_for({});
  const WhereRowKernel avx2_where = where_row_for({.avx2 = true}), plain_where = where_row_for({});
  for (std::uint64_t n : {1, 7, 8, 9, 31, 32, 33, 40, 71, 1000}) {
    // The first elements are what a repeated operand repeats: zeros of both
    // signs, a NaN and numbers, each on both sides.
    for (float first : {0.0f, -0.0f, NAN, 1.0f, -2.0f}) {
      auto a = mixed(n, 1), b = mixed(n, 2);
      a[0] = first;
      b[0] = -first;
      std::vector<char> c(n);
      for (std::uint64_t i = 0; i < n; ++i) c[i] = static_cast<char>(i % 3 == 0 ? 0 : i % 5 == 0 ? 0x80 : 1);
      for (std::int64_t sa : {4, 0}) {
        for (std::int64_t sb : {4, 0}) {
          const auto* pa = reinterpret_cast<const char*>(a.data());
          const auto* pb = reinterpret_cast<const char*>(b.data());
          for (const auto& [vector_row, plain_row] : float_rows) {
            std::vector<float> got(n), want(n);
            vector_row(pa, sa, pb, sb, reinterpret_cast<char*>(got.data()), 4, n);
            plain_row(pa, sa, pb, sb, reinterpret_cast<char*>(want.data()), 4, n);
            ASSERT_EQ(0, std::memcmp(got.data(), want.data(), n * 4)) << "n=" << n << " sa=" << sa << " sb=" << sb;
          }
          for (std::size_t op = 0; op < avx2_compare.size(); ++op) {
            std::vector<char> got(n), want(n);
            avx2_compare[op](pa, sa, pb, sb, got.data(), 1, n);
            plain_compare[op](pa, sa, pb, sb, want.data(), 1, n);
            ASSERT_EQ(got, want) << "comparison " << op << " n=" << n << " sa=" << sa << " sb=" << sb;
          }
          for (std::int64_t sc : {1, 0}) {
            std::vector<float> got(n), want(n);
            avx2_where(c.data(), sc, pa, sa, pb, sb, reinterpret_cast<char*>(got.data()), 4, n);
            plain_where(c.data(), sc, pa, sa, pb, sb, reinterpret_cast<char*>(want.data()), 4, n);
            ASSERT_EQ(0, std::memcmp(got.data(), want.data(), n * 4)) << "where n=" << n << " sc=" << sc;
          }
        }
      }
    }
  }
}

}  // namespace
