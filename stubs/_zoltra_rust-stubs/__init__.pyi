"""Zero-copy float32 kernels on caller-owned memory.

Every address parameter is the raw address of a caller-owned buffer, as a
plain int (for example ``numpy_array.ctypes.data``); counts and matrix sizes
are element counts. Strides are in bytes.
"""

from typing import Sequence, SupportsIndex, TypedDict

__all__ = [
    "tensor_all",
    "tensor_any",
    "tensor_sum_f32",
    "tensor_sum_i32",
    "tensor_mean_f32",
    "tensor_matmul_f32",
    "tensor_matmul_2d_f32",
    "tensor_dot_product_f32",
    "tensor_sum_f32_strided",
    "tensor_mean_f32_strided",
    "tensor_max_f32_strided",
    "tensor_min_f32_strided",
    "set_backend_policy",
    "get_backend_policy",
    "explain_last_dispatch",
    "tensor_add_f32",
    "tensor_sub_f32",
    "tensor_mul_f32",
    "tensor_div_f32",
    "enable_profiling",
    "disable_profiling",
    "clear_profile",
    "get_profile_report",
    "set_profile_context",
    "metal_is_available",
    "metal_sum_f32",
    "metal_mean_f32",
    "metal_max_f32",
    "metal_min_f32",
    "metal_matmul_f32",
    "metal_add_f32",
    "metal_sub_f32",
    "metal_mul_f32",
    "metal_div_f32",
    "metal_transpose_f32",
    "metal_broadcast_op",
    "get_system_capabilities",
    "get_capabilities_summary",
    "sum_as_string",
]

class _CpuCapabilities(TypedDict):
    arch: str
    cores: int
    has_avx2: bool
    has_avx512: bool
    has_fma: bool
    has_neon: bool
    best_simd: str

class _GpuCapabilities(TypedDict, total=False):
    metal_available: bool
    cuda_available: bool
    rocm_available: bool
    best_gpu: str

class _SystemCapabilities(TypedDict):
    cpu: _CpuCapabilities
    gpu: _GpuCapabilities

# Addresses are typed int, narrower than what the module takes (any object
# with __index__): a checker then refuses an array, a tensor, a float, None or
# a numpy.int64 where an address belongs. It cannot refuse True or False,
# which are ints to mypy and pyright alike; the module reads them as the
# addresses 1 and 0. Counts, sizes and strides take any integer-like object
# (numpy.int64, ...).
_Ptr = int
_Int = SupportsIndex
_IntSeq = Sequence[SupportsIndex]

def tensor_all(data_ptr: _Ptr, count: _Int) -> bool: ...
def tensor_any(data_ptr: _Ptr, count: _Int) -> bool: ...
def tensor_sum_f32(data_ptr: _Ptr, count: _Int) -> float: ...
def tensor_sum_i32(data_ptr: _Ptr, count: _Int) -> int: ...
def tensor_mean_f32(data_ptr: _Ptr, count: _Int) -> float: ...
def tensor_matmul_f32(a_ptr: _Ptr, b_ptr: _Ptr, count: _Int) -> float: ...
def tensor_matmul_2d_f32(a_ptr: _Ptr, b_ptr: _Ptr, out_ptr: _Ptr, m: _Int, k: _Int, n: _Int) -> None: ...
def tensor_dot_product_f32(a_ptr: _Ptr, b_ptr: _Ptr, count: _Int) -> float: ...
def tensor_sum_f32_strided(data_ptr: _Ptr, shape: _IntSeq, strides: _IntSeq) -> float: ...
def tensor_mean_f32_strided(data_ptr: _Ptr, shape: _IntSeq, strides: _IntSeq) -> float: ...
def tensor_max_f32_strided(data_ptr: _Ptr, shape: _IntSeq, strides: _IntSeq) -> float: ...
def tensor_min_f32_strided(data_ptr: _Ptr, shape: _IntSeq, strides: _IntSeq) -> float: ...
def set_backend_policy(policy: _Int) -> None: ...
def get_backend_policy() -> int: ...
def explain_last_dispatch() -> str: ...
def tensor_add_f32(a_ptr: _Ptr, b_ptr: _Ptr, out_ptr: _Ptr, count: _Int) -> None: ...
def tensor_sub_f32(a_ptr: _Ptr, b_ptr: _Ptr, out_ptr: _Ptr, count: _Int) -> None: ...
def tensor_mul_f32(a_ptr: _Ptr, b_ptr: _Ptr, out_ptr: _Ptr, count: _Int) -> None: ...
def tensor_div_f32(a_ptr: _Ptr, b_ptr: _Ptr, out_ptr: _Ptr, count: _Int) -> None: ...
def enable_profiling() -> None: ...
def disable_profiling() -> None: ...
def clear_profile() -> None: ...
def get_profile_report(context: str | None = None) -> str: ...
def set_profile_context(context: str | None = None) -> None: ...
def metal_is_available() -> bool: ...
def metal_sum_f32(data_ptr: _Ptr, count: _Int) -> float: ...
def metal_mean_f32(data_ptr: _Ptr, count: _Int) -> float: ...
def metal_max_f32(data_ptr: _Ptr, count: _Int) -> float: ...
def metal_min_f32(data_ptr: _Ptr, count: _Int) -> float: ...
def metal_matmul_f32(a_ptr: _Ptr, b_ptr: _Ptr, c_ptr: _Ptr, m: _Int, k: _Int, n: _Int) -> None: ...
def metal_add_f32(a_ptr: _Ptr, b_ptr: _Ptr, result_ptr: _Ptr, count: _Int) -> None: ...
def metal_sub_f32(a_ptr: _Ptr, b_ptr: _Ptr, result_ptr: _Ptr, count: _Int) -> None: ...
def metal_mul_f32(a_ptr: _Ptr, b_ptr: _Ptr, result_ptr: _Ptr, count: _Int) -> None: ...
def metal_div_f32(a_ptr: _Ptr, b_ptr: _Ptr, result_ptr: _Ptr, count: _Int) -> None: ...
def metal_transpose_f32(in_ptr: _Ptr, out_ptr: _Ptr, m: _Int, n: _Int) -> None: ...
def metal_broadcast_op(
    op: _Int,
    a_ptr: _Ptr,
    b_ptr: _Ptr,
    out_ptr: _Ptr,
    shape: _IntSeq,
    strides_a: _IntSeq,
    strides_b: _IntSeq,
    size: _Int,
    size_a: _Int,
    size_b: _Int,
) -> None: ...
def get_system_capabilities() -> _SystemCapabilities: ...
def get_capabilities_summary() -> str: ...
def sum_as_string(a: _Int, b: _Int) -> str: ...
