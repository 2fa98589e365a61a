"""Exact float32 references for the product kernels, written with NumPy.

A float32 fused multiply-add fma(a, b, c) is a*b + c rounded once. The
product of two float32 values is exact in float64, but adding c in float64
may round, and rounding that again to float32 can land on the wrong side of a
float32 midpoint. The two-sum error term settles those cases.
"""

import numpy as np


def fma32(a, b, c):
    """Correctly rounded float32 a*b + c, element-wise (finite inputs)."""
    p = np.asarray(a, np.float32).astype(np.float64) * np.asarray(b, np.float32).astype(np.float64)
    s = np.asarray(c, np.float32).astype(np.float64)
    t = p + s
    back = t - p
    err = (p - (t - back)) + (s - back)  # t + err == p + s exactly
    r = t.astype(np.float32)
    r64 = r.astype(np.float64)
    toward_t = np.where(t > r64, np.float32(np.inf), np.float32(-np.inf))
    other = np.nextafter(r, toward_t)
    other64 = other.astype(np.float64)
    on_midpoint = (t != r64) & (np.abs(t - r64) == np.abs(other64 - t))
    # Only on a float32 midpoint does the rounding error of t matter: it then
    # says on which side of the midpoint the exact value lies.
    flip = on_midpoint & ((other64 - t) * err > 0)
    return np.where(flip, other, r).astype(np.float32)


def matmul_reference(a, b):
    """C = A x B as the micro-kernel computes it: a chain over p from +0.0 for
    every element, fused in the first 8*floor(n/8) columns and separately
    rounded in the last n mod 8."""
    m, k = a.shape
    n = b.shape[1]
    blocked = n - n % 8
    c = np.zeros((m, n), np.float32)
    for p in range(k):
        col = a[:, p:p + 1]
        row = b[p:p + 1, :]
        c[:, :blocked] = fma32(col, row[:, :blocked], c[:, :blocked])
        c[:, blocked:] = c[:, blocked:] + col * row[:, blocked:]
    return c


def dot_reference(a, b):
    """Eight fused lanes, lanes reduced as ((l0+l4)+(l1+l5))+((l2+l6)+(l3+l7)),
    then the last count mod 8 products added one by one, each rounded first."""
    count = len(a)
    full = count - count % 8
    lanes = np.zeros(8, np.float32)
    for i in range(0, full, 8):
        lanes = fma32(a[i:i + 8], b[i:i + 8], lanes)
    x = lanes[:4] + lanes[4:]
    s = (x[0] + x[1]) + (x[2] + x[3])
    for i in range(full, count):
        s = np.float32(s + np.float32(a[i] * b[i]))
    return np.float32(s)


def sequential_sum(values):
    """Plain float32 accumulation in the given order, from +0.0."""
    s = np.float32(0.0)
    for v in np.asarray(values, np.float32).ravel():
        s = np.float32(s + v)
    return s
