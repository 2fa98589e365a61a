// argmax, argmin(x, axis=None, keepdims=False): float32 views of any layout;
// a Python int for the whole view (an index into its row-major order),
// otherwise an int64 array of the kind of x with NumPy's shape.
#include <cstdint>
#include <string>

#include "ffi/native/layer.hpp"
#include "ffi/native/numpy_api.hpp"
#include "ffi/native/results.hpp"
#include "ffi/native/views.hpp"
#include "ops/argextremum.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

// NumPy's single axis: an int (negative from the end) or None (-1 here).
// Like NumPy, a 0-d view takes axis 0 or -1, as the whole view.
int axis_of(PyObject* axis, int ndim) {
  if (axis == nullptr || axis == Py_None) return -1;
  if (!PyLong_Check(axis) && !PyIndex_Check(axis)) {
    fail(PyExc_TypeError, "axis", std::string("expected an int or None, got ") + Py_TYPE(axis)->tp_name);
  }
  const Py_ssize_t value = PyNumber_AsSsize_t(axis, nullptr);
  if (value == -1 && PyErr_Occurred()) throw ffi::HostError{};
  const int extent = ndim == 0 ? 1 : ndim;
  if (value < -extent || value >= extent) {
    fail(PyExc_ValueError, "axis",
         "axis " + std::to_string(value) + " is out of range for a " + std::to_string(ndim) + "-D array");
  }
  return ndim == 0 ? -1 : static_cast<int>(value < 0 ? value + ndim : value);
}

PyObject* argextremum(PyObject* const* args, bool largest) {
  const char* operation = largest ? "argmax" : "argmin";
  View x;
  read_view(args[0], "x", x);
  require_dtype(x, "x", DType::kFloat32);
  const bool axis_given = args[1] != nullptr && args[1] != Py_None;
  const int axis = axis_of(args[1], x.ndim);
  bool keepdims = false;
  if (args[2] != nullptr && args[2] != Py_None) {
    const int truth = PyObject_IsTrue(args[2]);
    if (truth < 0) throw ffi::HostError{};
    keepdims = truth != 0;
  }
  std::int64_t shape[kMaxDims];
  int ndim = 0;
  std::int64_t outputs = 1;
  for (int d = 0; d < x.ndim; ++d) {
    if (axis >= 0 && d != axis) outputs *= (shape[ndim++] = x.shape[d]);
    else if (keepdims) shape[ndim++] = 1;
  }
  const std::int64_t length = axis >= 0 ? x.shape[axis] : x.size();
  if (length == 0 && outputs != 0) {
    fail(PyExc_ValueError, "x", std::string("attempt to get ") + operation + " of an empty sequence");
  }
  const auto nd = static_cast<std::uint64_t>(x.ndim);
  const auto work = static_cast<std::uint64_t>(outputs) * static_cast<std::uint64_t>(length);
  const auto* data = reinterpret_cast<const float*>(x.data);
  if (axis < 0) {
    std::uint64_t index;
    {
      WithoutGil unlocked(work >= kReleaseGilElements);
      profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", work);
      index = ops::argextremum_f32_cpu(largest, data, nd, x.shape, x.strides);
    }
    if (!axis_given && !keepdims) return ffi::checked(PyLong_FromUnsignedLongLong(index)).release();
    TypedResult result(x, shape, ndim, NPY_INT64);
    *static_cast<std::int64_t*>(result.data()) = static_cast<std::int64_t>(index);
    return result.release();
  }
  TypedResult result(x, shape, ndim, NPY_INT64);
  if (outputs != 0) {
    WithoutGil unlocked(work >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", work);
    ops::axis_argextremum_f32_cpu(largest, data, nd, x.shape, x.strides, static_cast<std::uint64_t>(axis),
                                  static_cast<std::int64_t*>(result.data()));
  }
  return result.release();
}

constexpr Param kParams[] = {{"x"}, {"axis", true}, {"keepdims", true}};
constexpr Signature argmax_signature{"argmax", kParams};
PyObject* argmax_body(PyObject* const* args) { return argextremum(args, true); }
constexpr Signature argmin_signature{"argmin", kParams};
PyObject* argmin_body(PyObject* const* args) { return argextremum(args, false); }

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(argmax, argmax_body,
                         "argmax(x, axis=None, keepdims=False)\n--\n\n"
                         "The index of the largest element of the float32 array `x`, NumPy's:\n"
                         "the first of equal ones (-0.0 equals +0.0), the first NaN if any.\n"
                         "Without `axis` a Python int, the index into the row-major order of\n"
                         "`x`; with an int `axis` (negative from the end) an int64 array (tensor)\n"
                         "of the kind of `x` holding the index along that axis for every other\n"
                         "position, NumPy's shape (`keepdims` keeps the axis as 1). Any layout is\n"
                         "read where it lies. An empty sequence to search is a ValueError.\n\n"
                         "    predicted = zn.argmax(logits, axis=1)  # one class per row"),
    ZOLTRA_NATIVE_METHOD(argmin, argmin_body,
                         "argmin(x, axis=None, keepdims=False)\n--\n\n"
                         "The index of the smallest element (the first NaN if any); as argmax()."),
};

}  // namespace

std::span<const PyMethodDef> argextremum_methods() { return kMethods; }

}  // namespace zoltra::native
