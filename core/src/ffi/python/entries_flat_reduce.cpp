// tensor_sum_f32, tensor_sum_i32, tensor_mean_f32, tensor_all, tensor_any.
#include "ffi/python/entry.hpp"
#include "ops/flat_reduce.hpp"
#include "ops/reduce.hpp"
#include "profiler/core.hpp"
#include "scheduler/arena.hpp"

namespace zoltra::ffi {

namespace {

// The reduction runs inside a profiling scope and, within it, an arena scope
// on the calling thread; on an abort the arena is given back first, then the
// scope ends (and records when profiling is on).
template <class Kernel>
auto profiled_in_arena(const char* operation, std::uint64_t count, Kernel kernel) {
  profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
  return scheduler::with_arena([&](scheduler::ThreadArena&) { return kernel(); });
}

ZOLTRA_SIGNATURE(tensor_sum_f32, {"data_ptr"}, {"count"});
PyObject* tensor_sum_f32_body(std::uint64_t data_ptr, std::uint64_t count) {
  refuse_null(tensor_sum_f32_signature, data_ptr);
  if (count == 0) return result_float(0.0f);
  const float* data = address_as<const float>(data_ptr);
  return result_float(profiled_in_arena("sum", count, [&] { return ops::sum_f32_auto(data, count); }));
}

ZOLTRA_SIGNATURE(tensor_sum_i32, {"data_ptr"}, {"count"});
PyObject* tensor_sum_i32_body(std::uint64_t data_ptr, std::uint64_t count) {
  refuse_null(tensor_sum_i32_signature, data_ptr);
  if (count == 0) return result_int(0);
  const std::int32_t* data = address_as<const std::int32_t>(data_ptr);
  return result_int(profiled_in_arena("sum", count, [&] { return ops::sum_i32_auto(data, count); }));
}

ZOLTRA_SIGNATURE(tensor_mean_f32, {"data_ptr"}, {"count"});
PyObject* tensor_mean_f32_body(std::uint64_t data_ptr, std::uint64_t count) {
  refuse_null(tensor_mean_f32_signature, data_ptr);
  if (count == 0) throw_value_error("Cannot compute mean of empty tensor");
  const float* data = address_as<const float>(data_ptr);
  return result_float(profiled_in_arena("mean", count, [&] { return ops::mean_f32_auto(data, count); }));
}

ZOLTRA_SIGNATURE(tensor_all, {"data_ptr"}, {"count"});
PyObject* tensor_all_body(std::uint64_t data_ptr, std::uint64_t count) {
  refuse_null(tensor_all_signature, data_ptr);
  if (count == 0) return result_bool(true);
  const std::uint8_t* data = address_as<const std::uint8_t>(data_ptr);
  return result_bool(profiled_in_arena("all", count, [&] { return ops::all_bool_cpu(data, count); }));
}

ZOLTRA_SIGNATURE(tensor_any, {"data_ptr"}, {"count"});
PyObject* tensor_any_body(std::uint64_t data_ptr, std::uint64_t count) {
  refuse_null(tensor_any_signature, data_ptr);
  if (count == 0) return result_bool(false);
  const std::uint8_t* data = address_as<const std::uint8_t>(data_ptr);
  return result_bool(profiled_in_arena("any", count, [&] { return ops::any_bool_cpu(data, count); }));
}

}  // namespace

ZOLTRA_FASTCALL_ENTRY(tensor_sum_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_sum_i32);
ZOLTRA_FASTCALL_ENTRY(tensor_mean_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_all);
ZOLTRA_FASTCALL_ENTRY(tensor_any);

}  // namespace zoltra::ffi
