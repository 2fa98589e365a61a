// dot, matmul: a checked call of the dot-product or matrix kernel, profiled as
// the raw function's.
#include <cstring>
#include <memory>
#include <optional>

#include "backend/processor_count.hpp"
#include "ffi/native/layer.hpp"
#include "ffi/native/matmul_stack.hpp"
#include "ffi/native/out_checks.hpp"
#include "ffi/native/results.hpp"
#include "ops/layer_sum.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_stack.hpp"
#include "profiler/core.hpp"
#include "scheduler/arena.hpp"

namespace zoltra::native {

namespace {

void read_operand(PyObject* obj, const char* name, View& view) { read_view(obj, name, view); }

void require_ndim(const View& v, const char* name, int ndim, const char* hint = "") {
  if (v.ndim != ndim) {
    fail(PyExc_ValueError, name,
         "expected a " + std::to_string(ndim) + "-D array, got " + std::to_string(v.ndim) + "-D" + hint);
  }
}

constexpr Param kDotParams[] = {{"a"}, {"b"}};
constexpr Signature dot_signature{"dot", kDotParams};
PyObject* dot_body(PyObject* const* args) {
  View a, b;
  read_operand(args[0], "a", a);
  read_operand(args[1], "b", b);
  require_dtype(a, "a", DType::kFloat32);
  require_ndim(a, "a", 1);
  require_dtype(b, "b", DType::kFloat32);
  require_ndim(b, "b", 1);
  if (a.shape[0] != b.shape[0]) {
    fail(PyExc_ValueError, "b",
         "expected length " + std::to_string(a.shape[0]) + " (the length of 'a'), got " + std::to_string(b.shape[0]));
  }
  const auto count = static_cast<std::uint64_t>(a.shape[0]);
  if (count == 0) return ffi::result_float(0.0f);
  // In the layer's order on both views where they lie, as matmul's rows.
  const ops::ViewWalk wa(a.data, 1, a.shape, a.strides), wb(b.data, 1, b.shape, b.strides);
  float value;
  {
    WithoutGil unlocked(count >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), "dot_product", "CPU", count);
    value = ops::layer_dot_f32(wa, wb, backend::processor_count());
  }
  return ffi::result_float(value);
}

constexpr Param kMatmulParams[] = {{"a"}, {"b"}, {"out", true}};
constexpr Signature matmul_signature{"matmul", kMatmulParams};
PyObject* matmul_body(PyObject* const* args) {
  View a, b;
  read_operand(args[0], "a", a);
  read_operand(args[1], "b", b);
  require_dtype(a, "a", DType::kFloat32);
  require_dtype(b, "b", DType::kFloat32);
  if (a.ndim != 2 || b.ndim != 2) {
    return matmul_stacks(a, b, args[2] != nullptr && args[2] != Py_None ? args[2] : nullptr);
  }
  const std::int64_t m = a.shape[0], k = a.shape[1], n = b.shape[1];
  if (b.shape[0] != k) {
    fail(PyExc_ValueError, "b",
         "expected " + std::to_string(k) + " rows (the columns of 'a'), got " + std::to_string(b.shape[0]));
  }
  const std::int64_t shape[2] = {m, n};
  PyObject* out_object = args[2] != nullptr && args[2] != Py_None ? args[2] : nullptr;
  View out;
  std::optional<Result> result;
  std::unique_ptr<float[]> temporary;  // when `out` shares memory with an operand
  float* target;
  if (out_object != nullptr) {
    read_out(out_object, out, shape, 2);
    target = reinterpret_cast<float*>(out.data);
  } else {
    result.emplace(a, shape, 2);
    target = result->data();
  }
  float* product = target;
  if (out_object != nullptr && (overlap(out, a) || overlap(out, b))) {
    temporary.reset(new float[static_cast<std::size_t>(m * n)]);
    product = temporary.get();
  }
  if (m * n != 0) {
    if (k == 0) {
      std::memset(target, 0, static_cast<std::size_t>(m * n) * sizeof(float));  // `out` may be unaligned
    } else {
      std::unique_ptr<char[]> a_copy, b_copy;
      const auto* a_data = reinterpret_cast<const float*>(a.contiguous_data(a_copy));
      const auto* b_data = reinterpret_cast<const float*>(b.contiguous_data(b_copy));
      const auto um = static_cast<std::uint64_t>(m), uk = static_cast<std::uint64_t>(k),
                 un = static_cast<std::uint64_t>(n);
      WithoutGil unlocked(um * uk * un >= kReleaseGilMultiplyAdds);
      {
        profiler::ProfileScope scope(profiler::global_profiler(), "matmul_2d", "CPU", um * uk * un);
        scope.set_product(ops::matmul_stack_f32_cpu(&a_data, &b_data, &product, 1, um, uk, un));
      }
      if (product != target) std::memcpy(target, product, static_cast<std::size_t>(m * n) * sizeof(float));
    }
  }
  return out_object != nullptr ? Py_NewRef(out_object) : result->release();
}

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(dot, dot_body,
                         "dot(a, b)\n--\n\n"
                         "The dot product of two 1-D float32 arrays of one length, as a Python\n"
                         "float (0.0 when empty), in the layer's order: sum()'s blocks and lanes,\n"
                         "each step one fused multiply-add; views are read where they lie."),
    ZOLTRA_NATIVE_METHOD(matmul, matmul_body,
                         "matmul(a, b, out=None)\n--\n\n"
                         "The matrix product of float32 arrays, with NumPy's matmul rules.\n\n"
                         "(m, k) @ (k, n) is (m, n). A 1-D first operand is a row that is removed\n"
                         "from the result, a 1-D second operand a column that is removed; operands\n"
                         "of 3 or more dimensions are stacks of matrices whose leading dimensions\n"
                         "broadcast. Each matrix of the result is, bit for bit, the raw\n"
                         "tensor_matmul_2d_f32 product of its pair; matrices that are not C-ordered\n"
                         "are copied first, and stacks of small products run in parallel across the\n"
                         "stack. By a 1-D `b`, element i is dot(a[..., i, :], b), bit for bit.\n"
                         "Without `out` the result is a new array of the kind of `a`; `out`\n"
                         "must be a writable C-contiguous float32 array of the result's shape, and\n"
                         "when it shares memory with `a` or `b` the product is computed into a\n"
                         "temporary first. Returns the result.\n\n"
                         "    zn.matmul(w, x); zn.matmul(w, v)  # (m,) for a vector v; zn.matmul(q, k_t)  # stacks"),
};

}  // namespace

std::span<const PyMethodDef> product_methods() { return kMethods; }

}  // namespace zoltra::native
