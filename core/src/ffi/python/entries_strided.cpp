// tensor_sum_f32_strided, tensor_mean_f32_strided, tensor_max_f32_strided,
// tensor_min_f32_strided.
#include <vector>

#include "ffi/python/entry.hpp"
#include "ops/reduce.hpp"
#include "profiler/core.hpp"

namespace zoltra::ffi {

namespace {

using Shape = std::vector<std::int64_t>;
using StridedKernel = float (*)(const float*, const std::int64_t*, std::uint64_t, const std::int64_t*,
                                std::uint64_t) noexcept;

// The element count of a view: the product of its extents, wrapping in signed
// 64-bit arithmetic (done unsigned, which wraps the same way without UB).
std::int64_t element_count(const Shape& shape) noexcept {
  std::uint64_t product = 1;
  for (std::int64_t extent : shape) product *= static_cast<std::uint64_t>(extent);
  return static_cast<std::int64_t>(product);
}

float run_strided(const char* operation, StridedKernel kernel, std::uint64_t data_ptr, const Shape& shape,
                  const Shape& strides, std::int64_t count) {
  profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", static_cast<std::uint64_t>(count));
  return kernel(address_as<const float>(data_ptr), shape.data(), shape.size(), strides.data(), strides.size());
}

ZOLTRA_SIGNATURE(tensor_sum_f32_strided, {"data_ptr"}, {"shape"}, {"strides"});
PyObject* tensor_sum_f32_strided_body(std::uint64_t data_ptr, Shape shape, Shape strides) {
  refuse_null(tensor_sum_f32_strided_signature, data_ptr);
  if (shape.empty()) return result_float(0.0f);
  return result_float(
      run_strided("sum_strided", &ops::sum_f32_strided_dispatch, data_ptr, shape, strides, element_count(shape)));
}

ZOLTRA_SIGNATURE(tensor_mean_f32_strided, {"data_ptr"}, {"shape"}, {"strides"});
PyObject* tensor_mean_f32_strided_body(std::uint64_t data_ptr, Shape shape, Shape strides) {
  refuse_null(tensor_mean_f32_strided_signature, data_ptr);
  if (shape.empty()) throw_value_error("Cannot compute mean of empty tensor");
  const std::int64_t count = element_count(shape);
  float mean;
  {
    profiler::ProfileScope scope(profiler::global_profiler(), "mean_strided", "CPU", static_cast<std::uint64_t>(count));
    float sum = ops::sum_f32_strided_dispatch(address_as<const float>(data_ptr), shape.data(), shape.size(),
                                              strides.data(), strides.size());
    mean = count != 0 ? sum / static_cast<float>(count) : 0.0f;
  }
  return result_float(mean);
}

ZOLTRA_SIGNATURE(tensor_max_f32_strided, {"data_ptr"}, {"shape"}, {"strides"});
PyObject* tensor_max_f32_strided_body(std::uint64_t data_ptr, Shape shape, Shape strides) {
  refuse_null(tensor_max_f32_strided_signature, data_ptr);
  if (shape.empty()) throw_value_error("Cannot compute max of empty tensor");
  return result_float(
      run_strided("max_strided", &ops::max_f32_strided_dispatch, data_ptr, shape, strides, element_count(shape)));
}

ZOLTRA_SIGNATURE(tensor_min_f32_strided, {"data_ptr"}, {"shape"}, {"strides"});
PyObject* tensor_min_f32_strided_body(std::uint64_t data_ptr, Shape shape, Shape strides) {
  refuse_null(tensor_min_f32_strided_signature, data_ptr);
  if (shape.empty()) throw_value_error("Cannot compute min of empty tensor");
  return result_float(
      run_strided("min_strided", &ops::min_f32_strided_dispatch, data_ptr, shape, strides, element_count(shape)));
}

}  // namespace

ZOLTRA_FASTCALL_ENTRY(tensor_sum_f32_strided);
ZOLTRA_FASTCALL_ENTRY(tensor_mean_f32_strided);
ZOLTRA_FASTCALL_ENTRY(tensor_max_f32_strided);
ZOLTRA_FASTCALL_ENTRY(tensor_min_f32_strided);

}  // namespace zoltra::ffi
