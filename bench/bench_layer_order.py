#!/usr/bin/env python3
"""The layer's sums, means, dot products and matrix x vector products (its own
order of additions) against NumPy and PyTorch (2 threads) in one process.

    PYTHONPATH=build/<name>:python python3 bench/bench_layer_order.py [--repeats N]

Each row: the best time per call of the layer, NumPy and PyTorch, the
layer's ratio to the faster peer (target: at most 1), and the limit: the
bytes the call must read over one core's load bandwidth when they fit in L2,
over the L3 bandwidth when they fit in L3, over the memory bandwidth beyond
(each measured here first, as the best of the three libraries' sums of one
buffer of that size). Every library is timed after a pause.
"""

import argparse
import os

import numpy as np
import torch

import _zoltra_rust as z
import zoltra_native as zn
from processor import describe
from timing import paused_ns

L2_BYTES = 512 * 1024
L3_BYTES = 32 * 1024 * 1024


def best_bandwidth(x, repeats):
    """Bytes per ns of the fastest whole sum of x among the three libraries."""
    t = torch.from_numpy(x)
    best = min(paused_ns(call, repeats) for call in (lambda: zn.sum(x), lambda: x.sum(), lambda: t.sum()))
    return x.nbytes / best


def cases(rng):
    """(name, bytes read, layer, NumPy, PyTorch) for each call of the targets."""
    rows = []
    for n in (1_000, 100_000, 1_000_000, 16_777_216):
        a, b = (rng.standard_normal(n).astype(np.float32) for _ in "ab")
        ta, tb = torch.from_numpy(a), torch.from_numpy(b)
        rows.append((f"sum n={n:,}", a.nbytes, lambda a=a: zn.sum(a), lambda a=a: a.sum(), lambda t=ta: t.sum()))
        rows.append((f"dot n={n:,}", 2 * a.nbytes, lambda a=a, b=b: zn.dot(a, b), lambda a=a, b=b: np.dot(a, b),
                     lambda a=ta, b=tb: torch.dot(a, b)))
    x = rng.standard_normal((1024, 1024)).astype(np.float32)
    tx = torch.from_numpy(x)
    rows += [
        ("sum x.T (1024, 1024)", x.nbytes, lambda: zn.sum(x.T), lambda: x.T.sum(), lambda: tx.T.sum()),
        ("mean x.T (1024, 1024)", x.nbytes, lambda: zn.mean(x.T), lambda: x.T.mean(), lambda: tx.T.mean()),
        ("sum x[:, ::2] (1024, 1024)", x.nbytes, lambda: zn.sum(x[:, ::2]), lambda: x[:, ::2].sum(),
         lambda: tx[:, ::2].sum()),
    ]
    w = rng.standard_normal((1024, 2048)).astype(np.float32)
    tw = torch.from_numpy(w)
    for axis in (0, 1):
        rows.append((f"sum axis={axis} (1024, 2048)", w.nbytes, lambda a=axis: zn.sum(w, axis=a),
                     lambda a=axis: w.sum(axis=a), lambda a=axis: tw.sum(dim=a)))
    for m, k, view in ((4096, 256, False), (256, 4096, False), (1000, 1000, False), (1000, 1000, True)):
        a = w[:m, :k] if view else rng.standard_normal((m, k)).astype(np.float32)
        v = rng.standard_normal(k).astype(np.float32)
        ta, tv = torch.from_numpy(a), torch.from_numpy(v)
        label = f"matmul ({m}, {k}){' view' if view else ''} @ ({k},)"
        rows.append((label, a.size * 4, lambda a=a, v=v: zn.matmul(a, v), lambda a=a, v=v: np.matmul(a, v),
                     lambda a=ta, v=tv: torch.mv(a, v)))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=30)
    args = parser.parse_args()
    torch.set_num_threads(2)
    print(describe(z), flush=True)
    print(f"NumPy {np.__version__}, PyTorch {torch.__version__} ({torch.get_num_threads()} threads)")
    rng = np.random.default_rng(3)
    load = best_bandwidth(rng.standard_normal(4096).astype(np.float32), args.repeats)
    l3 = best_bandwidth(rng.standard_normal(1 << 20).astype(np.float32), args.repeats)
    memory = best_bandwidth(rng.standard_normal(1 << 26).astype(np.float32), max(3, args.repeats // 10))
    print(f"load bandwidth (16 KiB sum) {load:.1f} GB/s, L3 bandwidth (4 MiB sum) {l3:.1f} GB/s, "
          f"memory bandwidth (256 MiB sum) {memory:.1f} GB/s")
    print(f"\n{'call':34} {'layer us':>10} {'NumPy us':>10} {'torch us':>10} {'ratio':>6} {'limit us':>9}")
    for name, size, ours, numpy_call, torch_call in cases(rng):
        timed = [paused_ns(call, args.repeats, min_repeat_ns=2_000_000, max_number=1 << 16) / 1e3
                 for call in (numpy_call, torch_call, ours)]
        limit = size / (load if size <= L2_BYTES else l3 if size <= L3_BYTES else memory) / 1e3
        print(f"{name:34} {timed[2]:10.2f} {timed[0]:10.2f} {timed[1]:10.2f} {timed[2] / min(timed[:2]):6.2f} "
              f"{limit:9.2f}", flush=True)
    print(f"\nLoad average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
