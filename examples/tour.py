"""A short tour: first zoltra_native, the layer that takes arrays and checks
them, then _zoltra_rust underneath it, which takes raw addresses.

Run after `pip install .`:  python3 examples/tour.py
"""

import json

import numpy as np

import _zoltra_rust as z
import zoltra_native as zn


def layer():
    print("--- zoltra_native")
    # Arrays in, checked: views of any strides, results of the input's kind.
    x = np.arange(12, dtype=np.float32).reshape(3, 4)
    print("sum:", zn.sum(x), " max of a transposed, stepped view:", zn.max(x.T[::2]))
    print("x + row (broadcast):", zn.add(x, x[0])[1])
    print("column sums:", zn.sum(x, axis=0), " row maxima:", zn.max(x, axis=1, keepdims=True).ravel())
    print("x @ x.T:", zn.matmul(x, x.T).shape, " dot:", zn.dot(x[0], x[1]))
    zn.mul(x, 0.5, out=x)  # in place
    print("x * 0.5 in place, first row:", x[0])

    # Every caller error is an exception naming the argument, before anything is written.
    for call in (lambda: zn.add(x, np.ones(4)), lambda: zn.add(x, x.T)):
        try:
            call()
        except (TypeError, ValueError) as error:
            print("refused:", error)

    with zn.profile("tour") as p:
        zn.matmul(x, x.T)
        zn.sum(x)
    print(p)


def address(array):
    return array.ctypes.data


def raw():
    print("--- _zoltra_rust")
    print(z.get_capabilities_summary())

    # Element-wise arithmetic writes into a buffer the caller owns.
    a = np.linspace(0.0, 1.0, 1_000, dtype=np.float32)
    b = np.full(1_000, 2.0, dtype=np.float32)
    out = np.empty_like(a)
    z.tensor_mul_f32(address(a), address(b), address(out), a.size)
    print("a * 2, first values:", out[:4])

    z.enable_profiling()
    z.set_profile_context("tour")

    # Reductions return Python scalars; large sums run on the worker pool.
    big = np.ones(2_000_000, dtype=np.float32)
    print("sum of 2,000,000 ones:", z.tensor_sum_f32(address(big), big.size))
    print("mean of a:", z.tensor_mean_f32(address(a), a.size))
    flags = np.array([1, 1, 0, 1], dtype=np.uint8)
    print("all / any:", z.tensor_all(address(flags), flags.size), z.tensor_any(address(flags), flags.size))

    # A strided view: the transpose of a 2 x 3 matrix, strides in bytes.
    m = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
    t = m.T
    print("max over a transposed view:", z.tensor_max_f32_strided(address(t), list(t.shape), list(t.strides)))

    # The matrix product picks its own kernel and says which.
    x = np.random.default_rng(0).standard_normal((64, 32), dtype=np.float32)
    y = np.random.default_rng(1).standard_normal((32, 16), dtype=np.float32)
    c = np.empty((64, 16), dtype=np.float32)
    z.tensor_matmul_2d_f32(address(x), address(y), address(c), 64, 32, 16)
    print("matmul matches NumPy:", bool(np.allclose(c, x @ y, atol=1e-4)))
    print("dispatch:", z.explain_last_dispatch())
    print("dot:", z.tensor_dot_product_f32(address(a), address(b), a.size))

    # Bad input is refused with an exact message, before anything is written.
    try:
        z.tensor_add_f32(0, address(b), address(out), 4)
    except ValueError as error:
        print("refused:", error)

    z.set_profile_context(None)
    z.disable_profiling()
    report = json.loads(z.get_profile_report("tour"))
    for name, metrics in sorted(report["operations"].items()):
        print(f"profiled {name}: {metrics['count']} call(s), {metrics['total_time_ms']:.3f} ms")


def main():
    layer()
    raw()


if __name__ == "__main__":
    main()
