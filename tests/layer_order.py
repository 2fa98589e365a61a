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
    """(blocks, 64 rows, 64 lanes) of x padded with a value that leaves a lane as it is."""
    blocks = -(-x.size // BLOCK)
    padded = np.full(blocks * BLOCK, pad, np.float32)
    padded[: x.size] = x
    return padded.reshape(blocks, BLOCK // LANES, LANES)


def _fold_and_tree(lanes):
    w = LANES // 2
    while w >= 1:
        lanes[:, :w] = lanes[:, :w] + lanes[:, w : 2 * w]
        w //= 2

    def tree(i, j):
        if j - i == 1:
            return lanes[i, 0]
        h = 1 << ((j - i - 1).bit_length() - 1)
        return np.float32(tree(i, i + h) + tree(i + h, j))

    return np.float32(tree(0, len(lanes))) if len(lanes) else np.float32(0.0)


def values(x):
    """The view's elements in row-major order."""
    return np.asarray(x, np.float32).ravel(order="C")


def layer_sum(x):
    rows = _rows(values(x), NEG_ZERO)
    lanes = np.full((len(rows), LANES), NEG_ZERO)
    for r in range(rows.shape[1]):
        lanes = lanes + rows[:, r]
    return _fold_and_tree(lanes)


def layer_mean(x):
    return layer_sum(x) / np.float32(np.asarray(x).size)


def layer_dot(a, b):
    ra, rb = _rows(values(a), NEG_ZERO), _rows(values(b), np.float32(0.0))
    lanes = np.full((len(ra), LANES), NEG_ZERO)
    for r in range(ra.shape[1]):
        lanes = fma32(ra[:, r], rb[:, r], lanes)
    return _fold_and_tree(lanes)


def bits(value):
    return np.float32(value).view(np.uint32)
