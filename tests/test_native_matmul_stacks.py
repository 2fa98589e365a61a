"""matmul of 1-D operands and of stacks: each matrix of the result is, bit for
bit, the raw product of its pair (C-ordered copies), shapes as NumPy's; by a
1-D second operand, one dot product in the layer's order per row."""

import numpy as np
import pytest

import _zoltra_rust as z
import zoltra_native as zn
from layer_order import layer_matvec

RNG = np.random.default_rng(31)


def raw_product(a, b):
    a, b = np.ascontiguousarray(a, np.float32), np.ascontiguousarray(b, np.float32)
    c = np.empty((a.shape[0], b.shape[1]), np.float32)
    if c.size and a.shape[1]:
        z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, *a.shape, b.shape[1])
    elif c.size:
        c.fill(0.0)
    return c


def expected(a, b):
    """NumPy's matmul shape rules, each matrix the raw product of its pair."""
    if a.ndim >= 2 and b.ndim == 1:
        return layer_matvec(a, b)
    a2 = a[np.newaxis] if a.ndim == 1 else a
    b2 = b[:, np.newaxis] if b.ndim == 1 else b
    stack = np.broadcast_shapes(a2.shape[:-2], b2.shape[:-2])
    a2 = np.broadcast_to(a2, stack + a2.shape[-2:])
    b2 = np.broadcast_to(b2, stack + b2.shape[-2:])
    out = np.empty(stack + (a2.shape[-2], b2.shape[-1]), np.float32)
    for index in np.ndindex(*stack):
        out[index] = raw_product(a2[index], b2[index])
    if a.ndim == 1:
        out = out[..., 0, :]
    if b.ndim == 1:
        out = out[..., 0]
    return out


def base(*shape):
    return RNG.standard_normal(shape).astype(np.float32)


CASES = {
    "vector, matrix": (base(7), base(7, 5)),
    "matrix, vector": (base(300, 70), base(70)),
    "matrix, vector, rows split over the pool": (base(1000, 300), base(300)),
    "stack of one, rows split over the pool": (base(1, 600, 50), base(50, 11)),
    "matrices, rows split over the pool": (base(90, 70), base(70, 45)),
    "vector, vector": (base(9), base(9)),
    "stacks": (base(16, 24, 24), base(16, 24, 24)),
    "broadcast stacks": (base(2, 1, 5, 3), base(4, 3, 6)),
    "stack, matrix": (base(3, 5, 4), base(4, 2)),
    "vector, stack": (base(4), base(3, 4, 2)),
    "views": (base(6, 8, 10).transpose(0, 2, 1)[:, ::2], base(6, 8, 3)[::-1]),
    "empty inner": (base(2, 3, 0), base(2, 0, 4)),
    "empty stack": (base(0, 3, 4), base(4, 2)),
}


@pytest.mark.parametrize("name", CASES)
def test_each_matrix_is_the_raw_product_of_its_pair(name):
    a, b = CASES[name]
    got = zn.matmul(a, b)  # first: a row left unwritten must not find the wanted bits in reused memory
    want = expected(a, b)
    assert got.shape == np.matmul(a, b).shape
    np.testing.assert_array_equal(np.asarray(got).view(np.uint32), want.view(np.uint32))


def test_out_and_torch():
    a, b = base(4, 3, 5), base(5, 2)
    out = np.empty((4, 3, 2), np.float32)
    assert zn.matmul(a, b, out=out) is out
    np.testing.assert_array_equal(out, expected(a, b))
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")
    got = zn.matmul(torch.from_numpy(a), torch.from_numpy(b[:, 0]))
    assert isinstance(got, torch.Tensor) and got.shape == (4, 3)
    np.testing.assert_array_equal(got.numpy(), expected(a, b[:, 0]))


@pytest.mark.parametrize("a,b,fragment", [
    (base(2, 3, 4), base(2, 5, 6), "argument 'b': expected 4 rows (the columns of 'a'), got 5"),
    (base(2, 3, 4), base(3, 4, 6), "argument 'b': expected stack dimensions that broadcast with (2,)"),
    (base(), base(3), "argument 'a': expected an array of at least 1 dimension"),
])
def test_refused(a, b, fragment):
    with pytest.raises(ValueError) as raised:
        zn.matmul(a, b)
    assert fragment in str(raised.value)


@pytest.mark.parametrize("operand", ["a", "b"])
def test_out_that_is_one_operand_of_a_stack(operand):
    a, b = base(3, 16, 16), base(3, 16, 16)
    want = expected(a, b)
    out = a if operand == "a" else b
    assert zn.matmul(a, b, out=out) is out
    np.testing.assert_array_equal(out.view(np.uint32), want.view(np.uint32))
