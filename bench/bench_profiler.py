"""Profiler overhead and report speed, side by side with NumPy.

Usage: PYTHONPATH=build/<name>:python python3 bench/bench_profiler.py [--events N]

Prints a table; there is no pass or fail. Times are the best of many short
repeats, so other work on the machine shows up as noise, not as a trend.
"""

import argparse
import time
import timeit

import numpy as np

import _zoltra_rust as z
from processor import describe
import zoltra_native as zn


def per_call_ns(statement, names, number, repeat=200):
    # A statement string, not a lambda: the lambda's own call would count.
    # Many short repeats: on a busy machine the best of them is the one that
    # ran undisturbed.
    return min(timeit.repeat(statement, globals=names, number=number, repeat=repeat)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # OpenBLAS (ours and NumPy's) starts its threads at load and lets them
    # busy-wait for a while; let them settle before timing anything.
    time.sleep(1.0)
    parser.add_argument("--events", type=int, default=1_000_000, help="events stored before the report")
    parser.add_argument("--calls", type=int, default=2_000, help="calls per timing repeat (200 repeats)")
    args = parser.parse_args()
    print(describe(z), flush=True)

    a = np.ones(1, np.float32)
    b = np.ones(1, np.float32)
    c = np.empty(1, np.float32)
    ap, bp, cp = a.ctypes.data, b.ctypes.data, c.ctypes.data
    add = z.tensor_add_f32

    # A 2 x 2 product: its event also keeps the path the dispatch took.
    m2 = np.ones((2, 2), np.float32)
    m2p, m2o = m2.ctypes.data, np.empty((2, 2), np.float32)
    m2op = m2o.ctypes.data
    matmul = z.tensor_matmul_2d_f32

    z.disable_profiling()
    z.clear_profile()
    names = {"np": np, "a": a, "b": b, "c": c, "add": add, "ap": ap, "bp": bp, "cp": cp,
             "matmul": matmul, "m2": m2, "m2p": m2p, "m2o": m2o, "m2op": m2op, "zn": zn}
    numpy_ns = per_call_ns("np.add(a, b, out=c)", names, args.calls)
    numpy_mm_ns = per_call_ns("np.matmul(m2, m2, out=m2o)", names, args.calls)
    off_ns = per_call_ns("add(ap, bp, cp, 1)", names, args.calls)
    mm_off_ns = per_call_ns("matmul(m2p, m2p, m2op, 2, 2, 2)", names, args.calls)
    layer_off_ns = per_call_ns("zn.matmul(m2, m2, out=m2o)", names, args.calls)
    z.enable_profiling()
    on_ns = per_call_ns("add(ap, bp, cp, 1)", names, args.calls)
    # Clearing keeps the store's memory: from here on appends touch no new
    # pages, as in a loop that profiles every step.
    z.clear_profile()
    warm_on_ns = per_call_ns("add(ap, bp, cp, 1)", names, args.calls)
    z.clear_profile()
    mm_on_ns = per_call_ns("matmul(m2p, m2p, m2op, 2, 2, 2)", names, args.calls)
    z.clear_profile()
    layer_on_ns = per_call_ns("zn.matmul(m2, m2, out=m2o)", names, args.calls)
    z.clear_profile()

    for _ in range(args.events):
        add(ap, bp, cp, 1)
    start = time.perf_counter()
    report = z.get_profile_report()
    report_s = time.perf_counter() - start
    z.disable_profiling()
    z.clear_profile()

    print(f"{'measurement':<44}{'value':>14}{'vs NumPy':>10}")
    print(f"{'np.add(a, b, out=c), 1 element':<44}{numpy_ns:>11.0f} ns{1.0:>10.2f}")
    print(f"{'tensor_add_f32 count=1, profiling off':<44}{off_ns:>11.0f} ns{off_ns / numpy_ns:>10.2f}")
    print(f"{'tensor_add_f32 count=1, profiling on':<44}{on_ns:>11.0f} ns{on_ns / numpy_ns:>10.2f}")
    print(f"{'profiling on minus off (limit 300 ns)':<44}{on_ns - off_ns:>11.0f} ns{'':>10}")
    print(f"{'tensor_add_f32 count=1, on, store grown':<44}{warm_on_ns:>11.0f} ns{warm_on_ns / numpy_ns:>10.2f}")
    print(f"{'profiling on minus off (limit 300 ns)':<44}{warm_on_ns - off_ns:>11.0f} ns{'':>10}")
    print(f"{'np.matmul(m2, m2, out=m2o), 2 x 2':<44}{numpy_mm_ns:>11.0f} ns{1.0:>10.2f}")
    print(f"{'tensor_matmul_2d_f32 2x2x2, profiling off':<44}{mm_off_ns:>11.0f} ns{mm_off_ns / numpy_mm_ns:>10.2f}")
    print(f"{'tensor_matmul_2d_f32 2x2x2, on, store grown':<44}{mm_on_ns:>11.0f} ns{mm_on_ns / numpy_mm_ns:>10.2f}")
    print(f"{'profiling on minus off (limit 300 ns)':<44}{mm_on_ns - mm_off_ns:>11.0f} ns{'':>10}")
    print(f"{'zoltra_native.matmul 2x2x2 out=, off':<44}{layer_off_ns:>11.0f} ns{layer_off_ns / numpy_mm_ns:>10.2f}")
    print(f"{'zoltra_native.matmul 2x2x2 out=, on, grown':<44}{layer_on_ns:>11.0f} ns{layer_on_ns / numpy_mm_ns:>10.2f}")
    print(f"{'profiling on minus off (limit 300 ns)':<44}{layer_on_ns - layer_off_ns:>11.0f} ns{'':>10}")
    print(f"{f'get_profile_report over {args.events:,} events':<44}{report_s * 1e3:>11.1f} ms{'':>10}")
    print(f"{'report length':<44}{len(report):>11} B")


if __name__ == "__main__":
    main()
