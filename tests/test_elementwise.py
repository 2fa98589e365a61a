"""tensor_add_f32, tensor_sub_f32, tensor_mul_f32 and tensor_div_f32 end to end."""

import json

import numpy as np
import pytest

OPS = {
    "tensor_add_f32": np.add,
    "tensor_sub_f32": np.subtract,
    "tensor_mul_f32": np.multiply,
    "tensor_div_f32": np.divide,
}
SIZES = [7, 8, 13, 33, 1000]
SPECIALS = np.array(
    [0.0, -0.0, 1.0, -1.0, np.inf, -np.inf, np.nan, 1e-45, -1e-45, 3e38, 1e-38, 2.5],
    dtype=np.float32,
)


def operands(n, seed):
    """Random values with every ordered pair of IEEE specials (1/0, 0/0, 1/-0,
    inf - inf, ...) at the start and, shifted, at the end."""
    rng = np.random.default_rng(seed)
    a = (rng.standard_normal(n) * 100).astype(np.float32)
    b = (rng.standard_normal(n) * 100).astype(np.float32)
    pairs = np.array(np.meshgrid(SPECIALS, SPECIALS)).reshape(2, -1)
    k = min(n, pairs.shape[1])
    a[:k], b[:k] = pairs[0, :k], pairs[1, :k]
    a[n - k:] = np.roll(pairs[0], 3)[:k]
    b[n - k:] = np.roll(pairs[1], 3)[:k]
    return a, b


def same_bits(expected, actual):
    """Equal bit for bit, any NaN matching any NaN."""
    nan = np.isnan(expected) & np.isnan(actual)
    return bool(np.all((expected.view(np.uint32) == actual.view(np.uint32)) | nan))


@pytest.mark.parametrize("name", OPS)
@pytest.mark.parametrize("n", SIZES)
def test_matches_numpy_bit_for_bit(z, name, n):
    ufunc = OPS[name]
    a, b = operands(n, n)
    out = np.full(n + 1, 7.0, dtype=np.float32)
    assert getattr(z, name)(a.ctypes.data, b.ctypes.data, out.ctypes.data, n) is None
    with np.errstate(all="ignore"):
        expected = ufunc(a, b)
    assert same_bits(expected, out[:n])
    assert out[n] == 7.0  # nothing written past count


@pytest.mark.parametrize("name", OPS)
def test_misaligned_and_in_place(z, name):
    ufunc = OPS[name]
    n = 77
    a, b = operands(n + 1, 5)
    with np.errstate(all="ignore"):
        expected = ufunc(a[1:], b[1:])
    out = np.zeros(n + 1, dtype=np.float32)
    getattr(z, name)(a[1:].ctypes.data, b[1:].ctypes.data, out[1:].ctypes.data, n)
    assert same_bits(expected, out[1:])

    into_a, into_b = a[1:].copy(), b[1:].copy()
    getattr(z, name)(into_a.ctypes.data, b[1:].ctypes.data, into_a.ctypes.data, n)
    getattr(z, name)(a[1:].ctypes.data, into_b.ctypes.data, into_b.ctypes.data, n)
    assert same_bits(expected, into_a)
    assert same_bits(expected, into_b)


@pytest.mark.parametrize("name", OPS)
def test_null_pointers_come_before_the_count(z, name):
    buf = np.zeros(4, dtype=np.float32)
    p = buf.ctypes.data
    for args in [(0, p, p), (p, 0, p), (p, p, 0)]:
        for count in (4, 0):
            with pytest.raises(ValueError) as info:
                getattr(z, name)(*args, count)
            assert str(info.value) == f"Null pointer passed to {name}"


@pytest.mark.parametrize("name", OPS)
def test_empty_touches_nothing_and_records_nothing(profiling, name):
    z = profiling
    a = np.ones(4, dtype=np.float32)
    out = np.full(4, 9.0, dtype=np.float32)
    assert getattr(z, name)(a.ctypes.data, a.ctypes.data, out.ctypes.data, 0) is None
    assert np.all(out == 9.0)
    assert json.loads(z.get_profile_report())["operations"] == {}


def test_each_call_records_one_event_under_its_name(profiling):
    z = profiling
    a = np.ones(16, dtype=np.float32)
    out = np.zeros(16, dtype=np.float32)
    for name in OPS:
        getattr(z, name)(a.ctypes.data, a.ctypes.data, out.ctypes.data, 16)
    z.tensor_add_f32(a.ctypes.data, a.ctypes.data, out.ctypes.data, 16)
    ops = json.loads(z.get_profile_report())["operations"]
    assert {k: v["count"] for k, v in ops.items()} == {"add": 2, "sub": 1, "mul": 1, "div": 1}
    assert all(v["primary_backend"] == "CPU" for v in ops.values())

    z.disable_profiling()
    z.tensor_add_f32(a.ctypes.data, a.ctypes.data, out.ctypes.data, 16)
    assert json.loads(z.get_profile_report())["operations"]["add"]["count"] == 2
