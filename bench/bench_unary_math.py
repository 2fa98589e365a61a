#!/usr/bin/env python3
"""exp, log, sqrt and tanh of 1,000,000 float32 elements: the layer (each
element correctly rounded) against NumPy's and PyTorch's own functions (2
threads), side by side in one process.

    PYTHONPATH=build/<name>:python python3 bench/bench_unary_math.py [--repeats N]

Each row: the best time per call into a preallocated output, for the layer,
NumPy and PyTorch, and the layer's ratio to each (target: at most the faster
peer's time). Beside them, the memory limit: 8 bytes an element (read and
write) at the bandwidth one `out=` copy reaches. The peers' results are not
correctly rounded; the last two columns give the share of theirs that differ
from ours. Prints the processor and the load average.
"""

import argparse

import numpy as np

import zoltra_native as zn
from processor import describe
from timing import paused_ns

try:
    import torch
except ImportError as error:
    torch = None
    print(f"PyTorch is not importable ({error}); its columns are left out")

N = 1_000_000


def inputs(rng):
    """The range each function is used over in a training step."""
    return {
        "exp": rng.uniform(-10, 10, N),
        "log": rng.uniform(1e-6, 10, N),
        "sqrt": rng.uniform(0, 100, N),
        "tanh": rng.uniform(-5, 5, N),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    print(describe())
    if torch is not None:
        torch.set_num_threads(2)
    rng = np.random.default_rng(0)
    out, source = np.empty(N, np.float32), np.ones(N, np.float32)
    copy_ns = paused_ns(lambda: np.copyto(out, source), args.repeats)
    print(f"memory limit at {N:,} elements: {copy_ns / 1e3:.0f} us (one float32 copy of the same size)")
    print(f"{'call':<10}{'layer us':>10}{'NumPy us':>10}{'torch us':>10}{'/NumPy':>8}{'/torch':>8}"
          f"{'NumPy differ':>14}{'torch differ':>14}")
    for name, values in inputs(rng).items():
        x = values.astype(np.float32)
        ours, theirs = getattr(zn, name), getattr(np, name)
        layer = paused_ns(lambda: ours(x, out=out), args.repeats)
        numpy = paused_ns(lambda: theirs(x, out=out), args.repeats)
        expected = ours(x)
        row = f"{name:<10}{layer / 1e3:>10.0f}{numpy / 1e3:>10.0f}"
        if torch is not None:
            tx, tout, fn = torch.from_numpy(x), torch.from_numpy(out), getattr(torch, name)
            peer = paused_ns(lambda: fn(tx, out=tout), args.repeats)
            row += f"{peer / 1e3:>10.0f}{layer / numpy:>8.2f}{layer / peer:>8.2f}"
            numpy_differ = np.count_nonzero(theirs(x) != expected)
            torch_differ = np.count_nonzero(fn(tx).numpy() != expected)
            row += f"{numpy_differ / N:>13.1%}{torch_differ / N:>14.1%}"
        else:
            row += f"{'':>10}{layer / numpy:>8.2f}"
        print(row)


if __name__ == "__main__":
    main()
