// tensor_add_f32, tensor_sub_f32, tensor_mul_f32, tensor_div_f32.
#include "ffi/python/entry.hpp"
#include "ops/elementwise.hpp"
#include "profiler/core.hpp"

namespace zoltra::ffi {

namespace {

using Kernel = void (*)(const float*, const float*, float*, std::uint64_t);

// Convert (done by the caller), refuse null, answer the empty case, then run
// the kernel inside a profiling scope.
PyObject* run_elementwise(const Signature& signature, const char* operation, Kernel kernel, std::uint64_t a_ptr,
                          std::uint64_t b_ptr, std::uint64_t out_ptr, std::uint64_t count) {
  refuse_null(signature, a_ptr, b_ptr, out_ptr);
  if (count != 0) {
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
    kernel(address_as<const float>(a_ptr), address_as<const float>(b_ptr), address_as<float>(out_ptr), count);
  }
  return result_none();
}

#define ZOLTRA_ELEMENTWISE(NAME, OPERATION, KERNEL)                                                      \
  ZOLTRA_SIGNATURE(NAME, {"a_ptr"}, {"b_ptr"}, {"out_ptr"}, {"count"});                                  \
  PyObject* NAME##_body(std::uint64_t a_ptr, std::uint64_t b_ptr, std::uint64_t out_ptr, std::uint64_t count) { \
    return run_elementwise(NAME##_signature, OPERATION, &KERNEL, a_ptr, b_ptr, out_ptr, count);           \
  }

ZOLTRA_ELEMENTWISE(tensor_add_f32, "add", ops::add_f32_cpu);
ZOLTRA_ELEMENTWISE(tensor_sub_f32, "sub", ops::sub_f32_cpu);
ZOLTRA_ELEMENTWISE(tensor_mul_f32, "mul", ops::mul_f32_cpu);
ZOLTRA_ELEMENTWISE(tensor_div_f32, "div", ops::div_f32_cpu);

}  // namespace

ZOLTRA_FASTCALL_ENTRY(tensor_add_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_sub_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_mul_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_div_f32);

}  // namespace zoltra::ffi
