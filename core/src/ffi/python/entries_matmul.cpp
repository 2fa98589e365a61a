// tensor_matmul_2d_f32, tensor_dot_product_f32, tensor_matmul_f32.
#include "ffi/python/entry.hpp"
#include "ops/matmul.hpp"
#include "profiler/core.hpp"
#include "scheduler/arena.hpp"

namespace zoltra::ffi {

namespace {

ZOLTRA_SIGNATURE(tensor_matmul_2d_f32, {"a_ptr"}, {"b_ptr"}, {"out_ptr"}, {"m"}, {"k"}, {"n"});
PyObject* tensor_matmul_2d_f32_body(std::uint64_t a_ptr, std::uint64_t b_ptr, std::uint64_t out_ptr, std::uint64_t m,
                                    std::uint64_t k, std::uint64_t n) {
  refuse_null(tensor_matmul_2d_f32_signature, a_ptr, b_ptr, out_ptr);
  ops::matmul_f32_prepare(m, k, n);  // an OpenBLAS that cannot be loaded fails here, with nothing recorded
  // Opened even for empty matrices: every product that passes the null check
  // is dispatched, recorded and profiled.
  profiler::ProfileScope scope(profiler::global_profiler(), "matmul_2d", "CPU", m * k * n);
  scope.set_product(ops::matmul_f32_cpu_dispatch(address_as<const float>(a_ptr), address_as<const float>(b_ptr),
                                                 address_as<float>(out_ptr), m, k, n));
  return result_none();
}

ZOLTRA_SIGNATURE(tensor_dot_product_f32, {"a_ptr"}, {"b_ptr"}, {"count"});

// Shared by tensor_dot_product_f32 and tensor_matmul_f32 (the product of two
// one-dimensional operands), down to the null-pointer message, which names
// tensor_dot_product_f32 for both.
float dot_product(std::uint64_t a_ptr, std::uint64_t b_ptr, std::uint64_t count) {
  refuse_null(tensor_dot_product_f32_signature, a_ptr, b_ptr);
  if (count == 0) return 0.0f;
  const float* a = address_as<const float>(a_ptr);
  const float* b = address_as<const float>(b_ptr);
  profiler::ProfileScope scope(profiler::global_profiler(), "dot_product", "CPU", count);
  return scheduler::with_arena([&](scheduler::ThreadArena&) { return ops::dot_product_f32(a, b, count); });
}

PyObject* tensor_dot_product_f32_body(std::uint64_t a_ptr, std::uint64_t b_ptr, std::uint64_t count) {
  return result_float(dot_product(a_ptr, b_ptr, count));
}

ZOLTRA_SIGNATURE(tensor_matmul_f32, {"a_ptr"}, {"b_ptr"}, {"count"});
PyObject* tensor_matmul_f32_body(std::uint64_t a_ptr, std::uint64_t b_ptr, std::uint64_t count) {
  return result_float(dot_product(a_ptr, b_ptr, count));
}

}  // namespace

ZOLTRA_FASTCALL_ENTRY(tensor_matmul_2d_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_dot_product_f32);
ZOLTRA_FASTCALL_ENTRY(tensor_matmul_f32);

}  // namespace zoltra::ffi
