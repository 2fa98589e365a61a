"""argmax/argmin against NumPy: ties (zeros of both signs among them) and
NaNs, every axis and keepdims, views of several layouts, sizes that split
over the pool; the result kinds, tensors and the refused cases."""

import numpy as np
import pytest

import zoltra_native as zn

RNG = np.random.default_rng(126)


def values(shape, nan):
    """Few distinct values, so ties are everywhere; -0.0 beside 0.0."""
    x = RNG.integers(-3, 4, size=shape).astype(np.float32)
    x[RNG.random(shape) < 0.2] = -0.0
    if nan:
        x[RNG.random(shape) < 0.002] = np.nan
    return x


def views(x):
    if x.ndim == 1:
        return [x, x[::-1], x[::3]]
    return [x, x.T, x[::2, 1::3], x[:, ::-1], np.broadcast_to(x[:1], x.shape)]


@pytest.mark.parametrize("name", ["argmax", "argmin"])
@pytest.mark.parametrize("shape", [(1,), (37,), (100_003,), (33, 65), (300, 400), (4, 5, 6)])
@pytest.mark.parametrize("nan", [False, True])
def test_against_numpy(name, shape, nan):
    ours, reference = getattr(zn, name), getattr(np, name)
    for v in views(values(shape, nan)):
        got = ours(v)
        assert type(got) is int and got == reference(v)
        for axis in [None, *range(-v.ndim, v.ndim)]:
            for keepdims in (False, True):
                if axis is None and not keepdims:
                    continue
                got, want = ours(v, axis=axis, keepdims=keepdims), reference(v, axis=axis, keepdims=keepdims)
                assert got.dtype == np.int64 and got.shape == want.shape
                np.testing.assert_array_equal(got, want, err_msg=f"{name} axis={axis}")


def test_edges_and_refusals():
    assert zn.argmax(np.array(5, np.float32)) == 0
    assert zn.argmin(np.array(5, np.float32), axis=-1).shape == ()  # NumPy takes axis 0 or -1 of a 0-d array
    assert zn.argmax(np.empty((0, 3), np.float32), axis=1).shape == (0,)
    for call in (lambda: zn.argmax(np.empty((0, 3), np.float32), axis=0), lambda: zn.argmin(np.empty(0, np.float32))):
        with pytest.raises(ValueError, match="argument 'x': attempt to get arg(max|min) of an empty sequence"):
            call()
    x = values((2, 3), False)
    with pytest.raises(TypeError, match="argument 'axis': expected an int or None, got tuple"):
        zn.argmax(x, axis=(0, 1))
    with pytest.raises(ValueError, match="argument 'axis': axis 2 is out of range for a 2-D array"):
        zn.argmax(x, axis=2)
    with pytest.raises(TypeError, match="argument 'x': expected dtype float32, got float64"):
        zn.argmin(x.astype(np.float64))


def test_tensors():
    # Here, so that the emulated-processor runs, which leave tensors out, need not load it.
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")

    t = torch.from_numpy(values((30, 40), True))
    got = zn.argmax(t, axis=1)
    assert isinstance(got, torch.Tensor) and got.dtype == torch.int64
    assert torch.equal(got, torch.from_numpy(np.argmax(t.numpy(), axis=1)))
    assert zn.argmin(t) == np.argmin(t.numpy())
