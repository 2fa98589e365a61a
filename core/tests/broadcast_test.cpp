// The broadcasting walk against one scalar operation per multi-index, on the
// strides that NumPy views rarely have (uneven, negative, byte strides that
// leave the floats unaligned), around the pool threshold and beyond the
// last-level cache; the Python tests compare common views with NumPy.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flat_test_support.hpp"
#include "ops/broadcast.hpp"

namespace {

using zoltra::ops::BinaryOp;
using flat_test::same_float;

float apply(BinaryOp op, float x, float y) {
  switch (op) {
    case BinaryOp::kAdd: return x + y;
    case BinaryOp::kSub: return x - y;
    case BinaryOp::kMul: return x * y;
    case BinaryOp::kDiv: return x / y;
    case BinaryOp::kMaximum:
    case BinaryOp::kMinimum: {
      // IEEE 754-2019: the first NaN operand quieted; +0 above -0.
      if (std::isnan(x) || std::isnan(y)) {
        const float nan = std::isnan(x) ? x : y;
        return std::bit_cast<float>(std::bit_cast<std::uint32_t>(nan) | 0x00400000u);
      }
      if (x == y) return std::signbit(x) == (op == BinaryOp::kMaximum) ? y : x;
      return (x > y) == (op == BinaryOp::kMaximum) ? x : y;
    }
  }
  return 0.0f;
}

float load(const char* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A view into a byte buffer: the element of multi-index i is at
// base + sum(i[d] * strides[d]).
struct View {
  std::int64_t base;
  std::vector<std::int64_t> strides;
};

// Calls visit(a_offset, b_offset, out_offset) for every multi-index.
template <class Visit>
void each_index(const std::vector<std::int64_t>& shape, const View& a, const View& b, const View& out, Visit visit) {
  std::vector<std::int64_t> index(shape.size(), 0);
  for (std::int64_t e : shape)
    if (e == 0) return;
  for (;;) {
    std::int64_t oa = a.base, ob = b.base, oo = out.base;
    for (std::size_t d = 0; d < shape.size(); ++d) {
      oa += index[d] * a.strides[d];
      ob += index[d] * b.strides[d];
      oo += index[d] * out.strides[d];
    }
    visit(oa, ob, oo);
    std::size_t d = shape.size();
    for (; d-- > 0;) {
      if (++index[d] < shape[d]) break;
      index[d] = 0;
    }
    if (d == static_cast<std::size_t>(-1)) return;
  }
}

struct Case {
  std::vector<std::int64_t> shape;
  View a, b, out;
};

// Shapes around the vector width and the pool threshold (256 x 300 elements).
const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {{4, 33}, {0, {132, 4}}, {0, {4, 0}}, {0, {132, 4}}},               // a column across
      {{5, 9}, {4 * 40, {-36, 4}}, {2, {4, 20}}, {0, {36, 4}}},           // reversed rows, transposed b, unaligned b
      {{6, 7}, {1, {57, 8}}, {0, {0, 0}}, {3, {29, 4}}},                  // uneven strides, unaligned out
      {{3, 1, 8}, {0, {32, 0, 4}}, {0, {0, 0, 4}}, {0, {32, 32, 4}}},     // a dimension of 1
      {{256, 300}, {4, {1200, 4}}, {0, {0, 0}}, {0, {1200, 4}}},          // the pool, scalar, one merged run
      {{300, 256}, {0, {4, 1200}}, {0, {4, 0}}, {0, {1024, 4}}},          // the pool, transposed a
      {{257, 301}, {0, {1204, 4}}, {0, {4, 0}}, {0, {1204, 4}}},          // the pool, a shorter last chunk
      {{2, 0, 5}, {0, {0, 0, 4}}, {0, {0, 0, 4}}, {0, {0, 20, 4}}},       // empty
      {{}, {0, {}}, {0, {}}, {0, {}}},                                     // 0-d
  };
  return all;
}

std::vector<char> random_bytes(std::size_t floats, std::uint32_t seed) {
  const auto values = flat_test::order_sensitive(floats, seed);
  std::vector<char> bytes(floats * 4 + 8);
  std::memcpy(bytes.data() + 4, values.data(), floats * 4);
  return bytes;
}

std::size_t extent_bytes(const std::vector<std::int64_t>& shape, const View& v) {
  std::int64_t hi = v.base + 4;
  for (std::size_t d = 0; d < shape.size(); ++d)
    if (shape[d] > 0 && v.strides[d] > 0) hi += (shape[d] - 1) * v.strides[d];
  return static_cast<std::size_t>(hi);
}

TEST(Broadcast, EveryElementIsTheScalarOperation) {
  for (BinaryOp op : {BinaryOp::kAdd, BinaryOp::kSub, BinaryOp::kMul, BinaryOp::kDiv, BinaryOp::kMaximum,
                      BinaryOp::kMinimum}) {
    for (const Case& c : cases()) {
      const auto a = random_bytes(extent_bytes(c.shape, c.a) / 4 + 2, 1);
      const auto b = random_bytes(extent_bytes(c.shape, c.b) / 4 + 2, 2);
      std::vector<char> out(extent_bytes(c.shape, c.out) + 8, 0), expected = out;
      each_index(c.shape, c.a, c.b, c.out, [&](std::int64_t oa, std::int64_t ob, std::int64_t oo) {
        const float r = apply(op, load(a.data() + oa), load(b.data() + ob));
        std::memcpy(expected.data() + oo, &r, 4);
      });
      zoltra::ops::broadcast_f32_cpu(op, c.shape.size(), c.shape.data(),
                                     reinterpret_cast<const float*>(a.data() + c.a.base), c.a.strides.data(),
                                     reinterpret_cast<const float*>(b.data() + c.b.base), c.b.strides.data(),
                                     reinterpret_cast<float*>(out.data() + c.out.base), c.out.strides.data());
      for (std::size_t i = 0; i + 4 <= out.size(); i += 4)
        ASSERT_TRUE(same_float(load(expected.data() + i), load(out.data() + i)))
            << "op " << int(op) << " case of " << c.shape.size() << " dims, byte " << i;
    }
  }
}

// An output beyond the last-level cache is written with streaming stores.
TEST(Broadcast, StreamedOutput) {
  const std::int64_t n = 2900;
  const std::vector<std::int64_t> shape{n, n}, full{4 * n, 4}, row{0, 4};
  const auto x = flat_test::order_sensitive(n * n, 5), r = flat_test::order_sensitive(n, 6);
  std::vector<float> out(n * n), expected(n * n);
  for (std::int64_t i = 0; i < n * n; ++i) expected[i] = r[i % n] - x[i];
  zoltra::ops::broadcast_f32_cpu(BinaryOp::kSub, 2, shape.data(), r.data(), row.data(), x.data(), full.data(),
                                 out.data(), full.data());
  EXPECT_EQ(0, std::memcmp(expected.data(), out.data(), out.size() * 4));
}

// In place over the pool with a last chunk shorter than the others: a chunk
// that ran past its end would apply the operation twice to the first elements.
TEST(Broadcast, InPlaceOverUnevenChunks) {
  const std::vector<std::int64_t> shape{257, 301}, rows{301 * 4, 4}, column{4, 0};
  auto x = flat_test::order_sensitive(257 * 301, 7);
  const auto c = flat_test::order_sensitive(257, 8);
  std::vector<float> expected(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) expected[i] = x[i] - c[i / 301];
  zoltra::ops::broadcast_f32_cpu(BinaryOp::kSub, 2, shape.data(), x.data(), rows.data(), c.data(), column.data(),
                                 x.data(), rows.data());
  EXPECT_EQ(0, std::memcmp(expected.data(), x.data(), x.size() * 4));
}

}  // namespace
