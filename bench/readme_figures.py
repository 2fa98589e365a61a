#!/usr/bin/env python3
"""The README's benchmark table and plot: _zoltra_rust (raw addresses), the
zoltra_native array layer, NumPy and PyTorch on the same float32 data.

    python3 bench/readme_figures.py            # prints the markdown table,
                                               # writes docs/benchmarks.png

Needs the installed module, NumPy, PyTorch (CPU) and matplotlib. Every figure
is the best of many timed batches, each library in turn with a pause between
them (an idle BLAS pool spins for a while); all libraries keep their default
thread counts. Paste the printed table into the README after a run on a quiet
machine.
"""

import argparse
import os
import platform
import time

import numpy as np
import torch

import _zoltra_rust as z
from processor import describe
import zoltra_native as zn

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = ["_zoltra_rust", "zoltra_native", "NumPy", "PyTorch"]


def best_seconds(fn, budget=1.0, rounds=15):
    """Best time of one call, from batches that last about budget/rounds."""
    fn()
    calls, start = 1, time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    calls = max(1, int(budget / rounds / once))
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def vector_cases(rng, n):
    x, y = rng.standard_normal(n).astype(np.float32), rng.standard_normal(n).astype(np.float32)
    r = np.empty_like(x)
    tx, ty, tr = torch.from_numpy(x), torch.from_numpy(y), torch.from_numpy(r)
    px, py, pr = x.ctypes.data, y.ctypes.data, r.ctypes.data
    return [
        (f"sum, n={n:,}", {
            "_zoltra_rust": lambda: z.tensor_sum_f32(px, n), "zoltra_native": lambda: zn.sum(x),
            "NumPy": lambda: x.sum(), "PyTorch": lambda: tx.sum()}),
        (f"add, n={n:,}", {
            "_zoltra_rust": lambda: z.tensor_add_f32(px, py, pr, n), "zoltra_native": lambda: zn.add(x, y, out=r),
            "NumPy": lambda: np.add(x, y, out=r), "PyTorch": lambda: torch.add(tx, ty, out=tr)}),
        (f"dot, n={n:,}", {
            "_zoltra_rust": lambda: z.tensor_dot_product_f32(px, py, n), "zoltra_native": lambda: zn.dot(x, y),
            "NumPy": lambda: np.dot(x, y), "PyTorch": lambda: torch.dot(tx, ty)}),
    ]


def matrix_case(rng, n):
    a, b = rng.standard_normal((n, n)).astype(np.float32), rng.standard_normal((n, n)).astype(np.float32)
    c = np.empty_like(a)
    ta, tb, tc = torch.from_numpy(a), torch.from_numpy(b), torch.from_numpy(c)
    pa, pb, pc = a.ctypes.data, b.ctypes.data, c.ctypes.data
    return (f"matmul, {n}x{n}", {
        "_zoltra_rust": lambda: z.tensor_matmul_2d_f32(pa, pb, pc, n, n, n),
        "zoltra_native": lambda: zn.matmul(a, b, out=c),
        "NumPy": lambda: np.matmul(a, b, out=c), "PyTorch": lambda: torch.matmul(ta, tb, out=tc)})


def cases():
    """(label, {library: call}) for each benchmarked operation."""
    rng = np.random.default_rng(0)
    return [*vector_cases(rng, 1_000), *vector_cases(rng, 1_000_000),
            *(matrix_case(rng, n) for n in (64, 256, 1024))]


def fmt(seconds):
    us = seconds * 1e6
    return f"{us:,.1f}" if us < 100 else f"{us:,.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--png", default=os.path.join(HERE, "..", "docs", "benchmarks.png"))
    args = parser.parse_args()
    print(describe(z), flush=True)

    rows = []
    for label, calls in cases():
        times = {}
        for library in LIBRARIES:
            time.sleep(0.2)
            times[library] = best_seconds(calls[library])
        rows.append((label, times))

    print(f"Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} processors; "
          f"NumPy {np.__version__}, PyTorch {torch.__version__}; times in microseconds, best of many calls.\n")
    print("| Operation | " + " | ".join(f"`{lib}`" if lib[0] in "_z" else lib for lib in LIBRARIES) + " |")
    print("|---|" + "---:|" * len(LIBRARIES))
    for label, times in rows:
        print(f"| {label} | " + " | ".join(fmt(times[lib]) for lib in LIBRARIES) + " |")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(10, 4.5))
    width = 0.8 / len(LIBRARIES)
    for i, library in enumerate(LIBRARIES):
        # matplotlib leaves labels that start with "_" out of the legend.
        ax.bar([j + (i - 1.5) * width for j in range(len(rows))], [t[library] * 1e6 for _, t in rows], width,
               label=library if library[0] != "_" else f"{library[1:]} (raw)")
    ax.set_yscale("log")
    ax.set_ylabel("microseconds per call (log scale, lower is better)")
    ax.set_xticks(range(len(rows)), [label for label, _ in rows], rotation=30, ha="right")
    ax.legend()
    ax.set_title("float32 kernels on the same data")
    fig.tight_layout()
    fig.savefig(args.png, dpi=110)
    print(f"\nwrote {os.path.normpath(args.png)}")


if __name__ == "__main__":
    main()
