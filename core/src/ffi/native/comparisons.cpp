// greater, greater_equal, less, less_equal, equal, not_equal: two operands
// read and broadcast as add's, a new bool array of the first array operand's
// kind.
#include <cstdint>

#include "ffi/native/broadcast.hpp"
#include "ffi/native/layer.hpp"
#include "ffi/native/numpy_api.hpp"
#include "ops/compare.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

PyObject* comparison(PyObject* const* args, const char* operation, ops::CompareOp op) {
  Operand a, b;
  std::int64_t shape[kMaxDims], out_strides[kMaxDims];
  const int ndim = read_pair(args, a, b, shape);
  TypedResult result(a.scalar ? b.view : a.view, shape, ndim, NPY_BOOL);
  const std::uint64_t count = contiguous_strides(shape, ndim, 1, out_strides);
  if (count != 0) {
    WithoutGil unlocked(count >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
    ops::compare_f32_cpu(op, static_cast<std::uint64_t>(ndim), shape, reinterpret_cast<const float*>(a.data()),
                         a.strides, reinterpret_cast<const float*>(b.data()), b.strides,
                         static_cast<std::uint8_t*>(result.data()), out_strides);
  }
  return result.release();
}

constexpr Param kParams[] = {{"a"}, {"b"}};

#define ZOLTRA_COMPARISON(NAME, OP)                                 \
  constexpr Signature NAME##_signature{#NAME, kParams};             \
  PyObject* NAME##_body(PyObject* const* args) { return comparison(args, #NAME, ops::CompareOp::OP); }

ZOLTRA_COMPARISON(greater, kGreater)
ZOLTRA_COMPARISON(greater_equal, kGreaterEqual)
ZOLTRA_COMPARISON(less, kLess)
ZOLTRA_COMPARISON(less_equal, kLessEqual)
ZOLTRA_COMPARISON(equal, kEqual)
ZOLTRA_COMPARISON(not_equal, kNotEqual)
#undef ZOLTRA_COMPARISON

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(greater, greater_body,
                         "greater(a, b)\n--\n\n"
                         "``a > b`` element by element: a new bool array (a bool tensor for tensors)\n"
                         "of the broadcast shape, NumPy's result. `a` and `b` are read and broadcast\n"
                         "as for add(): float32 arrays of any layout, or real scalars rounded to\n"
                         "float32, at least one an array. A NaN compares unequal to everything.\n\n"
                         "    mask = zn.greater(x, 0.0)  # the ReLU's mask"),
    ZOLTRA_NATIVE_METHOD(greater_equal, greater_equal_body,
                         "greater_equal(a, b)\n--\n\n``a >= b`` element by element; as greater()."),
    ZOLTRA_NATIVE_METHOD(less, less_body, "less(a, b)\n--\n\n``a < b`` element by element; as greater()."),
    ZOLTRA_NATIVE_METHOD(less_equal, less_equal_body,
                         "less_equal(a, b)\n--\n\n``a <= b`` element by element; as greater()."),
    ZOLTRA_NATIVE_METHOD(equal, equal_body, "equal(a, b)\n--\n\n``a == b`` element by element; as greater()."),
    ZOLTRA_NATIVE_METHOD(not_equal, not_equal_body,
                         "not_equal(a, b)\n--\n\n"
                         "``a != b`` element by element (true where either is NaN); as greater()."),
};

}  // namespace

std::span<const PyMethodDef> comparison_methods() { return kMethods; }

}  // namespace zoltra::native
