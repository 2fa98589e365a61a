"""exp, log, sqrt and tanh of the layer: every result bit for bit the
correctly rounded one, against NumPy's double functions rounded to float32
and, where that double lies near a float32 rounding boundary, mpmath.

ZOLTRA_UNARY_MATH_SAMPLE sets the number of inputs per function (about a
million by default; the emulated-processor stages use fewer).
"""

import os

import mpmath
import numpy as np
import pytest

import zoltra_native as zn

SAMPLE = int(os.environ.get("ZOLTRA_UNARY_MATH_SAMPLE", "1000000"))
FUNCTIONS = ["exp", "log", "sqrt", "tanh"]

# Where each function turns: around 0 and 1, where results become subnormal
# or zero (exp below -87.3 and -103.9), overflow (exp above 88.72), saturate
# (tanh near 9.01) and where tanh(x) stops rounding to x (|x| near 2^-12).
TURNS = [0.0, 1.0, -87.33654, -103.97208, 88.72284, 9.010913, 2.0**-12, 1e-38]
SPECIALS = [0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 1.0, -1.0, 2.0**-149, -(2.0**-149),
            np.finfo(np.float32).max, np.finfo(np.float32).tiny, 88.72283935546875, 88.72284698486328]
# Inputs whose exact result lies nearest a rounding boundary, found by
# scripts/check_unary_math_exhaustive.sh.
NEAR_TIES = np.array([0x4C5D65A5, 0x65D890D3], np.uint32).view(np.float32)
# The inputs of exp (0x4003e87f, 0xc0382e72), log and tanh whose double from
# the vector stage (AVX2, AVX-512) lies farthest on the wrong side of a
# rounding boundary: 2925, 27 and 217 double ulps for each first one, inside
# the 2^14-ulp window that sends them to the accurate stage.
WINDOW_EDGES = np.array([0x4003E87F, 0xC0382E72, 0x3E2B3421, 0x3FD364D7, 0xBBC8B605, 0xBCD41B91],
                        np.uint32).view(np.float32)


def sample():
    rng = np.random.default_rng(26)
    dense = SAMPLE // (4 * len(TURNS))
    runs = []
    for turn in TURNS:
        for sign in (1, -1):
            start = np.array(sign * turn, np.float32).view(np.uint32).astype(np.int64)
            runs.append(np.arange(start - dense // 2, start + dense // 2) % (1 << 32))
    bits = rng.integers(0, 1 << 32, SAMPLE - len(runs) * dense, dtype=np.uint64)
    parts = [np.concatenate(runs + [bits]).astype(np.uint32).view(np.float32), np.array(SPECIALS, np.float32), NEAR_TIES, WINDOW_EDGES]
    return np.concatenate(parts)


def round_to_float32(v):
    """mpmath value -> nearest float32 (ties to even), subnormals and
    overflow included."""
    if v == 0:
        return np.float32(0.0)
    m, e = mpmath.frexp(abs(v))  # abs(v) = m 2^e, m in [1/2, 1)
    e = max(int(e), -125)  # below 2^-126 the spacing stays 2^-149
    scaled = mpmath.nint(abs(v) * mpmath.mpf(2) ** (24 - e))  # nint: ties to even
    magnitude = float(scaled * mpmath.mpf(2) ** (e - 24)) if e <= 128 else float("inf")
    return np.float32(magnitude if v > 0 else -magnitude)


def reference(name, x):
    with np.errstate(all="ignore"):
        wide = getattr(np, name)(x.astype(np.float64))
        narrow = wide.astype(np.float32)
        below = (wide * (1 - 2.0**-45)).astype(np.float32)
        above = (wide * (1 + 2.0**-45)).astype(np.float32)
    # NumPy's double functions are within a few double ulps; these are not
    # decided by them.
    undecided = np.nonzero(below.view(np.uint32) != above.view(np.uint32))[0]
    with mpmath.workprec(200):
        for i in undecided:
            narrow[i] = round_to_float32(getattr(mpmath, name)(mpmath.mpf(float(x[i]))))
    return narrow




@pytest.mark.parametrize("name", FUNCTIONS)
def test_correctly_rounded_on_a_sample(name):
    x = sample()
    got = getattr(zn, name)(x)
    want = reference(name, x)
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan)
    bad = np.nonzero((got.view(np.uint32) != want.view(np.uint32)) & ~nan)[0]
    assert bad.size == 0, [(float(x[i]), float(got[i]), float(want[i])) for i in bad[:5]]


def test_special_values_as_c():
    x = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -1.0, -(2.0**-149)], np.float32)
    expected = {
        "exp": [1.0, 1.0, np.inf, 0.0, np.nan, np.exp(-1.0), 1.0],
        "log": [-np.inf, -np.inf, np.inf, np.nan, np.nan, np.nan, np.nan],
        "sqrt": [0.0, -0.0, np.inf, np.nan, np.nan, np.nan, np.nan],
        "tanh": [0.0, -0.0, 1.0, -1.0, np.nan, np.tanh(-1.0), -(2.0**-149)],
    }
    for name, values in expected.items():
        got = getattr(zn, name)(x)
        want = np.array(values, np.float32)
        assert np.array_equal(got, want, equal_nan=True), name
        assert np.array_equal(np.signbit(got[:2]), np.signbit(want[:2])), name  # the zeros' signs
    with np.errstate(all="raise"):  # nothing raised, nothing left for NumPy to see
        zn.exp(np.array([100.0, -200.0], np.float32))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_views_and_out(name):
    base = np.linspace(0.125, 3.0, 24 * 20_000, dtype=np.float32).reshape(24, 20_000)
    view = base[::2, ::-3]  # strided and reversed: read where it lies
    want = getattr(zn, name)(np.ascontiguousarray(view))
    assert np.array_equal(getattr(zn, name)(view), want)
    inplace = np.ascontiguousarray(view)
    assert getattr(zn, name)(inplace, out=inplace) is inplace
    assert np.array_equal(inplace, want)
    shifted = np.ascontiguousarray(view).ravel()
    with pytest.raises(ValueError, match="argument 'out': overlaps an input"):
        getattr(zn, name)(shifted[:-1], out=shifted[1:])


def test_tensor_views():
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")
    base = np.linspace(-3.0, 3.0, 24 * 20_000, dtype=np.float32).reshape(24, 20_000)
    result = zn.tanh(torch.from_numpy(base)[::2, ::3])
    assert isinstance(result, torch.Tensor)
    assert np.array_equal(result.numpy(), zn.tanh(np.ascontiguousarray(base[::2, ::3])))
