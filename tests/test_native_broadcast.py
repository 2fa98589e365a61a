"""add/sub/mul/div with broadcasting and scalars: bit for bit NumPy's float32
results over broadcast shapes and views, scalars on either side, out and in
place, the refused cases."""

import numpy as np
import pytest

import zoltra_native as zn

RNG = np.random.default_rng(17)
OPS = [(zn.add, np.add), (zn.sub, np.subtract), (zn.mul, np.multiply), (zn.div, np.divide)]


def base(shape):
    return RNG.standard_normal(shape).astype(np.float32) * 100


# (a, b) pairs: broadcast rows, columns, both, leading dimensions, 0-d, and
# views read where they lie (transposed, stepped, reversed, broadcast_to).
def pairs():
    x, y = base((6, 8)), base((8, 6))
    return {
        "row": (x, base((8,))),
        "column": (x, base((6, 1))),
        "outer": (base((6, 1)), base((1, 8))),
        "leading": (base((3, 6, 8)), base((6, 1))),
        "0-d": (base(()), x),
        "transposed": (y.T, x[0]),
        "stepped": (base((12, 16))[::2, 1::2], base((6, 1))[::-1]),
        "broadcast_to": (np.broadcast_to(base((8,)), (6, 8)), x),
        "large": (base((300, 400)), base((400,))),
    }


def same_bits(got, want):
    np.testing.assert_array_equal(np.asarray(got).view(np.uint32), np.asarray(want, np.float32).view(np.uint32))


@pytest.mark.parametrize("op,reference", OPS)
def test_broadcast_shapes_and_views(op, reference):
    for name, (a, b) in pairs().items():
        for first, second in ((a, b), (b, a)):
            got = op(first, second)
            assert got.shape == np.broadcast_shapes(first.shape, second.shape), name
            same_bits(got, reference(first, second))


@pytest.mark.parametrize("op,reference", OPS)
def test_scalars_on_either_side(op, reference):
    x = base((5, 7))
    for scalar in (0.1, 3, True, np.float64(1e-3), np.float32(2.5), np.int64(-4), 1e300):
        with np.errstate(over="ignore"):  # 1e300 rounds to infinity
            rounded = np.float32(np.float64(scalar))
        same_bits(op(x, scalar), reference(x, rounded))
        same_bits(op(scalar, x[::-1]), reference(rounded, x[::-1]))


def test_out_and_in_place():
    x, row = base((40, 30)), base((30,))
    out = np.empty_like(x)
    assert zn.sub(x, row, out=out) is out
    same_bits(out, x - row)
    want = x / row
    assert zn.div(x, row, out=x) is x  # in place on the first operand
    same_bits(x, want)
    want = 0.5 * x
    assert zn.mul(0.5, x, out=x) is x
    same_bits(x, want)


def test_torch_operands_and_results():
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")
    x, row = base((6, 8)), base((8,))
    got = zn.add(torch.from_numpy(x), torch.from_numpy(row))
    assert isinstance(got, torch.Tensor)
    same_bits(got.numpy(), x + row)
    # The kind of the first array operand, after a scalar.
    assert isinstance(zn.mul(0.5, torch.from_numpy(x)), torch.Tensor)


@pytest.mark.parametrize("call,error,fragment", [
    (lambda x: zn.add(x, x[:, :2]), ValueError, "argument 'b': expected a shape that broadcasts with (4, 6)"),
    (lambda x: zn.mul(1.0, 2.0), TypeError, "argument 'b': expected an array when 'a' is a scalar"),
    (lambda x: zn.sub(x, 1j), TypeError, "argument 'b'"),
    (lambda x: zn.add(x, x[0], out=x[0]), ValueError, "argument 'out': expected shape (4, 6)"),
    (lambda x: zn.add(x[0], x, out=x[0]), ValueError, "argument 'out': expected shape (4, 6)"),
    (lambda x: zn.add(x, x[0], out=np.broadcast_to(x[1], (4, 6))), ValueError, "argument 'out'"),
])
def test_refused(call, error, fragment):
    x = base((4, 6))
    before = x.copy()
    with pytest.raises(error) as raised:
        call(x)
    assert fragment in str(raised.value)
    np.testing.assert_array_equal(x, before)


# (input start, out start) in one buffer of 4-element views: `out` right
# after or right before the input (accepted), or sharing the input's last or
# first element (refused); for either operand.
@pytest.mark.parametrize("operand", ["a", "b"])
@pytest.mark.parametrize("starts,accepted", [((0, 4), True), ((4, 0), True), ((0, 3), False), ((3, 0), False)],
                         ids=["touching after", "touching before", "last shared", "first shared"])
def test_out_at_the_edge_of_an_input(operand, starts, accepted):
    memory = base((8,))
    x, other, out = memory[starts[0]:starts[0] + 4], base((4,)), memory[starts[1]:starts[1] + 4]
    a, b = (x, other) if operand == "a" else (other, x)
    want, before = a - b, memory.copy()
    if accepted:
        assert zn.sub(a, b, out=out) is out
        same_bits(out, want)
    else:
        with pytest.raises(ValueError, match="argument 'out': overlaps an input"):
            zn.sub(a, b, out=out)
        same_bits(memory, before)
