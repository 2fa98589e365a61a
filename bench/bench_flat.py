#!/usr/bin/env python3
"""Element-wise and flat-reduction entry points against their NumPy
equivalents, side by side in one process.

    PYTHONPATH=build/<name> python3 bench/bench_flat.py [--repeats N] [--sizes 8,1000,...]

Prints, per operation and count, the best time per call of each side, the
ratio ours / NumPy (below 1 is faster) and both throughputs in GB/s. Profiling
stays off. A second table puts the float32 sum's cycles per element beside
the bound that its fixed order of additions sets: one dependent 8-lane vector
addition per 8 elements.
"""

import argparse
import time

import numpy as np

import _zoltra_rust as z

DEFAULT_SIZES = [8, 1_000, 65_536, 1_000_000, 16_777_216]


def best_ns(fn, args, repeats, min_repeat_ns=5_000_000, kwargs=None):
    """Best mean time per call over `repeats` timed loops of calibrated length."""
    if kwargs:
        call = lambda: fn(*args, **kwargs)  # noqa: E731 - NumPy's out= keyword
    else:
        call = lambda: fn(*args)  # noqa: E731
    number = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        elapsed = time.perf_counter_ns() - start
        if elapsed >= min_repeat_ns or number >= 1 << 20:
            break
        number *= 2 if elapsed == 0 else max(2, min(16, int(min_repeat_ns / elapsed) + 1))
    best = elapsed / number
    for _ in range(repeats - 1):
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def cases(n, rng):
    a = rng.standard_normal(n).astype(np.float32)
    b = (rng.standard_normal(n).astype(np.float32) + np.float32(3.0))
    out = np.empty(n, dtype=np.float32)
    ints = rng.integers(-1000, 1000, n, dtype=np.int32)
    trues = np.ones(n, dtype=np.bool_)    # all() must read every byte
    falses = np.zeros(n, dtype=np.bool_)  # so must any()
    pa, pb, po = a.ctypes.data, b.ctypes.data, out.ctypes.data
    keep = (a, b, out, ints, trues, falses)
    rows = [
        ("add", z.tensor_add_f32, (pa, pb, po, n), np.add, ((a, b), {"out": out}), 12 * n),
        ("sub", z.tensor_sub_f32, (pa, pb, po, n), np.subtract, ((a, b), {"out": out}), 12 * n),
        ("mul", z.tensor_mul_f32, (pa, pb, po, n), np.multiply, ((a, b), {"out": out}), 12 * n),
        ("div", z.tensor_div_f32, (pa, pb, po, n), np.divide, ((a, b), {"out": out}), 12 * n),
        ("sum_f32", z.tensor_sum_f32, (pa, n), np.sum, (a,), 4 * n),
        ("sum_i32", z.tensor_sum_i32, (ints.ctypes.data, n), np.sum, (ints,), 4 * n),
        ("mean_f32", z.tensor_mean_f32, (pa, n), np.mean, (a,), 4 * n),
        ("all", z.tensor_all, (trues.ctypes.data, n), np.all, (trues,), n),
        ("any", z.tensor_any, (falses.ctypes.data, n), np.any, (falses,), n),
    ]
    return keep, rows


def clock_mhz():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1])
    except OSError:
        pass
    return None


def vector_add_latency_ns(repeats):
    """Time per dependent vector addition, from the slope of the sequential
    sum between two cache-resident sizes (the call overhead cancels out)."""
    small, large = 2_048, 8_192
    v = np.ones(large, dtype=np.float32)
    t_small = best_ns(z.tensor_sum_f32, (v.ctypes.data, small), repeats)
    t_large = best_ns(z.tensor_sum_f32, (v.ctypes.data, large), repeats)
    return (t_large - t_small) / ((large - small) / 8)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    # OpenBLAS (ours and NumPy's) starts its threads at load and lets them
    # busy-wait for a while; let them settle before timing anything.
    time.sleep(1.0)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--sizes", default=",".join(map(str, DEFAULT_SIZES)))
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    rng = np.random.default_rng(0)
    z.disable_profiling()

    print(f"{'op':<9}{'count':>11}{'ours':>12}{'numpy':>12}{'ratio':>8}{'ours GB/s':>11}{'np GB/s':>9}")
    sum_times = {}
    for n in sizes:
        keep, rows = cases(n, rng)
        for name, ours, our_args, ref, ref_args, nbytes in rows:
            t_ours = best_ns(ours, our_args, args.repeats)
            ref_kwargs = None
            if len(ref_args) == 2 and isinstance(ref_args[1], dict):  # ((args), {keywords})
                ref_args, ref_kwargs = ref_args
            t_ref = best_ns(ref, ref_args, args.repeats, kwargs=ref_kwargs)
            if name == "sum_f32":
                sum_times[n] = (t_ours, t_ref)
            print(f"{name:<9}{n:>11,}{t_ours / 1e3:>10.2f}us{t_ref / 1e3:>10.2f}us{t_ours / t_ref:>8.2f}"
                  f"{nbytes / t_ours:>11.2f}{nbytes / t_ref:>9.2f}")
        del keep

    mhz = clock_mhz()
    add_ns = vector_add_latency_ns(args.repeats)
    print()
    print("float32 sum: one dependent vector addition per 8 elements")
    if mhz:
        print(f"clock {mhz:.0f} MHz (/proc/cpuinfo); measured dependent vector add "
              f"{add_ns:.3f} ns = {add_ns * mhz / 1e3:.2f} cycles; bound {add_ns * mhz / 8e3:.3f} cycles/element")
    else:
        print(f"measured dependent vector add {add_ns:.3f} ns; bound {add_ns / 8:.4f} ns/element")
    for n, (t_ours, t_ref) in sum_times.items():
        per = (lambda t: f"{t * mhz / 1e3 / n:.3f} cyc/el") if mhz else (lambda t: f"{t / n:.4f} ns/el")
        print(f"  {n:>11,}: ours {per(t_ours)}, numpy {per(t_ref)}, bound {add_ns / 8 / (t_ours / n):.2f} of ours")


if __name__ == "__main__":
    main()
