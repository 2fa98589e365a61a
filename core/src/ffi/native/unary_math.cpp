// exp, log, sqrt, tanh: one float32 array of any kind and layout the layer
// reads, each element correctly rounded.
#include <memory>

#include "ffi/native/broadcast.hpp"
#include "ffi/native/layer.hpp"
#include "ffi/native/views.hpp"
#include "ops/unary_math.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

PyObject* unary_math(PyObject* const* args, const char* operation, ops::UnaryMath function) {
  Operand x;
  read_view(args[0], "x", x.view);
  require_dtype(x.view, "x", DType::kFloat32);
  Operand* inputs[] = {&x};
  FloatTarget target(args[1], x.view.shape, x.view.ndim, inputs, 1);
  const auto count = static_cast<std::uint64_t>(x.view.size());
  if (count != 0) {
    // In place, x is out's very elements, so C-contiguous and read where it lies.
    std::unique_ptr<char[]> copy;
    const auto* data = reinterpret_cast<const float*>(x.view.contiguous_data(copy));
    WithoutGil unlocked(count >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
    ops::unary_math_f32_cpu(function, data, target.data(), count);
  }
  return target.release();
}

constexpr Param kParams[] = {{"x"}, {"out", true}};

constexpr Signature exp_signature{"exp", kParams};
PyObject* exp_body(PyObject* const* args) { return unary_math(args, "exp", ops::UnaryMath::kExp); }
constexpr Signature log_signature{"log", kParams};
PyObject* log_body(PyObject* const* args) { return unary_math(args, "log", ops::UnaryMath::kLog); }
constexpr Signature sqrt_signature{"sqrt", kParams};
PyObject* sqrt_body(PyObject* const* args) { return unary_math(args, "sqrt", ops::UnaryMath::kSqrt); }
constexpr Signature tanh_signature{"tanh", kParams};
PyObject* tanh_body(PyObject* const* args) { return unary_math(args, "tanh", ops::UnaryMath::kTanh); }

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(exp, exp_body,
                         "exp(x, out=None)\n--\n\n"
                         "e to the power ``x``, element by element, correctly rounded.\n\n"
                         "`x` is a float32 array of any kind and layout the layer reads. Each element\n"
                         "is the float32 nearest the exact value (ties to even), so the bits are the\n"
                         "same on every processor; special values are C's (exp(-inf) = 0, +inf above\n"
                         "88.72284, NaN for NaN), and no floating-point warning is raised. Without\n"
                         "`out` the result is a new array of x's shape and kind; `out` must be a\n"
                         "writable C-contiguous float32 array of that shape, either apart from `x` or\n"
                         "the very same buffer (in place). Returns the result.\n\n"
                         "    p = zn.exp(zn.sub(z, zn.max(z, axis=1, keepdims=True)))"),
    ZOLTRA_NATIVE_METHOD(log, log_body,
                         "log(x, out=None)\n--\n\n"
                         "Natural logarithm, correctly rounded: log(+-0) = -inf, NaN below zero,\n"
                         "log(+inf) = +inf; arguments and result as for exp()."),
    ZOLTRA_NATIVE_METHOD(sqrt, sqrt_body,
                         "sqrt(x, out=None)\n--\n\n"
                         "Square root (IEEE, correctly rounded): sqrt(-0) = -0, NaN below zero;\n"
                         "arguments and result as for exp()."),
    ZOLTRA_NATIVE_METHOD(tanh, tanh_body,
                         "tanh(x, out=None)\n--\n\n"
                         "Hyperbolic tangent, correctly rounded: tanh(+-inf) = +-1, tanh(+-0) = +-0;\n"
                         "arguments and result as for exp()."),
};

}  // namespace

std::span<const PyMethodDef> unary_math_methods() { return kMethods; }

}  // namespace zoltra::native
