#!/usr/bin/env python3
"""Element-wise, flat-reduction and strided-sum entry points against NumPy and
PyTorch (CPU), side by side in one process.

    PYTHONPATH=build/<name> python3 bench/bench_flat.py [--repeats N] [--sizes 8,1000,...]

Prints, per operation and count, the best time per call of each library, the
ratios ours / NumPy and ours / PyTorch (below 1 is faster) and our throughput
in GB/s. Each library is timed after a pause, so that the idle threads of the
one before have stopped spinning. Profiling stays off. Then the limits that
bound the figures: the memory bandwidth that the element-wise calls share,
and the latency of dependent float additions, which bounds the float32 sum
(one vector addition per 8 elements) and the strided sum (one addition per
element, in a fixed order, whatever the view's strides).
"""

import argparse
import time

import numpy as np

import _zoltra_rust as z
from processor import describe
from timing import best_ns, paused_ns

try:
    import torch
except ImportError as error:  # the table then has no PyTorch column
    torch = None
    print(f"PyTorch is not importable ({error}); its column is left out")

DEFAULT_SIZES = [8, 1_000, 65_536, 1_000_000, 16_777_216]

def cases(n, rng):
    """(name, ours, numpy, torch or None, bytes moved) per operation."""
    a = rng.standard_normal(n).astype(np.float32)
    b = rng.standard_normal(n).astype(np.float32) + np.float32(3.0)
    out = np.empty(n, dtype=np.float32)
    ints = rng.integers(-1000, 1000, n, dtype=np.int32)
    trues = np.ones(n, dtype=np.bool_)    # all() must read every byte
    falses = np.zeros(n, dtype=np.bool_)  # so must any()
    pa, pb, po, pi = a.ctypes.data, b.ctypes.data, out.ctypes.data, ints.ctypes.data
    pt, pf = trues.ctypes.data, falses.ctypes.data
    rows = []
    t = None
    if torch is not None:
        arrays = dict(a=a, b=b, out=out, ints=ints, trues=trues, falses=falses)
        t = {k: torch.from_numpy(v) for k, v in arrays.items()}
    for name, ref in [("add", np.add), ("sub", np.subtract), ("mul", np.multiply), ("div", np.divide)]:
        ours = getattr(z, f"tensor_{name}_f32")
        tcall = (lambda f=getattr(torch, name): f(t["a"], t["b"], out=t["out"])) if t else None
        rows.append((name, lambda f=ours: f(pa, pb, po, n), lambda f=ref: f(a, b, out=out), tcall, 12 * n))
    rows += [
        ("sum_f32", lambda: z.tensor_sum_f32(pa, n), lambda: np.sum(a), t and (lambda: torch.sum(t["a"])), 4 * n),
        ("sum_i32", lambda: z.tensor_sum_i32(pi, n), lambda: np.sum(ints),
         t and (lambda: torch.sum(t["ints"])), 4 * n),
        ("mean_f32", lambda: z.tensor_mean_f32(pa, n), lambda: np.mean(a),
         t and (lambda: torch.mean(t["a"])), 4 * n),
        ("all", lambda: z.tensor_all(pt, n), lambda: np.all(trues), t and (lambda: torch.all(t["trues"])), n),
        ("any", lambda: z.tensor_any(pf, n), lambda: np.any(falses), t and (lambda: torch.any(t["falses"])), n),
    ]
    return (a, b, out, ints, trues, falses, t), rows


def dependent_add_ns(repeats):
    """Time of one dependent float32 addition, from the slope of the strided
    sum of a contiguous view between two sizes that stay in L2 (the call
    overhead cancels out; each element is one addition on the chain)."""
    small, large = 16_384, 262_144
    v = np.ones(large, dtype=np.float32)
    t_small = best_ns(lambda: z.tensor_sum_f32_strided(v.ctypes.data, [small], [4]), repeats)
    t_large = best_ns(lambda: z.tensor_sum_f32_strided(v.ctypes.data, [large], [4]), repeats)
    return (t_large - t_small) / (large - small)


def read_bandwidth_gbs(repeats):
    """Memory read bandwidth on every worker: the parallel int32 sum (a few
    integer additions per 32 bytes) of a buffer far larger than the caches."""
    ints = np.ones(1 << 26, dtype=np.int32)
    return ints.nbytes / best_ns(lambda: z.tensor_sum_i32(ints.ctypes.data, ints.size), repeats)


def strided_table(repeats, add_ns, bandwidth):
    rng = np.random.default_rng(1)
    big = rng.uniform(0, 1, (1024, 1024)).astype(np.float32)
    cube = rng.uniform(0, 1, (64, 64, 64)).astype(np.float32)
    print()
    print(f"strided reductions of a 1024 x 1024 matrix; bounds: the sum {big.size:,} dependent additions "
          f"= {big.size * add_ns / 1e3:.0f} us, max/min reading 4 MiB at {bandwidth:.1f} GB/s "
          f"= {big.nbytes / bandwidth / 1e3:.0f} us (from memory; less from cache)")
    print("sum ratio: to the same number of elements read contiguously; max/min ratios: to NumPy, PyTorch")
    print(f"{'view':<19}{'sum':>9}{'np sum':>9}{'ratio':>7}{'max':>9}{'np max':>9}{'pt max':>9}"
          f"{'min':>9}{'np min':>9}{'pt min':>9}{'max/np':>8}{'min/np':>8}{'max/pt':>8}{'min/pt':>8}")
    contiguous = {}
    views = [("contiguous", big), ("transposed", big.T), ("every 2nd column.T", big[:, ::2].T),
             ("64^3 permuted", cube.transpose(2, 1, 0))]
    for label, view in views:
        p, shape, strides = view.ctypes.data, list(view.shape), list(view.strides)
        tv = torch.from_numpy(view) if torch is not None else None  # positive strides only
        s = paused_ns(lambda: z.tensor_sum_f32_strided(p, shape, strides), repeats)
        ref = paused_ns(lambda: np.sum(view), repeats)
        if view.size not in contiguous:
            flat = big.reshape(-1)
            flat_args = [view.size], [4]
            contiguous[view.size] = paused_ns(lambda: z.tensor_sum_f32_strided(flat.ctypes.data, *flat_args), repeats)
        m = paused_ns(lambda: z.tensor_max_f32_strided(p, shape, strides), repeats)
        n = best_ns(lambda: z.tensor_min_f32_strided(p, shape, strides), repeats)
        nm = paused_ns(lambda: np.max(view), repeats)
        nn = best_ns(lambda: np.min(view), repeats)
        tm = paused_ns(lambda: torch.amax(tv), repeats) if tv is not None else float("nan")
        tn = best_ns(lambda: torch.amin(tv), repeats) if tv is not None else float("nan")
        us = lambda t: f"{t / 1e3:>7.0f}us"
        print(f"{label:<19}{us(s)}{us(ref)}{s / contiguous[view.size]:>7.2f}{us(m)}{us(nm)}{us(tm)}"
              f"{us(n)}{us(nn)}{us(tn)}{m / nm:>8.2f}{n / nn:>8.2f}{m / tm:>8.2f}{n / tn:>8.2f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)))
    args = parser.parse_args()
    print(describe(z), flush=True)
    # OpenBLAS (ours and NumPy's) starts its threads at load and lets them
    # busy-wait for a while; let them settle before timing anything.
    time.sleep(1.0)
    sizes = [int(s) for s in args.sizes.split(",")]
    rng = np.random.default_rng(0)
    z.disable_profiling()
    if torch is not None:
        print(f"PyTorch {torch.__version__} with {torch.get_num_threads()} threads, NumPy {np.__version__}")

    print(f"{'op':<9}{'count':>11}{'ours':>12}{'numpy':>12}{'torch':>12}{'/numpy':>8}{'/torch':>8}{'ours GB/s':>11}")
    for n in sizes:
        keep, rows = cases(n, rng)
        for name, ours, ref, tref, nbytes in rows:
            t_ours = paused_ns(ours, args.repeats)
            t_ref = paused_ns(ref, args.repeats)
            t_torch = paused_ns(tref, args.repeats) if tref else None
            torch_cols = f"{t_torch / 1e3:>10.2f}us" if t_torch else f"{'-':>12}"
            torch_ratio = f"{t_ours / t_torch:>8.2f}" if t_torch else f"{'-':>8}"
            print(f"{name:<9}{n:>11,}{t_ours / 1e3:>10.2f}us{t_ref / 1e3:>10.2f}us{torch_cols}"
                  f"{t_ours / t_ref:>8.2f}{torch_ratio}{nbytes / t_ours:>11.2f}", flush=True)
        del keep

    add_ns = dependent_add_ns(3 * args.repeats)
    bandwidth = read_bandwidth_gbs(args.repeats)
    print()
    print(f"memory read bandwidth, all workers: {bandwidth:.1f} GB/s. An element-wise call over n elements "
          f"moves 12n bytes (16n where the output lines are read before they are written)")
    print(f"one dependent float32 addition: {add_ns:.3f} ns; "
          f"the float32 sum's bound is {add_ns / 8:.4f} ns per element (8 lanes)")
    strided_table(args.repeats, add_ns, bandwidth)


if __name__ == "__main__":
    main()
