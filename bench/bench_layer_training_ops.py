#!/usr/bin/env python3
"""maximum, greater, where and argmax of the array layer against NumPy and
PyTorch (CPU, 2 threads), side by side in one process, each library timed
after a pause.

    PYTHONPATH=build/<name>:python python3 bench/bench_layer_training_ops.py [--repeats N]

Prints the processor, then per case the best time per call of each library,
the ratios ours / NumPy and ours / PyTorch (below 1 is faster), the
hardware's limit (the bytes the call must move at the rate this run measures
for a copy of 8 MB: the data sits in the last-level cache), and the
target: at most the faster of NumPy and PyTorch.
"""

import argparse

import numpy as np

import zoltra_native as zn
from processor import describe
from timing import best_ns, side_by_side_us

try:
    import torch
except ImportError as error:
    torch = None
    print(f"PyTorch is not importable ({error}); its column is left out")

N = 1_000_000


def cases():
    """(name, bytes moved, ours, NumPy, PyTorch or None)."""
    rng = np.random.default_rng(0)
    x = rng.standard_normal(N).astype(np.float32)
    c = rng.random(N) < 0.5
    m = rng.standard_normal((1024, 1024)).astype(np.float32)
    zero = np.float32(0)
    t = None
    if torch is not None:
        t = {k: torch.from_numpy(v) for k, v in dict(x=x, c=c, m=m).items()}
    return [
        ("maximum(x, 0)", 8 * N, lambda: zn.maximum(x, 0.0), lambda: np.maximum(x, zero),
         t and (lambda: torch.clamp_min(t["x"], 0.0))),
        ("greater(x, 0)", 5 * N, lambda: zn.greater(x, 0.0), lambda: np.greater(x, zero),
         t and (lambda: torch.gt(t["x"], 0.0))),
        ("where(c, x, 0)", 9 * N, lambda: zn.where(c, x, 0.0), lambda: np.where(c, x, zero),
         t and (lambda: torch.where(t["c"], t["x"], 0.0))),
        ("argmax((1024,1024))", 4 << 20, lambda: zn.argmax(m), lambda: np.argmax(m),
         t and (lambda: torch.argmax(t["m"]))),
        ("argmax((1024,1024), axis=1)", 4 << 20, lambda: zn.argmax(m, axis=1), lambda: np.argmax(m, axis=1),
         t and (lambda: torch.argmax(t["m"], dim=1))),
    ]


def copy_rate(repeats):
    """Bytes per ns of the faster 8 MB copy (4 MB read, 4 MB written): NumPy's
    on one thread or PyTorch's on 2."""
    src = np.ones(N, np.float32)
    dst = np.empty_like(src)
    ns = best_ns(lambda: np.copyto(dst, src), repeats)
    if torch is not None:
        s, d = torch.from_numpy(src), torch.from_numpy(dst)
        ns = min(ns, best_ns(lambda: d.copy_(s), repeats))
    return 8 * N / ns


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(describe(), flush=True)
    if torch is not None:
        torch.set_num_threads(2)
        print(f"PyTorch threads: {torch.get_num_threads()}")
    rate = copy_rate(30 * args.repeats)
    print(f"copy rate: {rate:.1f} GB/s")
    print(f"{'case':30} {'ours us':>8} {'NumPy us':>9} {'PyTorch us':>10} {'limit us':>8} "
          f"{'/NumPy':>7} {'/PyTorch':>8}  target")
    for name, moved, ours, ref, tcall in cases():
        o, n, p = side_by_side_us((ours, ref, tcall), 30 * args.repeats)
        bound = min(v for v in (n, p) if v is not None)
        p_text = f"{p:10.1f}" if p is not None else f"{'-':>10}"
        r_text = f"{o / p:8.2f}" if p is not None else f"{'-':>8}"
        print(f"{name:30} {o:8.1f} {n:9.1f} {p_text} {moved / rate / 1000:8.1f} {o / n:7.2f} {r_text}  "
              f"faster of both: {'met' if o <= bound else 'MISSED'}")


if __name__ == "__main__":
    main()
