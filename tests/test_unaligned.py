"""Every kernel on buffers that start 1, 2 or 3 bytes past a 4-byte boundary.

The results must be the very bits of the same call on aligned copies. Under
the UndefinedBehaviorSanitizer build a misaligned scalar access aborts the run.
"""

import numpy as np
import pytest

OFFSETS = [1, 2, 3]


def placed(values, offset):
    """A copy of `values` whose first byte sits `offset` bytes past a 64-byte
    boundary; the backing array is returned too, to keep it alive."""
    raw = np.zeros(values.nbytes + 128, dtype=np.uint8)
    start = (-raw.ctypes.data) % 64 + offset
    view = raw[start:start + values.nbytes].view(values.dtype)
    view[...] = values
    return view, raw


def address(view):
    return view.__array_interface__["data"][0]


def floats(n, seed=7):
    return (np.random.default_rng(seed).standard_normal(n) * 100).astype(np.float32)


def bits(x):
    return np.float32(x).view(np.uint32)


@pytest.mark.parametrize("offset", OFFSETS)
@pytest.mark.parametrize("name", ["tensor_add_f32", "tensor_sub_f32", "tensor_mul_f32", "tensor_div_f32"])
@pytest.mark.parametrize("count", [37, 400_003])  # also in parallel chunks, some with streaming stores
def test_elementwise(z, name, offset, count):
    a, b = floats(count, 1), floats(count, 2)
    expected = np.empty_like(a)
    getattr(z, name)(address(a), address(b), address(expected), a.size)
    ua, keep_a = placed(a, offset)
    ub, keep_b = placed(b, (offset + 1) % 4)
    uo, keep_o = placed(np.zeros_like(a), (offset + 2) % 4)
    getattr(z, name)(address(ua), address(ub), address(uo), a.size)
    assert np.array_equal(expected.view(np.uint32), uo.view(np.uint32))


# 2,000,003 elements take the parallel path with chunks summed where they lie.
@pytest.mark.parametrize("offset", OFFSETS)
@pytest.mark.parametrize("count", [13, 2_000_003])
def test_flat_reductions(z, offset, count):
    x = floats(count)
    ints = np.arange(count, dtype=np.int32) * 7919
    flags = np.ones(count, dtype=np.uint8)
    ux, keep_x = placed(x, offset)
    ui, keep_i = placed(ints, offset)
    uf, keep_f = placed(flags, offset)
    assert bits(z.tensor_sum_f32(address(ux), count)) == bits(z.tensor_sum_f32(address(x), count))
    assert bits(z.tensor_mean_f32(address(ux), count)) == bits(z.tensor_mean_f32(address(x), count))
    assert z.tensor_sum_i32(address(ui), count) == z.tensor_sum_i32(address(ints), count)
    assert z.tensor_all(address(uf), count) and z.tensor_any(address(uf), count)


@pytest.mark.parametrize("offset", OFFSETS)
def test_dot_matmul_and_strided(z, offset):
    a, b = floats(45, 3), floats(45, 4)
    ua, keep_a = placed(a, offset)
    ub, keep_b = placed(b, 4 - offset)
    for name in ["tensor_dot_product_f32", "tensor_matmul_f32"]:
        fn = getattr(z, name)
        assert bits(fn(address(ua), address(ub), 45)) == bits(fn(address(a), address(b), 45))
    # 5 x 9 = (5 x 5) @ (5 x 9): fused blocks, separately rounded columns, leftover rows.
    expected = np.empty(45, dtype=np.float32)
    z.tensor_matmul_2d_f32(address(a), address(b), address(expected), 5, 5, 9)
    uc, keep_c = placed(np.zeros(45, dtype=np.float32), (offset + 1) % 4)
    z.tensor_matmul_2d_f32(address(ua), address(ub), address(uc), 5, 5, 9)
    assert np.array_equal(expected.view(np.uint32), uc.view(np.uint32))
    shape, strides = [5, 9], [4, 20]  # the transposed view
    for name in ["tensor_sum_f32_strided", "tensor_mean_f32_strided",
                 "tensor_max_f32_strided", "tensor_min_f32_strided"]:
        fn = getattr(z, name)
        assert bits(fn(address(ua), shape, strides)) == bits(fn(address(a), shape, strides))
