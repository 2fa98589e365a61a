#!/usr/bin/env python3
"""The array layer (zoltra_native) against the same call of NumPy and
PyTorch, and against the raw function it runs, side by side in one process.

    PYTHONPATH=build/<name>:python python3 bench/bench_layer.py [--repeats N]

Each row is one call on the same buffers: the best time per call of the
layer, of the peer's own call (np.add, x.sum(), np.dot, np.matmul; torch.add,
t.sum(), torch.dot, torch.mm) and their ratio (the layer's target is at most
1), then for large inputs the layer against the raw function with addresses
computed beforehand (the layer's target is under 2% more). Every library is
timed after a pause, so that the idle threads of the one before have stopped
spinning. Prints the processor and the load average, which bound the figures.
"""

import argparse
import os

import numpy as np

import _zoltra_rust as z
import zoltra_native as zn
from processor import describe
from timing import paused_ns

try:
    import torch
except ImportError as error:
    torch = None
    print(f"PyTorch is not importable ({error}); its rows are left out")


def peer_rows(n, rng):
    """(call, layer, peer) for each call the layer must match at size n."""
    a, b = (rng.standard_normal(n).astype(np.float32) for _ in "ab")
    c = np.empty(n, np.float32)
    rows = [
        (f"add(a, b)          NumPy   n={n:,}", lambda: zn.add(a, b), lambda: np.add(a, b)),
        (f"add(a, b, out=c)   NumPy   n={n:,}", lambda: zn.add(a, b, out=c), lambda: np.add(a, b, out=c)),
        (f"sum(x)             NumPy   n={n:,}", lambda: zn.sum(a), lambda: a.sum()),
        (f"dot(a, b)          NumPy   n={n:,}", lambda: zn.dot(a, b), lambda: np.dot(a, b)),
    ]
    if torch is not None:
        ta, tb, tc = torch.from_numpy(a), torch.from_numpy(b), torch.from_numpy(c)
        rows += [
            (f"add(a, b)          PyTorch n={n:,}", lambda: zn.add(ta, tb), lambda: torch.add(ta, tb)),
            (f"add(a, b, out=c)   PyTorch n={n:,}", lambda: zn.add(ta, tb, out=tc), lambda: torch.add(ta, tb, out=tc)),
            (f"sum(x)             PyTorch n={n:,}", lambda: zn.sum(ta), lambda: ta.sum()),
            (f"dot(a, b)          PyTorch n={n:,}", lambda: zn.dot(ta, tb), lambda: torch.dot(ta, tb)),
        ]
    return rows


def matmul_rows(rng):
    x = rng.standard_normal((64, 64)).astype(np.float32)
    rows = [("matmul(x, x)       NumPy   64 x 64", lambda: zn.matmul(x, x), lambda: np.matmul(x, x))]
    if torch is not None:
        t = torch.from_numpy(x)
        rows.append(("matmul(x, x)       PyTorch 64 x 64", lambda: zn.matmul(t, t), lambda: torch.mm(t, t)))
    return rows


def raw_vector_rows(rng, n):
    a, b = (rng.standard_normal(n).astype(np.float32) for _ in "ab")
    c = np.empty(n, np.float32)
    pa, pb, pc = a.ctypes.data, b.ctypes.data, c.ctypes.data
    return [
        (f"add(a, b, out=c)   n={n:,}", lambda: zn.add(a, b, out=c), lambda: z.tensor_add_f32(pa, pb, pc, n)),
        (f"sum(x)             n={n:,}", lambda: zn.sum(a), lambda: z.tensor_sum_f32(pa, n)),
        (f"dot(a, b)          n={n:,}", lambda: zn.dot(a, b), lambda: z.tensor_dot_product_f32(pa, pb, n)),
    ]


def raw_matmul_row(rng, size):
    x = rng.standard_normal((size, size)).astype(np.float32)
    y = np.empty_like(x)
    px, py = x.ctypes.data, y.ctypes.data
    return (f"matmul(x, x, out=y) {size} x {size}", lambda: zn.matmul(x, x, out=y),
            lambda: z.tensor_matmul_2d_f32(px, px, py, size, size, size))


def raw_rows(rng):
    """(call, layer, raw) for large inputs: the layer's own cost on top."""
    return [*raw_vector_rows(rng, 100_000), *raw_vector_rows(rng, 1_000_000),
            raw_matmul_row(rng, 256), raw_matmul_row(rng, 1024)]


def table(title, peer, rows, repeats):
    print(f"\n{title}")
    print(f"{'call':38} {'layer us':>10} {peer + ' us':>12} {'ratio':>7}")
    for name, layer, other in rows:
        theirs = paused_ns(other, repeats, min_repeat_ns=200_000, max_number=1 << 16)
        ours = paused_ns(layer, repeats, min_repeat_ns=200_000, max_number=1 << 16)
        print(f"{name:38} {ours / 1e3:10.3f} {theirs / 1e3:12.3f} {ours / theirs:7.3f}")


def readme_rows(repeats):
    """The README figures table's rows (the calls of readme_figures.py), every
    library timed as above: best of short loops, after a pause."""
    import readme_figures

    print(f"\n| Operation | {' | '.join(readme_figures.LIBRARIES)} |")
    for label, calls in readme_figures.cases():
        times = [paused_ns(calls[library], repeats, min_repeat_ns=200_000, max_number=1 << 16) / 1e3 for library in readme_figures.LIBRARIES]
        print(f"| {label} | " + " | ".join(readme_figures.fmt(t / 1e6) for t in times) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=100)
    parser.add_argument("--readme", action="store_true", help="also time the README figures table's rows")
    args = parser.parse_args()
    print(describe(z), flush=True)
    print(f"NumPy {np.__version__}" + (f", PyTorch {torch.__version__}" if torch is not None else ""))
    if args.readme:
        readme_rows(args.repeats)
    rng = np.random.default_rng(1)
    rows = [row for n in (10, 1_000, 100_000) for row in peer_rows(n, rng)] + matmul_rows(rng)
    table("The layer against the peer's own call (target: ratio <= 1)", "peer", rows, args.repeats)
    table("The layer against the raw function (target: ratio < 1.02)", "raw", raw_rows(rng), args.repeats)
    print(f"\nLoad average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
