// add, sub, mul, div: a checked call of the element-wise kernel, profiled as
// the raw function's.
#include <cstring>
#include <memory>

#include "ffi/native/layer.hpp"
#include "ffi/native/out_checks.hpp"
#include "ffi/native/results.hpp"
#include "ops/elementwise.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

using Kernel = void (*)(const float*, const float*, float*, std::uint64_t);

PyObject* elementwise(PyObject* const* args, const char* operation, Kernel kernel) {
  View a, b;
  read_view(args[0], "a", a);
  read_view(args[1], "b", b);
  require_dtype(a, "a", DType::kFloat32);
  require_dtype(b, "b", DType::kFloat32);
  if (a.ndim != b.ndim || std::memcmp(a.shape, b.shape, sizeof(std::int64_t) * a.ndim) != 0) {
    fail(PyExc_ValueError, "b",
         "expected shape " + shape_text(a.shape, a.ndim) + " (the shape of 'a'), got " + shape_text(b.shape, b.ndim));
  }
  PyObject* out_object = args[2] != nullptr && args[2] != Py_None ? args[2] : nullptr;
  View out;
  std::unique_ptr<Result> result;
  float* target;
  if (out_object != nullptr) {
    read_out(out_object, out, a.shape, a.ndim);
    for (const View* input : {&a, &b}) {
      if (overlap(out, *input) && !same_elements(out, *input)) {
        fail(PyExc_ValueError, "out", "overlaps an input without being the very same buffer");
      }
    }
    target = reinterpret_cast<float*>(out.data);
  } else {
    result = std::make_unique<Result>(a, a.shape, a.ndim);
    target = result->data();
  }
  const auto count = static_cast<std::uint64_t>(a.size());
  if (count != 0) {
    std::unique_ptr<char[]> a_copy, b_copy;
    const auto* a_data = reinterpret_cast<const float*>(a.contiguous_data(a_copy));
    const auto* b_data = reinterpret_cast<const float*>(b.contiguous_data(b_copy));
    WithoutGil unlocked(count >= kReleaseGilWork);
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
    kernel(a_data, b_data, target, count);
  }
  return out_object != nullptr ? Py_NewRef(out_object) : result->release();
}

constexpr Param kParams[] = {{"a"}, {"b"}, {"out", true}};

constexpr Signature add_signature{"add", kParams};
PyObject* add_body(PyObject* const* args) { return elementwise(args, "add", &ops::add_f32_cpu); }
constexpr Signature sub_signature{"sub", kParams};
PyObject* sub_body(PyObject* const* args) { return elementwise(args, "sub", &ops::sub_f32_cpu); }
constexpr Signature mul_signature{"mul", kParams};
PyObject* mul_body(PyObject* const* args) { return elementwise(args, "mul", &ops::mul_f32_cpu); }
constexpr Signature div_signature{"div", kParams};
PyObject* div_body(PyObject* const* args) { return elementwise(args, "div", &ops::div_f32_cpu); }

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(add, add_body,
                         "add(a, b, out=None)\n--\n\n"
                         "``a + b`` element by element, as float32.\n\n"
                         "`a` and `b` are float32 arrays of one shape (no broadcasting); views that\n"
                         "are not C-contiguous are copied first. Without `out` the result is a new\n"
                         "array of the kind of `a`; `out` must be a writable C-contiguous float32\n"
                         "array of that shape, either apart from `a` and `b` or the very same\n"
                         "buffer as one of them (in place). Returns the result."),
    ZOLTRA_NATIVE_METHOD(sub, sub_body,
                         "sub(a, b, out=None)\n--\n\n"
                         "``a - b`` element by element; arguments and result as for add()."),
    ZOLTRA_NATIVE_METHOD(mul, mul_body,
                         "mul(a, b, out=None)\n--\n\n"
                         "``a * b`` element by element; arguments and result as for add()."),
    ZOLTRA_NATIVE_METHOD(div, div_body,
                         "div(a, b, out=None)\n--\n\n"
                         "``a / b`` element by element (IEEE division); arguments and result as for add()."),
};

}  // namespace

std::span<const PyMethodDef> elementwise_methods() { return kMethods; }

}  // namespace zoltra::native
