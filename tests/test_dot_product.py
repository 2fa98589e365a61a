"""tensor_dot_product_f32 and tensor_matmul_f32 (the same dot product)."""

import json

import numpy as np
import pytest

from fma_reference import dot_reference

NAMES = ["tensor_dot_product_f32", "tensor_matmul_f32"]


def vectors(count, seed):
    rng = np.random.default_rng(seed)
    # Magnitudes over several binades so that the order of additions shows.
    scale = np.exp2(rng.integers(-6, 7, count)).astype(np.float32)
    return ((rng.uniform(-1, 1, count) * scale).astype(np.float32),
            (rng.uniform(-1, 1, count) * scale).astype(np.float32))


def has_fma_kernel(z):
    cpu = z.get_system_capabilities()["cpu"]
    return cpu["has_avx2"] and cpu["has_fma"]


def scalar_reference(a, b):
    s = np.float32(0)
    for x, y in zip(a, b):
        s = np.float32(s + np.float32(x * y))
    return s


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("count", [1, 7, 8, 9, 11, 16, 100, 1003, 65539])
def test_bit_exact(z, name, count):
    a, b = vectors(count, count)
    want = dot_reference(a, b) if has_fma_kernel(z) else scalar_reference(a, b)
    got = getattr(z, name)(a.ctypes.data, b.ctypes.data, count)
    assert np.float32(got).view(np.uint32) == want.view(np.uint32)


def test_small_cases(z):
    ones = np.ones(11, np.float32)
    assert z.tensor_dot_product_f32(ones.ctypes.data, ones.ctypes.data, 8) == 8.0
    assert z.tensor_dot_product_f32(ones.ctypes.data, ones.ctypes.data, 11) == 11.0
    # The tail is added one by one after the lanes: 2^24 + 1 + 1 stays 2^24.
    a = np.zeros(10, np.float32)
    a[0], a[8], a[9] = 2.0**24, 1, 1
    assert z.tensor_dot_product_f32(a.ctypes.data, np.ones(10, np.float32).ctypes.data, 10) == 2.0**24


def test_fused_lanes_round_once(z):
    # Lane 0 sees 1 + 2^-23, then + (2^-24 - 2^-70): fused it stays put.
    a = np.zeros(16, np.float32)
    b = np.zeros(16, np.float32)
    a[0], b[0] = 1 + 2.0**-23, 1
    a[8], b[8] = 2.0**-24 * (1 + 2.0**-23), 1 - 2.0**-23
    expected = 1 + 2.0**-23 if has_fma_kernel(z) else 1 + 2.0**-22
    assert z.tensor_dot_product_f32(a.ctypes.data, b.ctypes.data, 16) == np.float32(expected)


def test_misaligned_and_special_values(z):
    a, b = vectors(101, 3)
    assert z.tensor_matmul_f32(a[1:].ctypes.data, b[1:].ctypes.data, 100) == \
        z.tensor_dot_product_f32(a[1:].ctypes.data, b[1:].ctypes.data, 100)
    a[50] = np.inf
    assert z.tensor_dot_product_f32(a.ctypes.data, np.abs(b).ctypes.data, 101) == np.inf
    a[3] = np.nan
    assert np.isnan(z.tensor_dot_product_f32(a.ctypes.data, b.ctypes.data, 101))


@pytest.mark.parametrize("name", NAMES)
def test_null_pointers_and_empty(z, name, profiling):
    ok = np.ones(4, np.float32).ctypes.data
    for a, b in [(0, ok), (ok, 0), (0, 0)]:
        with pytest.raises(ValueError, match="^Null pointer passed to tensor_dot_product_f32$"):
            getattr(z, name)(a, b, 4)
    with pytest.raises(ValueError, match="^Null pointer passed to tensor_dot_product_f32$"):
        getattr(z, name)(0, ok, 0)  # the null check comes before the empty check
    assert getattr(z, name)(ok, ok, 0) == 0.0
    assert json.loads(z.get_profile_report())["operations"] == {}


def test_both_names_record_dot_product(z, profiling):
    a = np.ones(9, np.float32)
    z.tensor_dot_product_f32(a.ctypes.data, a.ctypes.data, 9)
    z.tensor_matmul_f32(a.ctypes.data, a.ctypes.data, 9)
    ops = json.loads(z.get_profile_report())["operations"]
    assert list(ops) == ["dot_product"] and ops["dot_product"]["count"] == 2
    assert ops["dot_product"]["primary_backend"] == "CPU"
