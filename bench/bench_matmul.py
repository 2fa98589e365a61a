#!/usr/bin/env python3
"""Matrix product, dot product and strided sum of _zoltra_rust against NumPy
and, for the matrix product, PyTorch (CPU).

Run with the module on the path, e.g.
    PYTHONPATH=build/<name> python3 bench/bench_matmul.py [--quick]

All sides run in this one process, alternately, with a pause between libraries
(an idle thread pool keeps spinning for a while and would slow the next one),
and each figure is the best of several repeats, so a busy machine slows all
alike. The peers are limited to the same number of threads as the module uses
for that size (one for products below 2,000,000 multiply-adds, the processor
count for the parallel row chunks), and left at their default where the module
hands the product to OpenBLAS.

OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE change which kernel NumPy's OpenBLAS
runs; the script prints the kernel it found. To see NumPy's own choice, unset
them for this command only:
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE python3 bench/bench_matmul.py

The one-core 256-bit and 512-bit FMA peaks and the clock are measured with a
small C helper built on the spot (needs a C compiler; skipped without one).
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
    import torch
except ImportError:  # pragma: no cover
    torch = None

try:
    from threadpoolctl import threadpool_info, threadpool_limits
except ImportError:  # pragma: no cover
    threadpool_info = None
    threadpool_limits = None

import _zoltra_rust as z
from processor import describe

HELPER_SOURCE = r"""
#include <immintrin.h>
/* Twelve independent FMA chains in registers: enough to fill two pipes of
   latency 4 to 6. The empty asm keeps the compiler from folding the loop. */
#define CHAINS(vec, set1, fmadd, add, low, constraint)                                   \
  vec a0 = set1(1.0f), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0;                      \
  vec a6 = a0, a7 = a0, a8 = a0, a9 = a0, a10 = a0, a11 = a0;                            \
  const vec x = set1(0.9999999f), y = set1(1e-7f);                                      \
  for (long it = 0; it < iters; ++it) {                                                  \
    a0 = fmadd(a0, x, y); a1 = fmadd(a1, x, y); a2 = fmadd(a2, x, y);                    \
    a3 = fmadd(a3, x, y); a4 = fmadd(a4, x, y); a5 = fmadd(a5, x, y);                    \
    a6 = fmadd(a6, x, y); a7 = fmadd(a7, x, y); a8 = fmadd(a8, x, y);                    \
    a9 = fmadd(a9, x, y); a10 = fmadd(a10, x, y); a11 = fmadd(a11, x, y);                \
    __asm__ volatile("" : "+" constraint(a0), "+" constraint(a1), "+" constraint(a2),    \
                     "+" constraint(a3), "+" constraint(a4), "+" constraint(a5),         \
                     "+" constraint(a6), "+" constraint(a7), "+" constraint(a8),         \
                     "+" constraint(a9), "+" constraint(a10), "+" constraint(a11));      \
  }                                                                                      \
  vec s = add(add(add(a0, a1), add(a2, a3)), add(add(a4, a5), add(a6, a7)));             \
  s = add(s, add(add(a8, a9), add(a10, a11)));                                           \
  return low(s);
float fma_chains(long iters) {
  CHAINS(__m256, _mm256_set1_ps, _mm256_fmadd_ps, _mm256_add_ps, _mm256_cvtss_f32, "x")
}
__attribute__((target("avx512f"))) float fma_chains_512(long iters) {
  CHAINS(__m512, _mm512_set1_ps, _mm512_fmadd_ps, _mm512_add_ps, _mm512_cvtss_f32, "v")
}
/* A chain of dependent integer additions: one per cycle on any x86-64. The
   addend is a register: newer cores fold additions of small immediates away
   while renaming, which would make the chain look several times faster. */
long add_chain(long iters) {
  long v = 0, one = 1;
  for (long it = 0; it < iters; ++it)
    __asm__ volatile("add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0" : "+r"(v) : "r"(one));
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
    for fn in (helper.fma_chains, helper.fma_chains_512):
        fn.argtypes = [ctypes.c_long]
        fn.restype = ctypes.c_float
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


def compare(calls, repeats, rounds=3):
    """Best time of each call, in alternating rounds. The pause lets an idle
    thread pool of one library stop spinning before the next one runs: on a
    small machine it would otherwise slow the other side."""
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for i, call in enumerate(calls):
            time.sleep(0.15)
            best[i] = min(best[i], best_time(call, max(1, repeats // rounds)))
    return best


def measure_core(helper, avx512):
    """(one-core 256-bit and 512-bit FMA peaks in GFLOP/s, clock in GHz); the
    512-bit peak is None without AVX-512F. Many short runs, best of them: on a
    shared machine a long run is rarely left alone for its whole length."""
    iters, repeats = 20_000, 2_000
    flops = iters * 12 * 2
    peak256 = flops * 8 / best_time(lambda: helper.fma_chains(iters), repeats) / 1e9
    peak512 = flops * 16 / best_time(lambda: helper.fma_chains_512(iters), repeats) / 1e9 if avx512 else None
    adds = best_time(lambda: helper.add_chain(iters), repeats)
    return peak256, peak512, iters * 4 / adds / 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repeats and no 16M dot product")
    args = parser.parse_args()
    print(describe(z), flush=True)
    repeats = 5 if args.quick else 15

    cpu = z.get_system_capabilities()["cpu"]
    cores = cpu["cores"]
    print(z.get_capabilities_summary())
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        if var in os.environ:
            print(f"{var}={os.environ[var]} is set: OpenBLAS (NumPy's and ours) runs the kernel it names")
    if threadpool_info:
        for pool in threadpool_info():
            print(f"peer pool: {pool.get('internal_api')} {pool.get('version')} "
                  f"{os.path.basename(pool.get('filepath', ''))} threads={pool.get('num_threads')} "
                  f"kernel={pool.get('architecture', '-')}")
    else:
        print("threadpoolctl not installed: NumPy's BLAS threads are not limited, its kernel is not shown")
    if torch is None:
        print("PyTorch not installed: its column is left out")
    else:
        print(f"PyTorch {torch.__version__}, {torch.get_num_threads()} threads by default")

    helper = build_helper()
    peak256 = peak512 = ghz = None
    if helper:
        peak256, peak512, ghz = measure_core(helper, cpu["has_avx512"])
        print(f"one-core 256-bit FMA peak: {peak256:.1f} GFLOP/s ({peak256 / ghz:.1f} flop/cycle at {ghz:.2f} GHz)")
        if peak512:
            print(f"one-core 512-bit FMA peak: {peak512:.1f} GFLOP/s ({peak512 / ghz:.1f} flop/cycle at {ghz:.2f} GHz)")
    else:
        print("no C compiler: FMA peaks and clock not measured")
    # The micro-kernel's ceiling: 512-bit vectors where the processor has them.
    peak = peak512 or peak256

    def limited(threads):
        if threadpool_limits is None or threads is None:
            return _Null()
        return threadpool_limits(limits=threads, user_api="blas")

    print()
    print(f"{'product m x k x n':>20} {'path':>9} {'thr':>3} {'ours us':>9} {'numpy us':>9} {'torch us':>9} "
          f"{'/ best peer':>11} {'GFLOP/s':>8} {'% peak/thr':>10}")
    shapes = [(s, s, s) for s in (32, 64, 100, 125, 126, 128, 200)] + [(255, 256, 256)] + \
             [(s, s, s) for s in (256, 512, 1024)]
    rng = np.random.default_rng(0)
    torch_default_threads = torch.get_num_threads() if torch else None
    for m, k, n in shapes:
        a = rng.uniform(-1, 1, (m, k)).astype(np.float32)
        b = rng.uniform(-1, 1, (k, n)).astype(np.float32)
        c = np.empty((m, n), np.float32)
        c_np = np.empty((m, n), np.float32)
        w = m * k * n
        if w >= 16_777_216:
            path, threads, peer_threads = "openblas", None, None
        elif w >= 2_000_000:
            path, threads, peer_threads = "parallel", min(cores, -(-m // -(-m // cores))), cores
        else:
            path, threads, peer_threads = "kernel", 1, 1
        # Addresses taken once: `.ctypes.data` costs about a microsecond per use.
        pa, pb, pc = a.ctypes.data, b.ctypes.data, c.ctypes.data
        calls = [lambda: z.tensor_matmul_2d_f32(pa, pb, pc, m, k, n), lambda: np.matmul(a, b, out=c_np)]
        if torch:
            ta, tb, tc = torch.from_numpy(a), torch.from_numpy(b), torch.empty((m, n), dtype=torch.float32)
            calls.append(lambda: torch.matmul(ta, tb, out=tc))
            torch.set_num_threads(peer_threads or torch_default_threads)
        with limited(peer_threads):
            times = compare(calls, repeats)
        t_ours, t_peer = times[0], min(times[1:])
        gflops = 2 * w / t_ours / 1e9
        frac = f"{100 * gflops / threads / peak:9.0f}%" if peak and threads else f"{'-':>10}"
        t_torch = f"{times[2] * 1e6:9.1f}" if torch else f"{'-':>9}"
        print(f"{f'{m} x {k} x {n}':>20} {path:>9} {threads or '-':>3} {t_ours * 1e6:9.1f} {times[1] * 1e6:9.1f} "
              f"{t_torch} {t_ours / t_peer:11.2f} {gflops:8.1f} {frac}")
    if torch:
        torch.set_num_threads(torch_default_threads)

    # Matrix x vector: below 2,000,000 multiply-adds the product stays on the
    # calling thread, so the peers run on one thread too; NumPy at its default
    # thread count is shown beside them.
    print()
    print(f"{'matrix x vector':>20} {'ours us':>9} {'numpy us':>9} {'torch us':>9} {'/ best peer':>11} "
          f"{'numpy, ' + str(cores) + ' thr':>13} {'/ it':>6}")
    for m, k in ((4096, 256), (256, 4096), (1000, 1000)):
        a = rng.uniform(-1, 1, (m, k)).astype(np.float32)
        x = rng.uniform(-1, 1, (k, 1)).astype(np.float32)
        y, y_np = np.empty((m, 1), np.float32), np.empty((m, 1), np.float32)
        pa, px, py = a.ctypes.data, x.ctypes.data, y.ctypes.data
        calls = [lambda: z.tensor_matmul_2d_f32(pa, px, py, m, k, 1), lambda: np.matmul(a, x, out=y_np)]
        if torch:
            ta, tx, ty = torch.from_numpy(a), torch.from_numpy(x), torch.empty((m, 1), dtype=torch.float32)
            calls.append(lambda: torch.matmul(ta, tx, out=ty))
            torch.set_num_threads(1)
        with limited(1):
            times = compare(calls, repeats)
        if torch:
            torch.set_num_threads(torch_default_threads)
        t_np_all = compare([calls[1]], repeats)[0]
        t_ours, t_peer = times[0], min(times[1:])
        t_torch = f"{times[2] * 1e6:9.1f}" if torch else f"{'-':>9}"
        print(f"{f'{m} x {k} x 1':>20} {t_ours * 1e6:9.1f} {times[1] * 1e6:9.1f} {t_torch} {t_ours / t_peer:11.2f} "
              f"{t_np_all * 1e6:13.1f} {t_ours / t_np_all:6.2f}")

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
            t_ours, t_np = compare([ours_call, numpy_call], repeats)
        cyc = f"{t_ours * ghz * 1e9 / count:11.2f}" if ghz else f"{'-':>11}"
        print(f"{count:>20,} {t_ours * 1e3:9.4f} {t_np * 1e3:9.4f} {t_ours / t_np:10.2f} {cyc}")

    print()
    big = rng.uniform(0, 1, (1024, 1024)).astype(np.float32)
    view = big.T
    shape, strides = list(view.shape), list(view.strides)
    pv = view.ctypes.data
    t_ours, t_np = compare([lambda: z.tensor_sum_f32_strided(pv, shape, strides), lambda: np.sum(view)], repeats)
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
