"""A fixed battery of results that must have the same bits on every processor.

Run as a script, it writes the battery to the JSON file named:

    python3 tests/bit_battery.py OUT.json

and test_bit_battery.py compares a run on another processor (the aarch64
stage) with such a file from x86-64. The raw dot and matrix products are
left out: theirs follow the processor's FMA (and OpenBLAS's kernels); the
layer's dot and matrix x vector have an order of their own.
"""

import hashlib
import json
import struct
import sys

import numpy as np

import _zoltra_rust as z
import zoltra_native as zn

SPECIALS = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-45, -1e-45, 3.4028235e38], np.float32)


def values(count, seed, specials=False):
    """Integers scaled by powers of two (exact everywhere) over 40 binades, so
    that any change in the order of additions shows in the bits."""
    rng = np.random.default_rng(seed)
    mantissas = rng.integers(-(2**23), 2**23, count).astype(np.float32)
    x = np.ldexp(mantissas, rng.integers(-20, 20, count).astype(np.int32)).astype(np.float32)
    if specials:
        x[rng.integers(0, count, 2 * len(SPECIALS))] = np.tile(SPECIALS, 2)
    return x


def digest(result):
    """The bits of a result: a float's own (NaN's sign and payload too), an
    array's as a hash."""
    if isinstance(result, tuple):
        return [digest(r) for r in result]
    if isinstance(result, np.ndarray):
        return hashlib.sha256(np.ascontiguousarray(result).tobytes()).hexdigest()
    return struct.pack("<d", result).hex()


def battery():
    a, b = values(4099, 1, specials=True), values(4099, 2)
    out = np.empty_like(a)
    results = {}
    for name in ("add", "sub", "mul", "div"):
        getattr(z, f"tensor_{name}_f32")(a.ctypes.data, b.ctypes.data, out.ctypes.data, a.size)
        results[f"tensor_{name}_f32"] = digest(out.copy())
    for count in (7, 1003, 65536 + 5):
        x = values(count, count)
        results[f"tensor_sum_f32/{count}"] = digest(z.tensor_sum_f32(x.ctypes.data, count))
        results[f"tensor_mean_f32/{count}"] = digest(z.tensor_mean_f32(x.ctypes.data, count))
    m = values(257 * 129, 3, specials=True).reshape(257, 129)
    for label, view in (("rows", m[::2]), ("transposed", m.T), ("reversed", m[::-1, 3:])):
        args = (view.ctypes.data, list(view.shape), list(view.strides))
        for name in ("sum", "mean", "max", "min"):
            results[f"tensor_{name}_f32_strided/{label}"] = digest(getattr(z, f"tensor_{name}_f32_strided")(*args))
    finite = values(257 * 129, 4).reshape(257, 129)
    for name in ("sum", "mean", "max", "min"):
        f = getattr(zn, name)
        source = m if name in ("max", "min") else finite
        results[f"layer {name}"] = digest(f(source))
        for axis in (0, 1):
            results[f"layer {name}/axis {axis}"] = digest(f(source, axis=axis))
            results[f"layer {name}/axis {axis} transposed"] = digest(f(source.T, axis=axis))
    zeros = np.array([0.0, -0.0, -0.0, 0.0, 5e-324], np.float32)
    results["layer max/min of ±0"] = digest((zn.max(zeros), zn.min(zeros), zn.max(zeros[1:3]), zn.min(zeros[[0, 3]])))
    results["layer add broadcast"] = digest(zn.add(finite, finite[0]))
    results["layer div broadcast"] = digest(zn.div(finite[:, :1], finite))
    results["layer dot"] = digest(zn.dot(finite[3], finite[5]))
    results["layer dot strided"] = digest(zn.dot(finite[:, 7], finite[::-1, 2]))
    results["layer matmul by a vector"] = digest(zn.matmul(finite, finite[4]))
    results["layer matmul by a vector, transposed"] = digest(zn.matmul(finite.T, finite[:, 2]))
    for name in ("exp", "log", "sqrt", "tanh"):
        results[f"layer {name}"] = digest(getattr(zn, name)(a / np.float32(2**16)))
    results["layer maximum/minimum"] = digest((zn.maximum(m, m[::-1]), zn.minimum(m, 0.0)))
    results["layer comparisons"] = digest((zn.greater(m, m[0]), zn.equal(m, m[::-1]), zn.not_equal(m, m)))
    results["layer where"] = digest(zn.where(zn.less(m, 0.0), m, finite))
    results["layer argmax/argmin"] = digest((zn.argmax(m), zn.argmin(m), zn.argmax(m, axis=0), zn.argmin(m.T, axis=1)))
    return results


if __name__ == "__main__":
    with open(sys.argv[1], "w") as handle:
        json.dump(battery(), handle, indent=0, sort_keys=True)
