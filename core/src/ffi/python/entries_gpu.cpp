// The metal_* family. There is no GPU backend on this platform: the functions
// convert their arguments like working ones, then report that.
#include <vector>

#include "ffi/python/entry.hpp"

namespace zoltra::ffi {

namespace {

using U64 = std::uint64_t;
using I32Seq = std::vector<std::int32_t>;

[[noreturn]] void metal_unavailable() { throw_runtime_error("Metal is only available on macOS"); }

PyObject* metal_is_available_body() { return result_bool(false); }

PyObject* metal_sum_f32_body(U64, U64) { metal_unavailable(); }
PyObject* metal_mean_f32_body(U64, U64) { metal_unavailable(); }
PyObject* metal_max_f32_body(U64, U64) { metal_unavailable(); }
PyObject* metal_min_f32_body(U64, U64) { metal_unavailable(); }
PyObject* metal_matmul_f32_body(U64, U64, U64, U64, U64, U64) { metal_unavailable(); }
PyObject* metal_add_f32_body(U64, U64, U64, U64) { metal_unavailable(); }
PyObject* metal_sub_f32_body(U64, U64, U64, U64) { metal_unavailable(); }
PyObject* metal_mul_f32_body(U64, U64, U64, U64) { metal_unavailable(); }
PyObject* metal_div_f32_body(U64, U64, U64, U64) { metal_unavailable(); }
PyObject* metal_transpose_f32_body(U64, U64, U64, U64) { metal_unavailable(); }
PyObject* metal_broadcast_op_body(std::int32_t, U64, U64, U64, I32Seq, I32Seq, I32Seq, U64, U64, U64) {
  metal_unavailable();
}

ZOLTRA_SIGNATURE(metal_sum_f32, {"data_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_mean_f32, {"data_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_max_f32, {"data_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_min_f32, {"data_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_matmul_f32, {"a_ptr"}, {"b_ptr"}, {"c_ptr"}, {"m"}, {"k"}, {"n"});
ZOLTRA_SIGNATURE(metal_add_f32, {"a_ptr"}, {"b_ptr"}, {"result_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_sub_f32, {"a_ptr"}, {"b_ptr"}, {"result_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_mul_f32, {"a_ptr"}, {"b_ptr"}, {"result_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_div_f32, {"a_ptr"}, {"b_ptr"}, {"result_ptr"}, {"count"});
ZOLTRA_SIGNATURE(metal_transpose_f32, {"in_ptr"}, {"out_ptr"}, {"m"}, {"n"});
ZOLTRA_SIGNATURE(metal_broadcast_op, {"op"}, {"a_ptr"}, {"b_ptr"}, {"out_ptr"}, {"shape"}, {"strides_a"}, {"strides_b"},
            {"size"}, {"size_a"}, {"size_b"});

}  // namespace

ZOLTRA_NOARGS_ENTRY(metal_is_available, nullptr);
ZOLTRA_FASTCALL_ENTRY(metal_sum_f32);
ZOLTRA_FASTCALL_ENTRY(metal_mean_f32);
ZOLTRA_FASTCALL_ENTRY(metal_max_f32);
ZOLTRA_FASTCALL_ENTRY(metal_min_f32);
ZOLTRA_FASTCALL_ENTRY(metal_matmul_f32);
ZOLTRA_FASTCALL_ENTRY(metal_add_f32);
ZOLTRA_FASTCALL_ENTRY(metal_sub_f32);
ZOLTRA_FASTCALL_ENTRY(metal_mul_f32);
ZOLTRA_FASTCALL_ENTRY(metal_div_f32);
ZOLTRA_FASTCALL_ENTRY(metal_transpose_f32);
ZOLTRA_FASTCALL_ENTRY(metal_broadcast_op);

}  // namespace zoltra::ffi
