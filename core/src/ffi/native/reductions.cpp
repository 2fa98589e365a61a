// sum, mean, max, min, all, any. float32 in the layer's own order
// (ops/layer_sum.hpp) on the view where it lies; int32 sums and all/any by the
// raw functions' kernels. Each call is one profiled event under the name of
// the raw function for the same memory layout.
#include <memory>
#include <string>

#include "backend/processor_count.hpp"
#include "ffi/native/axis_reduce.hpp"
#include "ffi/native/layer.hpp"
#include "ffi/native/views.hpp"
#include "ops/flat_reduce.hpp"
#include "ops/layer_sum.hpp"
#include "ops/reduce.hpp"
#include "profiler/core.hpp"
#include "scheduler/arena.hpp"

namespace zoltra::native {

namespace {

template <class Kernel>
auto profiled_in_arena(const char* operation, std::uint64_t count, Kernel kernel) {
  WithoutGil unlocked(count >= kReleaseGilElements);
  profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
  return scheduler::with_arena([&](scheduler::ThreadArena&) { return kernel(); });
}

// A float32 whole reduction in the layer's own order, walking the view where
// it lies; profiled as the raw function of the view's layout.
float layer_whole(const char* contiguous_name, const char* strided_name, const View& x,
                  float (*reduce)(const ops::ViewWalk&, std::uint64_t)) {
  const ops::ViewWalk walk(x.data, x.ndim, x.shape, x.strides);
  const std::uint64_t count = walk.size();
  WithoutGil unlocked(count >= kReleaseGilElements);
  profiler::ProfileScope scope(profiler::global_profiler(), x.contiguous() ? contiguous_name : strided_name, "CPU",
                               count);
  return reduce(walk, backend::processor_count());
}

void require_not_empty(const View& x, const char* what) {
  if (x.size() == 0) fail(PyExc_ValueError, "x", std::string("cannot compute the ") + what + " of an empty array");
}

constexpr Param kX[] = {{"x"}, {"axis", true}, {"keepdims", true}};

constexpr Signature sum_signature{"sum", kX};
PyObject* sum_body(PyObject* const* args) {
  if (wants_axes(args)) return axis_reduction(args, AxisReduction::kSum);
  View x;
  read_view(args[0], "x", x);
  require_dtype(x, "x", DType::kFloat32, DType::kInt32);
  const auto count = static_cast<std::uint64_t>(x.size());
  if (x.dtype == DType::kInt32) {
    if (count == 0) return ffi::result_int(0);
    std::unique_ptr<char[]> copy;
    const auto* data = reinterpret_cast<const std::int32_t*>(x.contiguous_data(copy));
    return ffi::result_int(profiled_in_arena("sum", count, [&] { return ops::sum_i32_auto(data, count); }));
  }
  return ffi::result_float(layer_whole("sum", "sum_strided", x, &ops::layer_sum_f32));
}

constexpr Signature mean_signature{"mean", kX};
PyObject* mean_body(PyObject* const* args) {
  if (wants_axes(args)) return axis_reduction(args, AxisReduction::kMean);
  View x;
  read_view(args[0], "x", x);
  require_dtype(x, "x", DType::kFloat32);
  require_not_empty(x, "mean");
  const float sum = layer_whole("mean", "mean_strided", x, &ops::layer_sum_f32);
  return ffi::result_float(sum / static_cast<float>(x.size()));
}

constexpr Signature max_signature{"max", kX};
PyObject* max_body(PyObject* const* args) {
  if (wants_axes(args)) return axis_reduction(args, AxisReduction::kMax);
  View x;
  read_view(args[0], "x", x);
  require_dtype(x, "x", DType::kFloat32);
  require_not_empty(x, "max");
  return ffi::result_float(layer_whole("max_strided", "max_strided", x, &ops::layer_max_f32));
}

constexpr Signature min_signature{"min", kX};
PyObject* min_body(PyObject* const* args) {
  if (wants_axes(args)) return axis_reduction(args, AxisReduction::kMin);
  View x;
  read_view(args[0], "x", x);
  require_dtype(x, "x", DType::kFloat32);
  require_not_empty(x, "min");
  return ffi::result_float(layer_whole("min_strided", "min_strided", x, &ops::layer_min_f32));
}

template <bool (*Kernel)(const std::uint8_t*, std::uint64_t) noexcept>
PyObject* bool_reduction(PyObject* const* args, const char* operation, bool empty) {
  if (wants_axes(args)) return axis_reduction(args, empty ? AxisReduction::kAll : AxisReduction::kAny);
  View x;
  read_view(args[0], "x", x);
  require_dtype(x, "x", DType::kBool);
  const auto count = static_cast<std::uint64_t>(x.size());
  if (count == 0) return ffi::result_bool(empty);
  std::unique_ptr<char[]> copy;
  const auto* data = reinterpret_cast<const std::uint8_t*>(x.contiguous_data(copy));
  return ffi::result_bool(profiled_in_arena(operation, count, [&] { return Kernel(data, count); }));
}

constexpr Signature all_signature{"all", kX};
PyObject* all_body(PyObject* const* args) { return bool_reduction<&ops::all_bool_cpu>(args, "all", true); }

constexpr Signature any_signature{"any", kX};
PyObject* any_body(PyObject* const* args) { return bool_reduction<&ops::any_bool_cpu>(args, "any", false); }

const PyMethodDef kMethods[] = {
    ZOLTRA_NATIVE_METHOD(sum, sum_body,
                         "sum(x, axis=None, keepdims=False)\n--\n\n"
                         "The sum of all elements of `x`, as a Python number.\n\n"
                         "float32 input: a float in the layer's order, the same bits for every layout,\n"
                         "processor and processor count: the elements in row-major order, blocks of\n"
                         "4,096 values in 64 lanes (value t in lane t mod 64, from -0.0), the lanes\n"
                         "folded pairwise, the block sums over a fixed tree.\n"
                         "int32 input: an int, the sum wrapped modulo 2**32 into the int32 range\n"
                         "(unlike NumPy, which widens to int64); a view that is not contiguous is\n"
                         "copied first. An empty array sums to 0.0 (0 for int32).\n\n"
                         "With `axis` (an int or a tuple of ints, negative counting from the end) or\n"
                         "`keepdims=True`, an array of the kind of `x` with NumPy's shape instead, each\n"
                         "element equal, bit for bit, to this function's whole reduction of the\n"
                         "sub-view it folds: sum(x, axis=1)[i] == sum(x[i, :]). float32 or int32;\n"
                         "a sum over an axis of length 0 is 0.\n\n"
                         "    zn.sum(x, axis=0); zn.sum(x, axis=(0, -1), keepdims=True)"),
    ZOLTRA_NATIVE_METHOD(mean, mean_body,
                         "mean(x, axis=None, keepdims=False)\n--\n\n"
                         "The mean of a non-empty float32 array, as a Python float (the float32\n"
                         "sum, as sum() computes it, divided by the count in float32).\n\n"
                         "With `axis` (an int or a tuple of ints, negative counting from the end) or\n"
                         "`keepdims=True`, an array of the kind of `x` with NumPy's shape instead, each\n"
                         "element equal, bit for bit, to this function's whole reduction of the\n"
                         "sub-view it folds: sum(x, axis=1)[i] == sum(x[i, :]). Over an axis\n"
                         "of length 0 it is a ValueError (NumPy gives NaN).\n\n"
                         "    zn.mean(x, axis=-1)"),
    ZOLTRA_NATIVE_METHOD(max, max_body,
                         "max(x, axis=None, keepdims=False)\n--\n\n"
                         "The largest element of a non-empty float32 array, as a Python float.\n\n"
                         "NaN when any element is NaN; +0.0 counts above -0.0, so the result does not\n"
                         "depend on the layout or the order of visits.\n\n"
                         "With `axis` (an int or a tuple of ints, negative counting from the end) or\n"
                         "`keepdims=True`, an array of the kind of `x` with NumPy's shape instead, each\n"
                         "element equal, bit for bit, to this function's whole reduction of the\n"
                         "sub-view it folds: sum(x, axis=1)[i] == sum(x[i, :]). Over an axis\n"
                         "of length 0 it is a ValueError; a result with no elements is empty.\n\n"
                         "    zn.max(x, axis=1, keepdims=True)"),
    ZOLTRA_NATIVE_METHOD(min, min_body,
                         "min(x, axis=None, keepdims=False)\n--\n\n"
                         "The smallest element of a non-empty float32 array: NaN when any element is\n"
                         "NaN, -0.0 below +0.0.\n"
                         "axis and keepdims as for max()."),
    ZOLTRA_NATIVE_METHOD(all, all_body,
                         "all(x, axis=None, keepdims=False)\n--\n\n"
                         "True when every element of the bool array `x` is true (True when\n"
                         "empty); a view that is not contiguous is copied first. With `axis` or\n"
                         "`keepdims=True`, a bool array of the kind of `x` with NumPy's shape, read\n"
                         "where it lies.\n\n"
                         "    zn.all(mask, axis=0)"),
    ZOLTRA_NATIVE_METHOD(any, any_body,
                         "any(x, axis=None, keepdims=False)\n--\n\n"
                         "True when some element of the bool array `x` is true (False when\n"
                         "empty); a view that is not contiguous is copied first. axis and keepdims\n"
                         "as for all()."),
};

}  // namespace

std::span<const PyMethodDef> reduction_methods() { return kMethods; }

}  // namespace zoltra::native
