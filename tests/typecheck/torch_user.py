"""A user's script on PyTorch tensors, alone and mixed with NumPy arrays:
every function of zoltra_native, each result with the exact type a checker
must infer (an `Any` result fails `assert_type`), and the wrong dtypes a
checker refuses."""

from typing import TYPE_CHECKING

import numpy as np
import torch
from numpy.typing import NDArray
from typing_extensions import assert_type

import zoltra_native as zn

x: NDArray[np.float32] = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
t = torch.arange(1, 7, dtype=torch.float32).reshape(2, 3)
u = torch.ones(3)

for op in (zn.add, zn.sub, zn.mul, zn.div):
    assert_type(op(t, t), torch.Tensor)
    assert_type(op(t, x), torch.Tensor)
    assert_type(op(x, t), NDArray[np.float32])
    assert_type(op(t, t, out=torch.empty_like(t)), torch.Tensor)
assert_type(zn.sum(t), float)
assert_type(zn.sum(torch.arange(4, dtype=torch.int32)), float)  # an int is a float to a checker
for reduce in (zn.mean, zn.max, zn.min):
    assert_type(reduce(t.T), float)
for test in (zn.all, zn.any):
    assert_type(test(t > 1), bool)
assert_type(zn.dot(u, u), float)
assert_type(zn.dot(u, x[0]), float)
assert_type(zn.matmul(t, t.T), torch.Tensor)
assert_type(zn.matmul(t, x.T, out=torch.empty(2, 2)), torch.Tensor)
assert_type(zn.matmul(x, x.T, out=torch.empty(2, 2)), torch.Tensor)

with zn.profile() as p:
    zn.add(t, t, out=t)
assert_type(p, zn.Profile)

# Broadcasting, scalars, axes, 1-D and stacked products.
for op in (zn.add, zn.sub, zn.mul, zn.div):
    assert_type(op(t, 0.5), torch.Tensor)
    assert_type(op(0.5, t), torch.Tensor)
    assert_type(op(t, x[0]), torch.Tensor)
    assert_type(op(0.5, t, out=x), NDArray[np.float32])
assert_type(zn.sum(t, axis=0), torch.Tensor)
assert_type(zn.sum(t, keepdims=True), torch.Tensor)
for reduce in (zn.mean, zn.max, zn.min):
    assert_type(reduce(t, (0, 1), keepdims=True), torch.Tensor)
for test in (zn.all, zn.any):
    assert_type(test(t > 1, -1), torch.Tensor)
assert_type(zn.any(t > 1, keepdims=bool(t.numel() % 2)), bool | torch.Tensor)
assert_type(zn.matmul(t, u), torch.Tensor)
assert_type(zn.matmul(x, u), NDArray[np.float32])

# The functions of a training step.
for extremum in (zn.maximum, zn.minimum):
    assert_type(extremum(t, 0.0), torch.Tensor)
    assert_type(extremum(0.0, t, out=t), torch.Tensor)
for compare in (zn.greater, zn.greater_equal, zn.less, zn.less_equal, zn.equal, zn.not_equal):
    assert_type(compare(t, 0.0), torch.Tensor)
    assert_type(compare(x, t), NDArray[np.bool_])
assert_type(zn.where(zn.greater(t, 1), t, 0.0), torch.Tensor)
for arg in (zn.argmax, zn.argmin):
    assert_type(arg(t), int)
    assert_type(arg(t, 1), torch.Tensor)

if TYPE_CHECKING:  # what a checker refuses (never run)
    zn.add(np.ones(3), 0.5)  # type: ignore[arg-type]  # float64
    zn.add(1.0, 2.0)  # type: ignore[call-overload]  # no array
    zn.add(x, np.ones((2, 3)))  # type: ignore[arg-type]  # float64
    zn.add(np.ones((2, 3)), t)  # type: ignore[arg-type]
    zn.sum(np.ones(3))  # type: ignore[arg-type]
    zn.mean(np.arange(3))  # type: ignore[arg-type]
    zn.all(x)  # type: ignore[arg-type]  # float32 where bool belongs
    zn.matmul(t, t).shapes  # type: ignore[attr-defined]

# exp, log, sqrt, tanh.
for math in (zn.exp, zn.log, zn.sqrt, zn.tanh):
    assert_type(math(t), torch.Tensor)
    assert_type(math(x, out=torch.empty(2, 3)), torch.Tensor)
