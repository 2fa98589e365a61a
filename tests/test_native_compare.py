"""maximum/minimum, the six comparisons and where: NumPy's results over
broadcast shapes, views and scalars; IEEE 754-2019's NaN and zero-sign
rules for maximum/minimum, bit for bit; the result kinds on tensors."""

import numpy as np
import pytest

import zoltra_native as zn

RNG = np.random.default_rng(26)
COMPARISONS = ["greater", "greater_equal", "less", "less_equal", "equal", "not_equal"]


def base(shape):
    """Values with many ties, zeros of both signs and NaNs."""
    x = RNG.integers(-3, 4, size=shape).astype(np.float32)
    x[RNG.random(shape) < 0.1] = np.nan
    x[RNG.random(shape) < 0.1] = -0.0
    return x


# (a, b) pairs: broadcast rows, columns, leading dimensions, 0-d, scalars on
# either side, and views read where they lie; large enough ones for the pool.
def pairs():
    x = base((6, 8))
    return {
        "same": (x, base((6, 8))),
        "row": (x, base((8,))),
        "column": (base((6, 1)), x),
        "leading": (base((3, 6, 8)), base((6, 1))),
        "0-d": (base(()), x),
        "transposed": (base((8, 6)).T, x[0]),
        "stepped": (base((12, 16))[::2, 1::2], base((6, 1))[::-1]),
        "broadcast_to": (np.broadcast_to(base((8,)), (6, 8)), x),
        "scalar": (x, 0.0),
        "scalar first": (np.float32(1.0), x[:, ::-1]),
        "large": (base((300, 401)), base((401,))),
    }


def bits(x):
    return np.asarray(x, np.float32).view(np.uint32)


def ieee(a, b, larger):
    """IEEE 754-2019 maximum (minimum) in NumPy: NaN from either side, +0 above -0."""
    a, b = np.broadcast_arrays(np.float32(a), np.float32(b))
    pick = np.where(a == b, np.signbit(b) if larger else np.signbit(a), (a > b) == larger)
    out = np.where(pick, a, b)
    return np.where(np.isnan(a) | np.isnan(b), np.float32(np.nan), out)


@pytest.mark.parametrize("name", ["maximum", "minimum"])
def test_maximum_minimum_nan_and_zero_signs(name):
    specials = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -1.0, 1e-45], np.float32)
    a, b = np.meshgrid(specials, specials)
    pairs = [(a, b), (b, a)] + [p for s in (0.0, -0.0, 1.0) for p in ((specials, s), (s, specials))]
    for first, second in pairs:
        got = getattr(zn, name)(first, second)
        want = ieee(first, second, name == "maximum")
        assert np.array_equal(np.isnan(got), np.isnan(want))
        ordered = ~np.isnan(want)
        np.testing.assert_array_equal(bits(got)[ordered], bits(want)[ordered])  # zero signs too


@pytest.mark.parametrize("name", ["maximum", "minimum"])
def test_maximum_minimum_broadcast_views_and_out(name):
    for label, (a, b) in pairs().items():
        got = getattr(zn, name)(a, b)
        want = ieee(a, b, name == "maximum")
        assert got.shape == want.shape, label
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want), err_msg=label)
        ordered = ~np.isnan(want)
        np.testing.assert_array_equal(bits(got)[ordered], bits(want)[ordered], err_msg=label)
    x = base((200, 300))
    want = ieee(x, 0.0, name == "maximum")
    assert getattr(zn, name)(x, 0.0, out=x) is x  # in place, on the pool
    np.testing.assert_array_equal(x, want)


@pytest.mark.parametrize("name", COMPARISONS)
def test_comparisons_against_numpy(name):
    for label, (a, b) in pairs().items():
        got = getattr(zn, name)(a, b)
        want = getattr(np, name)(a, b)
        assert got.dtype == np.bool_ and got.shape == want.shape, label
        np.testing.assert_array_equal(got, want, err_msg=label)


def test_where_against_numpy():
    x, y = base((6, 8)), base((6, 8))
    c = RNG.random((6, 8)) < 0.5
    odd_bytes = np.frombuffer(RNG.integers(0, 256, 48, dtype=np.uint8).tobytes(), np.bool_).reshape(6, 8)
    cases = {
        "same": (c, x, y),
        "scalars": (c, x, 0.0),
        "scalar first": (c, 1.5, y),
        "condition row": (c[0], x, y),
        "all three broadcast": (c[:, :1], x[0], y[:, :1]),
        "views": (c.T[::-1], x.T, y[::2].repeat(2, axis=0).T),
        "leading": (RNG.random((3, 1, 8)) < 0.5, x, y[0]),
        "non-zero bytes": (odd_bytes, x, y),
        "large": (RNG.random((300, 401)) < 0.5, base((300, 401)), 0.0),
    }
    for label, (cond, a, b) in cases.items():
        got = zn.where(cond, a, b)
        want = np.where(cond, a, b).astype(np.float32)
        assert got.shape == want.shape, label
        np.testing.assert_array_equal(bits(got), bits(want), err_msg=label)
    out = x.copy()
    assert zn.where(c, out, 0.0, out=out) is out
    np.testing.assert_array_equal(bits(out), bits(np.where(c, x, np.float32(0))))


def test_refusals():
    x = base((4, 5))
    with pytest.raises(TypeError, match="argument 'b': expected an array when 'a' is a scalar"):
        zn.greater(1.0, 2.0)
    with pytest.raises(ValueError, match="argument 'b': expected a shape that broadcasts with"):
        zn.maximum(x, x[:3])
    with pytest.raises(TypeError, match="argument 'condition': expected dtype bool, got float32"):
        zn.where(x, x, x)
    with pytest.raises(ValueError, match="argument 'b': expected a shape that broadcasts with"):
        zn.where(x > 0, x, x[:, :2])
    buffer = base((25,))
    with pytest.raises(ValueError, match="argument 'out': overlaps an input"):
        zn.where(x > 0, buffer[:20].reshape(4, 5), 0.0, out=buffer[5:].reshape(4, 5))


def test_tensors():
    # Here, so that the emulated-processor runs, which leave tensors out, need not load it.
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")

    a, b = torch.from_numpy(base((5, 7))), torch.from_numpy(base((7,)))
    mask = zn.greater(a, b)
    assert isinstance(mask, torch.Tensor) and mask.dtype == torch.bool
    assert torch.equal(mask, a > b)
    got = zn.where(mask, a, 0.0)
    assert isinstance(got, torch.Tensor) and got.dtype == torch.float32
    assert torch.equal(got.isnan(), torch.where(mask, a, 0.0).isnan())
    relu = zn.maximum(a, 0.0)
    assert isinstance(relu, torch.Tensor)
    assert torch.equal(relu.isnan(), a.isnan())
