#!/usr/bin/env python3
"""Matrix product, dot product and strided sum of _zoltra_rust against NumPy.

Run with the module on the path, e.g.
    PYTHONPATH=build/<name> python3 bench/bench_matmul.py [--quick]

Both sides run in this one process, alternately, and each figure is the best of
several repeats, so a busy machine slows both alike. NumPy's BLAS is limited to
the same number of threads as the module uses for that size (one for products
below 2,000,000 multiply-adds, the processor count for the parallel row chunks),
and left at its default where the module hands the product to OpenBLAS.

The one-core 256-bit FMA peak and the clock are measured with a small C helper
built on the spot (needs a C compiler; skipped without one).
"""

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

try:
    from threadpoolctl import threadpool_info, threadpool_limits
except ImportError:  # pragma: no cover
    threadpool_info = None
    threadpool_limits = None

import _zoltra_rust as z

HELPER_SOURCE = r"""
#include <immintrin.h>
/* Twelve independent FMA chains in registers: enough to fill two pipes of
   latency 4 to 6. The empty asm keeps the compiler from folding the loop. */
float fma_chains(long iters) {
  __m256 a0 = _mm256_set1_ps(1.0f), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;
  __m256 a6 = a0, a7 = a0, a8 = a0, a9 = a0, a10 = a0, a11 = a0;
  const __m256 x = _mm256_set1_ps(0.9999999f), y = _mm256_set1_ps(1e-7f);
  for (long it = 0; it < iters; ++it) {
#define STEP(v) v = _mm256_fmadd_ps(v, x, y);
    STEP(a0) STEP(a1) STEP(a2) STEP(a3) STEP(a4) STEP(a5)
    STEP(a6) STEP(a7) STEP(a8) STEP(a9) STEP(a10) STEP(a11)
    __asm__ volatile("" : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3), "+x"(a4), "+x"(a5),
                     "+x"(a6), "+x"(a7), "+x"(a8), "+x"(a9), "+x"(a10), "+x"(a11));
  }
  __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                           _mm256_add_ps(_mm256_add_ps(a4, a5), _mm256_add_ps(a6, a7)));
  s = _mm256_add_ps(s, _mm256_add_ps(_mm256_add_ps(a8, a9), _mm256_add_ps(a10, a11)));
  return _mm256_cvtss_f32(s);
}
/* A chain of dependent integer additions: one per cycle on any x86-64. */
long add_chain(long iters) {
  long v = 0;
  for (long it = 0; it < iters; ++it)
    __asm__ volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(v));
  return v;
}
"""


def build_helper():
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not cc:
        return None
    tmp = tempfile.mkdtemp(prefix="zoltra_bench_")
    src, lib = os.path.join(tmp, "peak.c"), os.path.join(tmp, "peak.so")
    with open(src, "w") as f:
        f.write(HELPER_SOURCE)
    done = subprocess.run([cc, "-O3", "-mavx2", "-mfma", "-shared", "-fPIC", src, "-o", lib], capture_output=True)
    if done.returncode != 0:
        return None
    helper = ctypes.CDLL(lib)
    helper.fma_chains.argtypes = [ctypes.c_long]
    helper.fma_chains.restype = ctypes.c_float
    helper.add_chain.argtypes = [ctypes.c_long]
    helper.add_chain.restype = ctypes.c_long
    return helper


def best_time(fn, repeats, min_seconds=0.0):
    """Best wall time of one call of fn over `repeats` timed batches."""
    fn()
    calls, start = 1, time.perf_counter()
    fn()
    once = time.perf_counter() - start
    if once < 2e-3:  # batch tiny calls so the clock resolution does not matter
        calls = max(1, int(2e-3 / max(once, 1e-7)))
    best = float("inf")
    deadline = time.perf_counter() + min_seconds
    for r in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
        if r >= 2 and time.perf_counter() > deadline and min_seconds:
            break
    return best


def compare(ours, numpy_call, repeats, rounds=3):
    """Best times of both sides, in alternating blocks. The pause lets an idle
    OpenBLAS thread pool stop spinning before the other side runs: on a small
    machine a spinning pool of one library would otherwise slow the other."""
    t_ours = t_np = float("inf")
    for _ in range(rounds):
        time.sleep(0.15)
        t_ours = min(t_ours, best_time(ours, max(1, repeats // rounds)))
        time.sleep(0.15)
        t_np = min(t_np, best_time(numpy_call, max(1, repeats // rounds)))
    return t_ours, t_np


def measure_core(helper, repeats):
    """(one-core FMA peak in GFLOP/s, clock in GHz), best of `repeats`."""
    iters = 2_000_000
    fma = best_time(lambda: helper.fma_chains(iters), repeats)
    adds = best_time(lambda: helper.add_chain(iters), repeats)
    peak = iters * 12 * 16 / fma / 1e9
    ghz = iters * 4 / adds / 1e9
    return peak, ghz


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats and no 16M dot product")
    args = parser.parse_args()
    repeats = 5 if args.quick else 15

    cpu = z.get_system_capabilities()["cpu"]
    cores = cpu["cores"]
    print(z.get_capabilities_summary())
    if threadpool_info:
        for pool in threadpool_info():
            print(f"NumPy-side pool: {pool.get('internal_api')} {pool.get('version')} "
                  f"{os.path.basename(pool.get('filepath', ''))} threads={pool.get('num_threads')} "
                  f"arch={pool.get('architecture')}")
    else:
        print("threadpoolctl not installed: NumPy's BLAS threads are not limited")

    helper = build_helper()
    peak = ghz = None
    if helper:
        peak, ghz = measure_core(helper, repeats)
        print(f"one-core 256-bit FMA peak: {peak:.1f} GFLOP/s ({peak / ghz:.1f} flop/cycle at {ghz:.2f} GHz)")
    else:
        print("no C compiler: FMA peak and clock not measured")

    def limited(threads):
        if threadpool_limits is None or threads is None:
            return _Null()
        return threadpool_limits(limits=threads, user_api="blas")

    print()
    print(f"{'product m x k x n':>20} {'path':>9} {'thr':>3} {'ours ms':>9} {'numpy ms':>9} "
          f"{'time ratio':>10} {'GFLOP/s':>8} {'% peak/thr':>10}")
    shapes = [(s, s, s) for s in (32, 64, 100, 125, 126, 200)] + [(255, 256, 256)] + \
             [(s, s, s) for s in (256, 512, 1024)]
    rng = np.random.default_rng(0)
    for m, k, n in shapes:
        a = rng.uniform(-1, 1, (m, k)).astype(np.float32)
        b = rng.uniform(-1, 1, (k, n)).astype(np.float32)
        c = np.empty((m, n), np.float32)
        c_np = np.empty((m, n), np.float32)
        w = m * k * n
        if w >= 16_777_216:
            path, threads, numpy_threads = "openblas", None, None
        elif w >= 2_000_000:
            path, threads, numpy_threads = "parallel", min(cores, -(-m // -(-m // cores))), cores
        else:
            path, threads, numpy_threads = "kernel", 1, 1
        # Addresses taken once: `.ctypes.data` costs about a microsecond per use.
        pa, pb, pc = a.ctypes.data, b.ctypes.data, c.ctypes.data
        ours_call = lambda: z.tensor_matmul_2d_f32(pa, pb, pc, m, k, n)
        numpy_call = lambda: np.matmul(a, b, out=c_np)
        with limited(numpy_threads):
            t_ours, t_np = compare(ours_call, numpy_call, repeats)
        gflops = 2 * w / t_ours / 1e9
        frac = f"{100 * gflops / threads / peak:9.0f}%" if peak and threads else f"{'-':>10}"
        print(f"{f'{m} x {k} x {n}':>20} {path:>9} {threads or '-':>3} {t_ours * 1e3:9.4f} {t_np * 1e3:9.4f} "
              f"{t_ours / t_np:10.2f} {gflops:8.1f} {frac}")

    print()
    print(f"{'dot product count':>20} {'ours ms':>9} {'numpy ms':>9} {'time ratio':>10} {'cycles/elem':>11}")
    counts = [1_000, 65_536] + ([] if args.quick else [16_777_216])
    for count in counts:
        x = rng.uniform(-1, 1, count).astype(np.float32)
        y = rng.uniform(-1, 1, count).astype(np.float32)
        px, py = x.ctypes.data, y.ctypes.data
        ours_call = lambda: z.tensor_dot_product_f32(px, py, count)
        numpy_call = lambda: np.dot(x, y)
        with limited(1):
            t_ours, t_np = compare(ours_call, numpy_call, repeats)
        cyc = f"{t_ours * ghz * 1e9 / count:11.2f}" if ghz else f"{'-':>11}"
        print(f"{count:>20,} {t_ours * 1e3:9.4f} {t_np * 1e3:9.4f} {t_ours / t_np:10.2f} {cyc}")

    print()
    big = rng.uniform(0, 1, (1024, 1024)).astype(np.float32)
    view = big.T
    shape, strides = list(view.shape), list(view.strides)
    pv = view.ctypes.data
    t_ours, t_np = compare(lambda: z.tensor_sum_f32_strided(pv, shape, strides),
                           lambda: np.sum(view), repeats)
    cyc = f"{t_ours * ghz * 1e9 / view.size:.2f} cycles/elem" if ghz else ""
    print(f"strided sum of a transposed 1024 x 1024 view: ours {t_ours * 1e3:.3f} ms, numpy {t_np * 1e3:.3f} ms, "
          f"time ratio {t_ours / t_np:.2f}, {cyc}")
    print("(the dot product and the strided sum follow a fixed order of dependent additions: "
          "their bound is the add or FMA latency per 8 or 1 elements)")


class _Null:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


if __name__ == "__main__":
    sys.exit(main())
