// matmul beyond two matrices: a 1-D first operand is a row and a 1-D second
// a column, each removed from the result; operands of 3 or more dimensions
// are stacks of matrices whose leading dimensions broadcast. Every matrix of
// the result is the product of its pair alone, each operand's matrices read
// in place when they are C-ordered and from a C-ordered copy otherwise.
#include "ffi/native/matmul_stack.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ffi/native/layer.hpp"
#include "ffi/native/matvec.hpp"
#include "ffi/native/out_checks.hpp"
#include "ffi/native/results.hpp"
#include "ops/matmul_stack.hpp"
#include "ops/operand_walk.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

// An operand as a stack of rows x cols matrices: the stack dimensions, their
// byte strides, and the address of the first matrix, each matrix C-ordered.
struct Stack {
  int ndim = 0;  // stack dimensions
  std::int64_t shape[kMaxDims];
  std::int64_t strides[kMaxDims];
  std::int64_t rows = 0, cols = 0;
  const char* data = nullptr;
  std::unique_ptr<char[]> copy;
};

void as_stack(const View& v, bool column, Stack& s) {
  // 1-D: one row (first operand) or one column (second).
  s.rows = v.ndim == 1 ? (column ? v.shape[0] : 1) : v.shape[v.ndim - 2];
  s.cols = v.ndim == 1 ? (column ? 1 : v.shape[0]) : v.shape[v.ndim - 1];
  s.ndim = v.ndim > 2 ? v.ndim - 2 : 0;
  // C-ordered matrices: the last stride one element, the one before a row,
  // either free when its extent is 1.
  const std::int64_t col_stride = v.ndim == 1 ? (column ? 0 : v.strides[0]) : v.strides[v.ndim - 1];
  const std::int64_t row_stride = v.ndim == 1 ? (column ? v.strides[0] : 0) : v.strides[v.ndim - 2];
  const bool in_place = (s.cols == 1 || col_stride == 4) && (s.rows == 1 || row_stride == s.cols * 4);
  s.data = in_place ? v.data : v.contiguous_data(s.copy);
  std::int64_t step = s.rows * s.cols * 4;
  for (int d = s.ndim; d-- > 0;) {
    s.shape[d] = v.shape[d];
    s.strides[d] = in_place ? v.strides[d] : step;
    step *= v.shape[d];
  }
}

}  // namespace

PyObject* matmul_stacks(const View& a, const View& b, PyObject* out_object) {
  for (const auto& [v, name] : {std::pair<const View*, const char*>{&a, "a"}, {&b, "b"}}) {
    if (v->ndim == 0) fail(PyExc_ValueError, name, "expected an array of at least 1 dimension, got 0-D");
  }
  if (a.ndim >= 2 && b.ndim == 1) return matmul_vector(a, b, out_object);
  Stack sa, sb;
  as_stack(a, false, sa);
  as_stack(b, true, sb);
  const std::int64_t m = sa.rows, k = sa.cols, n = sb.cols;
  if (sb.rows != k) {
    fail(PyExc_ValueError, "b",
         "expected " + std::to_string(k) + " rows (the columns of 'a'), got " + std::to_string(sb.rows));
  }
  // The stack dimensions broadcast, aligned to the right.
  const int stack_ndim = std::max(sa.ndim, sb.ndim);
  std::int64_t shape[kMaxDims];
  std::int64_t a_strides[kMaxDims], b_strides[kMaxDims];
  for (int d = 0; d < stack_ndim; ++d) {
    const int ia = d - (stack_ndim - sa.ndim), ib = d - (stack_ndim - sb.ndim);
    const std::int64_t ea = ia < 0 ? 1 : sa.shape[ia], eb = ib < 0 ? 1 : sb.shape[ib];
    if (ea != eb && ea != 1 && eb != 1) {
      fail(PyExc_ValueError, "b",
           "expected stack dimensions that broadcast with " + shape_text(sa.shape, sa.ndim) +
               " (those of 'a'), got " + shape_text(sb.shape, sb.ndim));
    }
    shape[d] = ea == 1 ? eb : ea;
    a_strides[d] = ia < 0 || ea != shape[d] ? 0 : sa.strides[ia];
    b_strides[d] = ib < 0 || eb != shape[d] ? 0 : sb.strides[ib];
  }
  std::uint64_t count = 1;
  for (int d = 0; d < stack_ndim; ++d) count *= static_cast<std::uint64_t>(shape[d]);
  int ndim = stack_ndim;
  if (a.ndim > 1) shape[ndim++] = m;
  if (b.ndim > 1) shape[ndim++] = n;

  View out;
  std::optional<Result> result;
  float* target;
  if (out_object != nullptr) {
    read_out(out_object, out, shape, ndim);
    target = reinterpret_cast<float*>(out.data);
  } else {
    result.emplace(a, shape, ndim);
    target = result->data();
  }
  const std::uint64_t size = count * static_cast<std::uint64_t>(m * n);
  std::unique_ptr<float[]> temporary;  // when `out` shares memory with an operand
  float* product = target;
  if (out_object != nullptr && (overlap(out, a) || overlap(out, b))) {
    temporary.reset(new float[size]);
    product = temporary.get();
  }
  if (size != 0) {
    std::vector<const float*> as(count), bs(count);
    std::vector<float*> cs(count);
    const ops::OperandWalk<2> stacks(static_cast<std::uint64_t>(stack_ndim), shape, {a_strides, b_strides});
    std::uint64_t s = 0;
    stacks.positions([&](const std::array<std::int64_t, 2>& at) {
      as[s] = reinterpret_cast<const float*>(sa.data + at[0]);
      bs[s] = reinterpret_cast<const float*>(sb.data + at[1]);
      cs[s] = product + s * static_cast<std::uint64_t>(m * n);
      ++s;
    });
    const auto um = static_cast<std::uint64_t>(m), uk = static_cast<std::uint64_t>(k),
               un = static_cast<std::uint64_t>(n);
    {
      WithoutGil unlocked(count * um * uk * un >= kReleaseGilMultiplyAdds);
      profiler::ProfileScope scope(profiler::global_profiler(), "matmul_2d", "CPU", count * um * uk * un);
      scope.set_product(ops::matmul_stack_f32_cpu(as.data(), bs.data(), cs.data(), count, um, uk, un));
    }
    if (product != target) std::copy(product, product + size, target);
  }
  return out_object != nullptr ? Py_NewRef(out_object) : result->release();
}

}  // namespace zoltra::native
