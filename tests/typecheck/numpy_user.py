"""A user's script on NumPy arrays: every function of zoltra_native and a
profile block, each result with the exact type a checker must infer (an
`Any` result fails `assert_type`). Holds without PyTorch installed too."""

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import _zoltra_rust
import zoltra_native as zn

F32 = NDArray[np.float32]

# Annotated, so that the check does not depend on how precisely the installed
# NumPy types its own functions.
x: F32 = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
v: F32 = np.ones(3, dtype=np.float32)
row: F32 = x[1]
ints: NDArray[np.int32] = np.arange(4, dtype=np.int32)
flags: NDArray[np.bool_] = x > 1
out: F32 = np.empty((2, 3), np.float32)
square: F32 = np.empty((3, 3), np.float32)

for op in (zn.add, zn.sub, zn.mul, zn.div):
    assert_type(op(x, x), F32)
    assert_type(op(x, x[::-1], out), F32)
assert_type(zn.sum(x), float)
assert_type(zn.sum(ints), int)
# An array of unknown dtype, as np.exp or np.load give, is not taken for
# int32: its sums pass on to `div` (which refuses int32) without a false
# error, with NumPy 2.2's stubs (Python 3.10) as with newer ones.
unknown: NDArray[Any] = np.exp(x)
zn.div(unknown, zn.sum(unknown, axis=1, keepdims=True))
zn.div(unknown, zn.sum(unknown))
for reduce in (zn.mean, zn.max, zn.min):
    assert_type(reduce(x.T), float)
for test in (zn.all, zn.any):
    assert_type(test(flags), bool)
assert_type(zn.dot(v, v), float)
assert_type(zn.matmul(x, x.T), F32)
assert_type(zn.matmul(x.T, x, out=square), F32)

with zn.profile("step") as p:
    zn.add(x, x, out=x)
assert_type(p, zn.Profile)

# Broadcasting, scalars, axes, 1-D and stacked products.
for op in (zn.add, zn.sub, zn.mul, zn.div):
    assert_type(op(x, 0.5), F32)
    assert_type(op(2, row), F32)
    assert_type(op(np.float32(2), x), F32)
    assert_type(op(x[:, :1], x, out=out), F32)
    assert_type(op(True, x, out), F32)
assert_type(zn.sum(x, axis=None), float)
assert_type(zn.sum(x, 0), F32)
assert_type(zn.sum(x, keepdims=True), F32)
assert_type(zn.sum(ints, (-1,)), NDArray[np.int32])
for reduce in (zn.mean, zn.max, zn.min):
    assert_type(reduce(x, -1, True), F32)
    assert_type(reduce(x, keepdims=False), float)
for test in (zn.all, zn.any):
    assert_type(test(flags, axis=(0, 1)), NDArray[np.bool_])
keep = bool(x.size % 2)
assert_type(zn.mean(x, None, keep), float | F32)
assert_type(zn.sum(ints, keepdims=keep), int | NDArray[np.int32])
assert_type(zn.matmul(x, row), F32)
assert_type(zn.matmul(x[None], x.T), F32)

# The functions of a training step.
for extremum in (zn.maximum, zn.minimum):
    assert_type(extremum(x, 0.0), F32)
    assert_type(extremum(0, row, out=v), F32)
for compare in (zn.greater, zn.greater_equal, zn.less, zn.less_equal, zn.equal, zn.not_equal):
    assert_type(compare(x, 0.0), NDArray[np.bool_])
    assert_type(compare(1.5, x[:, :1]), NDArray[np.bool_])
assert_type(zn.where(zn.greater(x, 2), x, 0.0), F32)
assert_type(zn.where(flags, 1.0, row, out=out), F32)
for arg in (zn.argmax, zn.argmin):
    assert_type(arg(x), int)
    assert_type(arg(x, axis=-1), NDArray[np.int64])
    assert_type(arg(x, keepdims=True), NDArray[np.int64])

if TYPE_CHECKING:  # what a checker refuses (never run)
    zn.sum(x, axis=0.5)  # type: ignore[call-overload]
    zn.add(x, x).shapes  # type: ignore[attr-defined]
    zn.dot(v, v).reall  # type: ignore[attr-defined]
    _zoltra_rust.tensor_sum_f32(x, 6)  # type: ignore[arg-type]  # an array as an address
    _zoltra_rust.tensor_sum_f32(np.int64(1), 6)  # type: ignore[arg-type]
    _zoltra_rust.tensor_sum_f32(True, 6)  # a bool is an int to a checker

# exp, log, sqrt, tanh.
for math in (zn.exp, zn.log, zn.sqrt, zn.tanh):
    assert_type(math(x), F32)
    assert_type(math(x, out=out), F32)
