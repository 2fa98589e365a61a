"""Reductions over axes: each output element is, bit for bit, the layer's own
whole reduction of the sub-view it folds, and close to NumPy's; keepdims,
negative and tuple axes, views, int32 and bool, empty cases, refused axes."""

import itertools

import numpy as np
import pytest

import zoltra_native as zn

RNG = np.random.default_rng(23)
FLOAT_REDUCTIONS = [(zn.sum, np.sum), (zn.mean, np.mean), (zn.max, np.max), (zn.min, np.min)]


def views():
    x = RNG.standard_normal((6, 5, 40)).astype(np.float32) * 1e3
    x.reshape(-1)[3::11] = -0.0  # zeros of both signs decide max and min
    x.reshape(-1)[5::13] = 0.0
    nans = x.copy()
    nans.reshape(-1)[::17] = np.nan
    return {
        "NaNs": nans,
        "contiguous": x,
        "transposed": x.transpose(2, 0, 1),
        "stepped": x[::2, 1:, ::3],
        "reversed": x[::-1, :, ::-2],
        "broadcast": np.broadcast_to(x[:, :1, :], (6, 4, 40)),
        "large": RNG.standard_normal((700, 300)).astype(np.float32),
    }


def axes_of(ndim):
    single = list(range(-ndim, ndim))
    pairs = [t for t in itertools.permutations(range(ndim), 2)]
    return single + pairs + [tuple(range(ndim))]


def sub_view(x, axis):
    """The sub-views an axis reduction folds, in output order, with the output index."""
    axes = sorted(a % x.ndim for a in (axis if isinstance(axis, tuple) else (axis,)))
    kept = [d for d in range(x.ndim) if d not in axes]
    for index in itertools.product(*(range(x.shape[d]) for d in kept)):
        at = [slice(None)] * x.ndim
        for d, i in zip(kept, index):
            at[d] = i
        yield index, x[tuple(at)]


def same_bits(got, want):
    g, w = np.float32(got), np.float32(want)
    assert g.view(np.uint32) == w.view(np.uint32) or (np.isnan(g) and np.isnan(w)), (got, want)


@pytest.mark.parametrize("reduce,reference", FLOAT_REDUCTIONS)
def test_each_element_is_the_whole_reduction_of_its_sub_view(reduce, reference):
    for name, x in views().items():
        for axis in axes_of(x.ndim):
            got = reduce(x, axis=axis)
            assert got.dtype == np.float32 and got.shape == reference(x, axis=axis).shape, (name, axis)
            # A few hundred sub-views per case at most.
            for index, sub in itertools.islice(sub_view(x, axis), 0, None, 7):
                same_bits(got[index], reduce(sub))
            if name != "NaNs":
                want = reference(x.astype(np.float64), axis=axis)
                scale = np.abs(x).astype(np.float64).sum(axis=axis)
                if reduce is zn.mean:
                    scale /= x.size // got.size
                assert np.all(np.abs(got - want) <= 1e-5 * scale + 1e-30), (name, axis)
        assert reduce(x, axis=0, keepdims=True).shape == (1,) + x.shape[1:]
        assert reduce(x, axis=None, keepdims=True).shape == (1,) * x.ndim


def test_int32_and_bool():
    ints = RNG.integers(-(2**31), 2**31, size=(5, 6, 7), dtype=np.int64).astype(np.int32)
    large = RNG.integers(-(2**31), 2**31, size=(300, 700), dtype=np.int64).astype(np.int32)
    for x in (ints, ints.transpose(2, 0, 1)[:, ::2], large, large.T):
        for axis in axes_of(x.ndim):
            got = zn.sum(x, axis=axis)
            want = (x.sum(axis=axis, dtype=np.int64) + 2**31) % 2**32 - 2**31
            assert got.dtype == np.int32 and np.array_equal(got, want), axis
    bools = RNG.random((5, 6, 7)) < 0.8
    for x in (bools, bools[::-1, :, ::2], RNG.random((300, 700)) < 0.999):
        for axis in axes_of(x.ndim):
            assert np.array_equal(zn.all(x, axis=axis), x.all(axis=axis)), axis
            assert np.array_equal(zn.any(x, axis=axis, keepdims=True), x.any(axis=axis, keepdims=True)), axis


def test_empty():
    x = np.zeros((3, 0, 4), np.float32)
    assert np.array_equal(zn.sum(x, axis=1), np.zeros((3, 4), np.float32))
    assert zn.max(x, axis=0).shape == (0, 4)  # no elements to produce
    assert np.array_equal(zn.all(x.astype(bool), axis=1), np.ones((3, 4), bool))
    for reduce in (zn.max, zn.min, zn.mean):
        with pytest.raises(ValueError, match="argument 'x': cannot compute the .* over an axis of length 0"):
            reduce(x, axis=1)


def test_torch_results():
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")
    x = RNG.standard_normal((4, 6)).astype(np.float32)
    got = zn.sum(torch.from_numpy(x), axis=0)
    assert isinstance(got, torch.Tensor) and got.dtype == torch.float32
    np.testing.assert_array_equal(got.numpy(), zn.sum(x, axis=0))
    assert zn.all(torch.from_numpy(x > 0), axis=1).dtype == torch.bool
    assert zn.sum(torch.from_numpy(x.astype(np.int32)), axis=1).dtype == torch.int32


@pytest.mark.parametrize("axis,error,fragment", [
    (2, ValueError, "argument 'axis': axis 2 is out of range for a 2-D array"),
    (-3, ValueError, "argument 'axis': axis -3 is out of range"),
    ((0, -2), ValueError, "argument 'axis': axis -2 is repeated"),
    ("0", TypeError, "argument 'axis': expected an int, a tuple of ints or None"),
])
def test_refused_axes(axis, error, fragment):
    with pytest.raises(error) as raised:
        zn.sum(np.ones((2, 3), np.float32), axis=axis)
    assert fragment in str(raised.value)
