"""The 39 functions with their text signatures, in table order."""

TABLE = [
    ("tensor_all", "(data_ptr, count)"),
    ("tensor_any", "(data_ptr, count)"),
    ("tensor_sum_f32", "(data_ptr, count)"),
    ("tensor_sum_i32", "(data_ptr, count)"),
    ("tensor_mean_f32", "(data_ptr, count)"),
    ("tensor_matmul_f32", "(a_ptr, b_ptr, count)"),
    ("tensor_matmul_2d_f32", "(a_ptr, b_ptr, out_ptr, m, k, n)"),
    ("tensor_dot_product_f32", "(a_ptr, b_ptr, count)"),
    ("tensor_sum_f32_strided", "(data_ptr, shape, strides)"),
    ("tensor_mean_f32_strided", "(data_ptr, shape, strides)"),
    ("tensor_max_f32_strided", "(data_ptr, shape, strides)"),
    ("tensor_min_f32_strided", "(data_ptr, shape, strides)"),
    ("set_backend_policy", "(policy)"),
    ("get_backend_policy", "()"),
    ("explain_last_dispatch", "()"),
    ("tensor_add_f32", "(a_ptr, b_ptr, out_ptr, count)"),
    ("tensor_sub_f32", "(a_ptr, b_ptr, out_ptr, count)"),
    ("tensor_mul_f32", "(a_ptr, b_ptr, out_ptr, count)"),
    ("tensor_div_f32", "(a_ptr, b_ptr, out_ptr, count)"),
    ("enable_profiling", "()"),
    ("disable_profiling", "()"),
    ("clear_profile", "()"),
    ("get_profile_report", "(context=None)"),
    ("set_profile_context", "(context=None)"),
    ("metal_is_available", "()"),
    ("metal_sum_f32", "(data_ptr, count)"),
    ("metal_mean_f32", "(data_ptr, count)"),
    ("metal_max_f32", "(data_ptr, count)"),
    ("metal_min_f32", "(data_ptr, count)"),
    ("metal_matmul_f32", "(a_ptr, b_ptr, c_ptr, m, k, n)"),
    ("metal_add_f32", "(a_ptr, b_ptr, result_ptr, count)"),
    ("metal_sub_f32", "(a_ptr, b_ptr, result_ptr, count)"),
    ("metal_mul_f32", "(a_ptr, b_ptr, result_ptr, count)"),
    ("metal_div_f32", "(a_ptr, b_ptr, result_ptr, count)"),
    ("metal_transpose_f32", "(in_ptr, out_ptr, m, n)"),
    (
        "metal_broadcast_op",
        "(op, a_ptr, b_ptr, out_ptr, shape, strides_a, strides_b, size, size_a, size_b)",
    ),
    ("get_system_capabilities", "()"),
    ("get_capabilities_summary", "()"),
    ("sum_as_string", "(a, b)"),
]


def parameters(signature):
    """Parameter names of a text signature such as "(a, b, context=None)"."""
    inner = signature[1:-1]
    return [part.split("=")[0] for part in inner.split(", ")] if inner else []
