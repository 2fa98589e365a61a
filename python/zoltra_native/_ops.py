"""The array-taking functions, each a checked call of one raw function."""

from __future__ import annotations

from typing import Any, Callable, Optional

import numpy as np

import _zoltra_rust as _z

from ._arrays import BOOL, FLOAT32, INT32, address, as_view, check_dtype, check_ndim, check_not_empty, checked_out, like, overlaps

_Raw = Callable[[int, int, int, int], None]


def _contiguous(x: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(x)


def _elementwise(raw: _Raw, a: object, b: object, out: object) -> Any:
    va, vb = as_view(a, "a"), as_view(b, "b")
    check_dtype(va, "a", FLOAT32)
    check_dtype(vb, "b", FLOAT32)
    if va.shape != vb.shape:
        raise ValueError(f"argument 'b': expected shape {va.shape} (the shape of 'a'), got {vb.shape}")
    if out is None:
        result = np.empty(va.shape, np.float32)
    else:
        result = checked_out(out, va.shape, (va, vb), in_place_ok=True)
    if result.size:
        ca, cb = _contiguous(va), _contiguous(vb)  # named: a copy must outlive the call
        raw(address(ca), address(cb), address(result), result.size)
    return out if out is not None else like(a, result)


def add(a: Any, b: Any, out: Any = None) -> Any:
    """``a + b`` element by element, as float32.

    `a` and `b` are float32 arrays of one shape (no broadcasting); views that
    are not C-contiguous are copied first. Without `out` the result is a new
    array of the kind of `a`; `out` must be a writable C-contiguous float32
    array of that shape, either apart from `a` and `b` or the very same
    buffer as one of them (in place). Returns the result.
    """
    return _elementwise(_z.tensor_add_f32, a, b, out)


def sub(a: Any, b: Any, out: Any = None) -> Any:
    """``a - b`` element by element; arguments and result as for :func:`add`."""
    return _elementwise(_z.tensor_sub_f32, a, b, out)


def mul(a: Any, b: Any, out: Any = None) -> Any:
    """``a * b`` element by element; arguments and result as for :func:`add`."""
    return _elementwise(_z.tensor_mul_f32, a, b, out)


def div(a: Any, b: Any, out: Any = None) -> Any:
    """``a / b`` element by element (IEEE division); arguments and result as for :func:`add`."""
    return _elementwise(_z.tensor_div_f32, a, b, out)


def _float_input(x: object) -> np.ndarray:
    v = as_view(x, "x")
    check_dtype(v, "x", FLOAT32)
    return v


def _strided_args(v: np.ndarray) -> tuple[int, list[int], list[int]]:
    # A 0-d array is one element: a shape of (1,) keeps the raw functions from
    # answering "no dimensions" for it.
    if v.ndim == 0:
        return address(v), [1], [4]
    return address(v), list(v.shape), list(v.strides)  # NumPy's strides are bytes already


def sum(x: Any) -> float | int:  # noqa: A001 - the public name
    """The sum of all elements of `x`, as a Python number.

    float32 input: a float, computed as the module's float32 sum (contiguous
    memory: 8 lanes with a compensated tail; any other view: one plain float32
    addition per element in row-major order, on the view's own strides).
    int32 input: an int, the sum wrapped modulo 2**32 into the int32 range
    (unlike NumPy, which widens to int64); a view that is not contiguous is
    copied first. An empty array sums to 0.0 (0 for int32).
    """
    v = as_view(x, "x")
    check_dtype(v, "x", FLOAT32, INT32)
    if v.dtype == INT32:
        if v.size == 0:
            return 0
        c = _contiguous(v)
        return _z.tensor_sum_i32(address(c), c.size)
    if v.size == 0:
        return 0.0
    if v.flags.c_contiguous:
        return _z.tensor_sum_f32(address(v), v.size)
    return _z.tensor_sum_f32_strided(*_strided_args(v))


def mean(x: Any) -> float:
    """The mean of a non-empty float32 array, as a Python float (the float32
    sum, as :func:`sum` computes it, divided by the count in float32)."""
    v = _float_input(x)
    check_not_empty(v, "x", "mean")
    if v.flags.c_contiguous:
        return _z.tensor_mean_f32(address(v), v.size)
    return _z.tensor_mean_f32_strided(*_strided_args(v))


def max(x: Any) -> float:  # noqa: A001 - the public name
    """The largest element of a non-empty float32 array, as a Python float.

    Elements are compared in row-major order and ties keep the first; a NaN
    is the result only when it comes first (later NaNs are skipped).
    """
    v = _float_input(x)
    check_not_empty(v, "x", "max")
    return _z.tensor_max_f32_strided(*_strided_args(v))


def min(x: Any) -> float:  # noqa: A001 - the public name
    """The smallest element of a non-empty float32 array; NaNs and ties as for :func:`max`."""
    v = _float_input(x)
    check_not_empty(v, "x", "min")
    return _z.tensor_min_f32_strided(*_strided_args(v))


def _bool_input(x: object) -> np.ndarray:
    v = as_view(x, "x")
    check_dtype(v, "x", BOOL)
    return _contiguous(v)


def all(x: Any) -> bool:  # noqa: A001 - the public name
    """True when every element of the bool array `x` is true (True when
    empty); a view that is not contiguous is copied first."""
    v = _bool_input(x)
    return True if v.size == 0 else _z.tensor_all(address(v), v.size)


def any(x: Any) -> bool:  # noqa: A001 - the public name
    """True when some element of the bool array `x` is true (False when
    empty); a view that is not contiguous is copied first."""
    v = _bool_input(x)
    return False if v.size == 0 else _z.tensor_any(address(v), v.size)


def dot(a: Any, b: Any) -> float:
    """The dot product of two 1-D float32 arrays of one length, as a Python
    float (0.0 when empty). Views that are not contiguous are copied first."""
    va, vb = as_view(a, "a"), as_view(b, "b")
    for name, v in (("a", va), ("b", vb)):
        check_dtype(v, name, FLOAT32)
        check_ndim(v, name, 1)
    if va.shape != vb.shape:
        raise ValueError(f"argument 'b': expected length {va.shape[0]} (the length of 'a'), got {vb.shape[0]}")
    if va.size == 0:
        return 0.0
    ca, cb = _contiguous(va), _contiguous(vb)
    return _z.tensor_dot_product_f32(address(ca), address(cb), va.size)


def matmul(a: Any, b: Any, out: Any = None) -> Any:
    """The matrix product of a (m, k) and a (k, n) float32 array, (m, n).

    Both operands must be 2-D (for 1-D operands use :func:`dot`); views that
    are not C-contiguous are copied first. Without `out` the result is a new
    array of the kind of `a`; `out` must be a writable C-contiguous float32
    (m, n) array, and when it shares memory with `a` or `b` the product is
    computed into a temporary first. Returns the result.
    """
    va, vb = as_view(a, "a"), as_view(b, "b")
    for name, v in (("a", va), ("b", vb)):
        check_dtype(v, name, FLOAT32)
        check_ndim(v, name, 2, "; use dot() for 1-D operands")
    (m, k), (kb, n) = va.shape, vb.shape
    if kb != k:
        raise ValueError(f"argument 'b': expected {k} rows (the columns of 'a'), got {kb}")
    target: Optional[np.ndarray] = None
    if out is not None:
        target = checked_out(out, (m, n), (va, vb), in_place_ok=False)
    result = target if target is not None and not overlaps(target, va, vb) else np.empty((m, n), np.float32)
    if result.size:
        if k == 0:
            result.fill(0.0)
        else:
            ca, cb = _contiguous(va), _contiguous(vb)
            _z.tensor_matmul_2d_f32(address(ca), address(cb), address(result), m, k, n)
    if target is None:
        return like(a, result)
    if result is not target:
        target[...] = result
    return out
