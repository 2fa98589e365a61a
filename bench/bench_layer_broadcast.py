#!/usr/bin/env python3
"""Broadcasting, scalars, axis reductions and stacked products of the array
layer against NumPy and PyTorch (CPU, each with its default threads), side by
side in one process, each library timed after a pause.

    PYTHONPATH=build/<name>:python python3 bench/bench_layer_broadcast.py [--repeats N]

Prints the processor, then per case the best time per call of each library
and the ratios ours / NumPy and ours / PyTorch (below 1 is faster), and the
target each case has: at most the faster of the two, or at most NumPy.
"""

import argparse

import numpy as np

import zoltra_native as zn
from processor import describe
from timing import side_by_side_us

try:
    import torch
except ImportError as error:
    torch = None
    print(f"PyTorch is not importable ({error}); its column is left out")


def cases():
    """(name, ours, NumPy, PyTorch or None, target): target 'both' is at most
    the faster of NumPy and PyTorch, 'numpy' at most NumPy."""
    rng = np.random.default_rng(0)
    x = rng.standard_normal((1024, 1024)).astype(np.float32)
    row = rng.standard_normal(1024).astype(np.float32)
    small = rng.standard_normal(1000).astype(np.float32)
    stack = rng.standard_normal((64, 64, 64)).astype(np.float32)
    tall = rng.standard_normal((4096, 256)).astype(np.float32)
    vector = rng.standard_normal(256).astype(np.float32)
    t = None
    if torch is not None:
        t = {k: torch.from_numpy(v) for k, v in dict(x=x, row=row, stack=stack).items()}
    one = np.float32(1.0)
    return [
        ("add((1024,1024), (1024,))", lambda: zn.add(x, row), lambda: np.add(x, row),
         t and (lambda: torch.add(t["x"], t["row"])), "both"),
        ("mul((1024,1024), 0.5)", lambda: zn.mul(x, 0.5), lambda: np.multiply(x, 0.5),
         t and (lambda: torch.mul(t["x"], 0.5)), "both"),
        ("add(x, 1.0), n=1000", lambda: zn.add(small, 1.0), lambda: np.add(small, one), None, "numpy"),
        ("sum((1024,1024), axis=0)", lambda: zn.sum(x, axis=0), lambda: np.sum(x, axis=0),
         t and (lambda: torch.sum(t["x"], dim=0)), "numpy"),
        ("sum((1024,1024), axis=1)", lambda: zn.sum(x, axis=1), lambda: np.sum(x, axis=1),
         t and (lambda: torch.sum(t["x"], dim=1)), "numpy"),
        ("max((1024,1024), axis=0)", lambda: zn.max(x, axis=0), lambda: np.max(x, axis=0),
         t and (lambda: torch.amax(t["x"], dim=0)), "numpy"),
        ("max((1024,1024), axis=1)", lambda: zn.max(x, axis=1), lambda: np.max(x, axis=1),
         t and (lambda: torch.amax(t["x"], dim=1)), "numpy"),
        ("matmul((64,64,64), (64,64,64))", lambda: zn.matmul(stack, stack), lambda: np.matmul(stack, stack),
         t and (lambda: torch.matmul(t["stack"], t["stack"])), "both"),
        ("matmul((4096,256), (256,))", lambda: zn.matmul(tall, vector), lambda: np.matmul(tall, vector), None,
         "numpy"),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(describe(), flush=True)
    if torch is not None:
        print(f"PyTorch threads: {torch.get_num_threads()}")
    print(f"{'case':34} {'ours us':>9} {'NumPy us':>9} {'PyTorch us':>10} {'/NumPy':>7} {'/PyTorch':>8}  target")
    for name, ours, ref, tcall, target in cases():
        o, n, p = side_by_side_us((ours, ref, tcall), 30 * args.repeats)
        bound = min(v for v in (n, p if target == "both" else None) if v is not None)
        met = "met" if o <= bound else "MISSED"
        p_text = f"{p:10.1f}" if p is not None else f"{'-':>10}"
        r_text = f"{o / p:8.2f}" if p is not None else f"{'-':>8}"
        print(f"{name:34} {o:9.1f} {n:9.1f} {p_text} {o / n:7.2f} {r_text}  "
              f"{'faster of both' if target == 'both' else 'NumPy'}: {met}")


if __name__ == "__main__":
    main()
