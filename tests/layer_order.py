"""The array layer's order of float32 sums and dot products, written with
NumPy: blocks of 4,096 values in row-major order, value t of a block in lane
t mod 64 from -0.0, the lanes folded pairwise (w = 32 .. 1), the block sums
combined over T(i..j) = T(i..i+h) + T(i+h..j), h the largest power of two
below j - i. Every block is computed at once, lane by lane."""

import numpy as np

BLOCK, LANES = 4096, 64
NEG_ZERO = np.float32(-0.0)


def fma32(a, b, c):
    """float32 a*b + c rounded once: the float64 product of two float32 values
    is exact; the float64 sum is rounded to odd with its two-sum error, which
    makes the last rounding to float32 a correct one."""
    p = a.astype(np.float64) * b.astype(np.float64)
    s = c.astype(np.float64)
    t = p + s
    back = t - p
    err = (p - (t - back)) + (s - back)
    inexact = np.isfinite(t) & (err != 0)
    even = (t.view(np.uint64) & 1) == 0
    toward = np.where(err > 0, np.inf, -np.inf)
    t = np.where(inexact & even, np.nextafter(t, toward), t)
    return t.astype(np.float32)


def _rows(x, pad):
    """(rows, blocks, 64, 64 lanes): each row of x padded with a value that
    leaves a lane as it is."""
    count, n = x.shape
    blocks = max(-(-n // BLOCK), 1)
    padded = np.full((count, blocks * BLOCK), pad, np.float32)
    padded[:, :n] = x
    return padded.reshape(count, blocks, BLOCK // LANES, LANES)


def _fold_and_tree(lanes):
    """lanes (rows, blocks, 64): each row's sum."""
    w = LANES // 2
    while w >= 1:
        lanes[..., :w] = lanes[..., :w] + lanes[..., w : 2 * w]
        w //= 2

    def tree(i, j):
        if j - i == 1:
            return lanes[:, i, 0]
        h = 1 << ((j - i - 1).bit_length() - 1)
        return tree(i, i + h) + tree(i + h, j)

    return tree(0, lanes.shape[1])


def values(x):
    """The view's elements in row-major order."""
    return np.asarray(x, np.float32).ravel(order="C")


def layer_sums(x):
    """The sum of each row of the 2-D float32 array x (+0.0 when empty)."""
    rows = _rows(x, NEG_ZERO)
    lanes = np.full(rows.shape[:2] + (LANES,), NEG_ZERO)
    for r in range(rows.shape[2]):
        lanes = lanes + rows[:, :, r]
    return np.where(x.shape[1] == 0, np.float32(0.0), _fold_and_tree(lanes))


def layer_dots(a, v):
    """The dot product of each row of the 2-D a with the 1-D v."""
    ra = _rows(a, NEG_ZERO)
    rv = _rows(np.asarray(v, np.float32)[np.newaxis], np.float32(0.0))
    lanes = np.full(ra.shape[:2] + (LANES,), NEG_ZERO)
    for r in range(ra.shape[2]):
        lanes = fma32(ra[:, :, r], rv[:, :, r], lanes)
    return np.where(a.shape[1] == 0, np.float32(0.0), _fold_and_tree(lanes))


def layer_sum(x):
    return layer_sums(values(x)[np.newaxis])[0]


def layer_mean(x):
    return layer_sum(x) / np.float32(np.asarray(x).size)


def layer_dot(a, b):
    return layer_dots(values(a)[np.newaxis], values(b))[0]


def layer_matvec(a, v):
    """matmul(a, v) for a of 2 or more dimensions: one dot per row."""
    a = np.asarray(a, np.float32)
    return layer_dots(a.reshape(int(np.prod(a.shape[:-1])), a.shape[-1]), values(v)).reshape(a.shape[:-1])


def layer_axis_sum(x, axis):
    """Each output the sum of its sub-view, the folded axes last in their order."""
    x = np.asarray(x, np.float32)
    axes = (axis,) if isinstance(axis, int) else axis
    axes = tuple(sorted(a % x.ndim for a in axes))
    kept = tuple(d for d in range(x.ndim) if d not in axes)
    moved = np.transpose(x, kept + axes)
    shape = moved.shape[: len(kept)]
    folded = int(np.prod(moved.shape[len(kept):]))
    return layer_sums(moved.reshape(int(np.prod(shape)), folded)).reshape(shape)


def bits(value):
    return np.asarray(value, np.float32).view(np.uint32)
