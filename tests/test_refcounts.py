"""No call leaks references or memory, on success or on any error path."""

import sys

import numpy as np
import pytest

from conftest import SANITIZED


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * 4096


class Address(int):
    """An int subclass, so each argument is a distinct object we can count."""


def calls(z):
    a = np.arange(1, 65, dtype=np.float32)
    b = np.arange(2, 66, dtype=np.float32)
    out = np.empty(64, dtype=np.float32)
    ints = np.arange(64, dtype=np.int32)
    flags = np.ones(64, dtype=np.uint8)
    pa, pb, po = Address(a.ctypes.data), Address(b.ctypes.data), Address(out.ctypes.data)
    pi, pf = Address(ints.ctypes.data), Address(flags.ctypes.data)
    n = Address(64)
    shape, strides = [8, 8], (32, 4)
    text = "a context"
    keep = (a, b, out, ints, flags)
    cases = [
        (z.tensor_add_f32, (pa, pb, po, n)),
        (z.tensor_sub_f32, (pa, pb, po, n)),
        (z.tensor_mul_f32, (pa, pb, po, n)),
        (z.tensor_div_f32, (pa, pb, po, n)),
        (z.tensor_sum_f32, (pa, n)),
        (z.tensor_sum_i32, (pi, n)),
        (z.tensor_mean_f32, (pa, n)),
        (z.tensor_all, (pf, n)),
        (z.tensor_any, (pf, n)),
        (z.tensor_dot_product_f32, (pa, pb, n)),
        (z.tensor_matmul_f32, (pa, pb, n)),
        (z.tensor_matmul_2d_f32, (pa, pb, po, Address(8), Address(8), Address(8))),
        (z.tensor_sum_f32_strided, (pa, shape, strides)),
        (z.tensor_mean_f32_strided, (pa, shape, strides)),
        (z.tensor_max_f32_strided, (pa, shape, strides)),
        (z.tensor_min_f32_strided, (pa, shape, strides)),
        (z.set_profile_context, (text,)),
        (z.sum_as_string, (n, n)),
        (z.get_system_capabilities, ()),
        (z.get_capabilities_summary, ()),
        (z.explain_last_dispatch, ()),
        (z.get_backend_policy, ()),
        # Error paths: null pointers, empty inputs, conversions, parser, GPU.
        (z.tensor_add_f32, (pa, 0, po, n)),
        (z.tensor_mean_f32, (pa, 0)),
        (z.tensor_max_f32_strided, (pa, [], strides)),
        (z.tensor_sum_f32_strided, (pa, "12", strides)),
        (z.tensor_sum_f32_strided, (pa, [1, 1.5], strides)),
        (z.tensor_sum_f32, (pa, -1)),
        (z.tensor_sum_f32, (pa, 1.5)),
        (z.tensor_sum_f32, (pa, n, n)),
        (z.set_backend_policy, (Address(300),)),
        (z.set_profile_context, (Address(5),)),
        (z.metal_broadcast_op, (n, pa, pb, po, shape, strides, [1], n, n, n)),
        (z.metal_sum_f32, (pa, n)),
    ]
    return cases, keep


def run(cases, repeat):
    for function, args in cases:
        for _ in range(repeat):
            try:
                result = function(*args)
            except (TypeError, ValueError, OverflowError, RuntimeError):
                pass
            else:
                del result


def test_argument_reference_counts_are_unchanged(z):
    cases, keep = calls(z)
    run(cases, 10)
    objects = {id(x): x for _, args in cases for x in args}
    before = {key: sys.getrefcount(obj) for key, obj in objects.items()}
    run(cases, 2000)
    after = {key: sys.getrefcount(obj) for key, obj in objects.items()}
    changed = {repr(objects[key]): (before[key], after[key]) for key in before if before[key] != after[key]}
    assert not changed
    assert keep


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine keeps freed memory resident")
def test_memory_stays_flat(z):
    cases, keep = calls(z)
    run(cases, 200)
    start = rss_bytes()
    run(cases, 5000)
    grown = rss_bytes() - start
    z.set_profile_context(None)
    assert grown < 4 * 2**20, f"resident memory grew by {grown} bytes"
    assert keep


def test_keyword_calls_do_not_leak(z):
    count = Address(0)
    keyword = "data_ptr"
    before = sys.getrefcount(count), sys.getrefcount(keyword)
    for _ in range(5000):
        with pytest.raises(ValueError):
            z.tensor_sum_f32(count=count, **{keyword: 0})
        with pytest.raises(TypeError):
            z.tensor_sum_f32(count, data_ptr=count)
    assert (sys.getrefcount(count), sys.getrefcount(keyword)) == before
