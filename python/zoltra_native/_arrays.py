"""Turning caller objects into checked NumPy views, and results back into the
caller's kind of array.

Every object is viewed, never copied, unless a kernel needs contiguous memory
and the view is not. Kind, dtype and device errors are TypeError; shape,
writability, overlap and emptiness errors are ValueError. Every message starts
with the argument's name.
"""

from __future__ import annotations

import sys
from typing import Any, Optional

import numpy as np

_KINDS = "a NumPy array, a PyTorch CPU tensor, or an object exporting DLPack or the array interface"
_DLPACK_CPU = 1  # kDLCPU


def _fail(error: type[Exception], name: str, message: str) -> Exception:
    return error(f"argument '{name}': {message}")


def as_view(obj: object, name: str) -> np.ndarray:
    """A NumPy array over the memory of `obj` (no copy)."""
    if isinstance(obj, np.ndarray):
        return obj
    if hasattr(obj, "__dlpack__"):
        try:
            device = getattr(obj, "__dlpack_device__", None)
            kind = int(device()[0]) if device is not None else _DLPACK_CPU
            if kind == _DLPACK_CPU:
                return np.from_dlpack(obj)
        except (BufferError, RuntimeError, TypeError, ValueError) as error:
            raise _fail(TypeError, name, f"cannot be viewed as an array ({error})") from error
        raise _fail(TypeError, name, f"expected memory on the CPU, got DLPack device type {kind}")
    if hasattr(obj, "__array_interface__") or hasattr(obj, "__array_struct__"):
        return np.asarray(obj)
    try:
        # The buffer protocol (memoryview, bytearray, array.array, ...).
        view = memoryview(obj)  # type: ignore[arg-type]
    except TypeError:
        raise _fail(TypeError, name, f"expected {_KINDS}, got {type(obj).__name__}") from None
    return np.asarray(view)


FLOAT32, INT32, BOOL = np.dtype(np.float32), np.dtype(np.int32), np.dtype(np.bool_)


def check_dtype(array: np.ndarray, name: str, *dtypes: np.dtype) -> None:
    for dtype in dtypes:
        if array.dtype == dtype:
            return
    expected = " or ".join(dtype.name for dtype in dtypes)
    raise _fail(TypeError, name, f"expected dtype {expected}, got {array.dtype}")


def check_ndim(array: np.ndarray, name: str, ndim: int, hint: str = "") -> None:
    if array.ndim != ndim:
        raise _fail(ValueError, name, f"expected a {ndim}-D array, got {array.ndim}-D{hint}")


def check_not_empty(array: np.ndarray, name: str, what: str) -> None:
    if array.size == 0:
        raise _fail(ValueError, name, f"cannot compute the {what} of an empty array")


def address(array: np.ndarray) -> int:
    return int(array.ctypes.data)


def _same_buffer(x: np.ndarray, y: np.ndarray) -> bool:
    return x.shape == y.shape and x.strides == y.strides and x.dtype == y.dtype and address(x) == address(y)


def overlaps(out: np.ndarray, *inputs: np.ndarray) -> bool:
    """True when `out` shares an address range with an input."""
    return any(x.size and out.size and np.may_share_memory(out, x) for x in inputs)


def checked_out(obj: object, shape: tuple[int, ...], inputs: tuple[np.ndarray, ...], in_place_ok: bool) -> np.ndarray:
    """The view of a caller's `out`: float32, writable, C-contiguous, of
    `shape`, and either the very same buffer as an input (element-wise in
    place, when `in_place_ok`) or apart from every input."""
    out = as_view(obj, "out")
    check_dtype(out, "out", FLOAT32)
    if out.shape != shape:
        raise _fail(ValueError, "out", f"expected shape {shape}, got {out.shape}")
    if not out.flags.writeable:
        raise _fail(ValueError, "out", "expected a writable array")
    if not out.flags.c_contiguous:
        raise _fail(ValueError, "out", "expected a C-contiguous array")
    if in_place_ok:
        for x in inputs:
            if overlaps(out, x) and not _same_buffer(out, x):
                raise _fail(ValueError, "out", "overlaps an input without being the very same buffer")
    return out


def like(template: object, result: np.ndarray) -> Any:
    """`result` as an array of the same kind as `template`: itself for NumPy,
    otherwise through the `from_dlpack` of the package that made `template`
    (PyTorch for a tensor), when that package is already imported."""
    if isinstance(template, np.ndarray) or not hasattr(template, "__dlpack__"):
        return result
    package = sys.modules.get(type(template).__module__.partition(".")[0])
    from_dlpack: Optional[Any] = getattr(package, "from_dlpack", None)
    return from_dlpack(result) if from_dlpack is not None else result
