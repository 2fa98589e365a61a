"""A user's script on NumPy arrays: every function of zoltra_native and a
profile block, each result with the exact type a checker must infer (an
`Any` result fails `assert_type`). Holds without PyTorch installed too."""

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import _zoltra_rust
import zoltra_native as zn

F32 = NDArray[np.float32]

x = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
v = np.ones(3, dtype=np.float32)

for op in (zn.add, zn.sub, zn.mul, zn.div):
    assert_type(op(x, x), F32)
    assert_type(op(x, x[::-1], np.empty_like(x)), np.ndarray[tuple[int, int], np.dtype[np.float32]])
assert_type(zn.sum(x), float)
assert_type(zn.sum(np.arange(4, dtype=np.int32)), int)
for reduce in (zn.mean, zn.max, zn.min):
    assert_type(reduce(x.T), float)
for test in (zn.all, zn.any):
    assert_type(test(x > 1), bool)
assert_type(zn.dot(v, v), float)
assert_type(zn.matmul(x, x.T), F32)
assert_type(zn.matmul(x, x.T, out=np.empty((2, 2), np.float32)), np.ndarray[tuple[int, int], np.dtype[np.float32]])

with zn.profile("step") as p:
    zn.add(x, x, out=x)
assert_type(p, zn.Profile)
assert_type(p.text, str | None)

if TYPE_CHECKING:  # what a checker refuses (never run)
    zn.add(x, x).shapes  # type: ignore[attr-defined]
    zn.dot(v, v).reall  # type: ignore[attr-defined]
    _zoltra_rust.tensor_sum_f32(x, 6)  # type: ignore[arg-type]  # an array as an address
    _zoltra_rust.tensor_sum_f32(np.int64(1), 6)  # type: ignore[arg-type]
    _zoltra_rust.tensor_sum_f32(True, 6)  # a bool is an int to a checker
