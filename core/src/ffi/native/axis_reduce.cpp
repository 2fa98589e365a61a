// Reductions over axes: the axes read as NumPy does (an int or a tuple of
// ints, negative from the end), then one call of the axis kernel, whose every
// output is the whole reduction of its sub-view as sum() etc. compute it.
#include "ffi/native/axis_reduce.hpp"

#include <memory>
#include <string>

#include "backend/processor_count.hpp"
#include "ffi/native/layer.hpp"
#include "ffi/native/numpy_api.hpp"
#include "ffi/native/results.hpp"
#include "ffi/native/views.hpp"
#include "ops/axis_reduce.hpp"
#include "ops/layer_outputs.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

const char* name_of(AxisReduction r) {
  switch (r) {
    case AxisReduction::kSum: return "sum";
    case AxisReduction::kMean: return "mean";
    case AxisReduction::kMax: return "max";
    case AxisReduction::kMin: return "min";
    case AxisReduction::kAll: return "all";
    case AxisReduction::kAny: return "any";
  }
  return "";
}

bool keepdims_of(PyObject* keepdims) {
  if (keepdims == nullptr || keepdims == Py_None) return false;
  const int truth = PyObject_IsTrue(keepdims);
  if (truth < 0) throw ffi::HostError{};
  return truth != 0;
}

void mark_axis(PyObject* item, int ndim, bool* reduced) {
  if (!PyLong_Check(item) && !PyIndex_Check(item)) {
    fail(PyExc_TypeError, "axis",
         std::string("expected an int, a tuple of ints or None, got ") + Py_TYPE(item)->tp_name);
  }
  const Py_ssize_t value = PyNumber_AsSsize_t(item, nullptr);
  if (value == -1 && PyErr_Occurred()) throw ffi::HostError{};
  if (value < -ndim || value >= ndim) {
    fail(PyExc_ValueError, "axis",
         "axis " + std::to_string(value) + " is out of range for a " + std::to_string(ndim) + "-D array");
  }
  const int d = static_cast<int>(value < 0 ? value + ndim : value);
  if (reduced[d]) fail(PyExc_ValueError, "axis", "axis " + std::to_string(value) + " is repeated");
  reduced[d] = true;
}

// Marks the reduced dimensions; None marks all.
void read_axes(PyObject* axis, int ndim, bool* reduced) {
  for (int d = 0; d < ndim; ++d) reduced[d] = axis == nullptr || axis == Py_None;
  if (axis == nullptr || axis == Py_None) return;
  if (!PyTuple_Check(axis)) return mark_axis(axis, ndim, reduced);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(axis); ++i) mark_axis(PyTuple_GET_ITEM(axis, i), ndim, reduced);
}

}  // namespace

bool wants_axes(PyObject* const* args) {
  return (args[1] != nullptr && args[1] != Py_None) || keepdims_of(args[2]);
}

PyObject* axis_reduction(PyObject* const* args, AxisReduction reduction) {
  View x;
  read_view(args[0], "x", x);
  const bool logical = reduction == AxisReduction::kAll || reduction == AxisReduction::kAny;
  if (logical) {
    require_dtype(x, "x", DType::kBool);
  } else if (reduction == AxisReduction::kSum) {
    require_dtype(x, "x", DType::kFloat32, DType::kInt32);
  } else {
    require_dtype(x, "x", DType::kFloat32);
  }
  bool reduced[kMaxDims];
  read_axes(args[1], x.ndim, reduced);
  const bool keepdims = keepdims_of(args[2]);

  std::int64_t shape[kMaxDims];
  int ndim = 0;
  std::int64_t outputs = 1, count = 1;
  for (int d = 0; d < x.ndim; ++d) {
    (reduced[d] ? count : outputs) *= x.shape[d];
    if (!reduced[d]) shape[ndim++] = x.shape[d];
    else if (keepdims) shape[ndim++] = 1;
  }
  if (outputs != 0 && count == 0 &&
      (reduction == AxisReduction::kMean || reduction == AxisReduction::kMax || reduction == AxisReduction::kMin)) {
    fail(PyExc_ValueError, "x", std::string("cannot compute the ") + name_of(reduction) + " over an axis of length 0");
  }

  const std::uint64_t nd = static_cast<std::uint64_t>(x.ndim);
  const std::uint64_t work = static_cast<std::uint64_t>(outputs) * static_cast<std::uint64_t>(count);
  if (reduction == AxisReduction::kSum && x.dtype == DType::kInt32) {
    TypedResult result(x, shape, ndim, NPY_INT32);
    if (outputs != 0) {
      WithoutGil unlocked(work >= kReleaseGilElements);
      profiler::ProfileScope scope(profiler::global_profiler(), "sum", "CPU", work);
      ops::axis_sum_i32_cpu(reinterpret_cast<const std::int32_t*>(x.data), nd, x.shape, x.strides, reduced,
                            static_cast<std::int32_t*>(result.data()));
    }
    return result.release();
  }
  if (logical) {
    TypedResult result(x, shape, ndim, NPY_BOOL);
    if (outputs != 0) {
      WithoutGil unlocked(work >= kReleaseGilElements);
      profiler::ProfileScope scope(profiler::global_profiler(), name_of(reduction), "CPU", work);
      const auto* data = reinterpret_cast<const std::uint8_t*>(x.data);
      auto* out = static_cast<std::uint8_t*>(result.data());
      if (reduction == AxisReduction::kAll) ops::axis_all_bool_cpu(data, nd, x.shape, x.strides, reduced, out);
      else ops::axis_any_bool_cpu(data, nd, x.shape, x.strides, reduced, out);
    }
    return result.release();
  }
  Result result(x, shape, ndim);
  if (outputs != 0) {
    const ops::AxisFold fold = reduction == AxisReduction::kSum    ? ops::AxisFold::kSum
                               : reduction == AxisReduction::kMean ? ops::AxisFold::kMean
                               : reduction == AxisReduction::kMax  ? ops::AxisFold::kMax
                                                                   : ops::AxisFold::kMin;
    WithoutGil unlocked(work >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), name_of(reduction), "CPU", work);
    ops::layer_axis_reduce_f32(fold, x.data, x.ndim, x.shape, x.strides, reduced, result.data(),
                               backend::processor_count());
  }
  return result.release();
}

}  // namespace zoltra::native
