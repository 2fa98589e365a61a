#!/usr/bin/env python3
"""The array layer (zoltra_native) against the same call of NumPy and
PyTorch, and against the raw function it runs, side by side in one process.

    PYTHONPATH=build/<name>:python python3 bench/bench_layer.py [--repeats N]

Each row is one call on the same buffers: the best time per call of the
layer, of the peer's own call (np.add, x.sum(), np.dot, np.matmul; torch.add,
t.sum(), torch.dot, torch.mm) and their ratio (the layer's target is at most
1), then for large inputs the layer against the raw function with addresses
computed beforehand (the layer's target is under 2% more). Every library is
timed after a pause, so that the idle threads of the one before have stopped
spinning. Prints the processor and the load average, which bound the figures.
"""

import argparse
import os
import platform
import time

import numpy as np

import _zoltra_rust as z
import zoltra_native as zn

try:
    import torch
except ImportError as error:
    torch = None
    print(f"PyTorch is not importable ({error}); its rows are left out")

PAUSE_S = 0.3


def best_ns(call, repeats, min_repeat_ns=200_000):
    """Best mean time per call over `repeats` timed loops of calibrated length.
    The loops are short, so that on a shared machine some of them run
    without being preempted."""
    number = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        elapsed = time.perf_counter_ns() - start
        if elapsed >= min_repeat_ns or number >= 1 << 16:
            break
        number *= 2 if elapsed == 0 else max(2, min(16, int(min_repeat_ns / elapsed) + 1))
    best = elapsed / number
    for _ in range(repeats - 1):
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def paused_ns(call, repeats):
    time.sleep(PAUSE_S)
    return best_ns(call, repeats)


def processor():
    """Model name, family and model, vector extensions and processor count."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                if not line.strip():
                    break
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    model = fields.get("model name") or platform.processor() or "unknown processor"
    flags = fields.get("flags", "").split()
    vectors = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    return (f"{model} (family {fields.get('cpu family', '?')}, model {fields.get('model', '?')}), {vectors}, "
            f"{os.cpu_count()} logical processors")


def peer_rows(n, rng):
    """(call, layer, peer) for each call the layer must match at size n."""
    a, b = (rng.standard_normal(n).astype(np.float32) for _ in "ab")
    c = np.empty(n, np.float32)
    rows = [
        (f"add(a, b)          NumPy   n={n:,}", lambda: zn.add(a, b), lambda: np.add(a, b)),
        (f"add(a, b, out=c)   NumPy   n={n:,}", lambda: zn.add(a, b, out=c), lambda: np.add(a, b, out=c)),
        (f"sum(x)             NumPy   n={n:,}", lambda: zn.sum(a), lambda: a.sum()),
        (f"dot(a, b)          NumPy   n={n:,}", lambda: zn.dot(a, b), lambda: np.dot(a, b)),
    ]
    if torch is not None:
        ta, tb, tc = torch.from_numpy(a), torch.from_numpy(b), torch.from_numpy(c)
        rows += [
            (f"add(a, b)          PyTorch n={n:,}", lambda: zn.add(ta, tb), lambda: torch.add(ta, tb)),
            (f"add(a, b, out=c)   PyTorch n={n:,}", lambda: zn.add(ta, tb, out=tc), lambda: torch.add(ta, tb, out=tc)),
            (f"sum(x)             PyTorch n={n:,}", lambda: zn.sum(ta), lambda: ta.sum()),
            (f"dot(a, b)          PyTorch n={n:,}", lambda: zn.dot(ta, tb), lambda: torch.dot(ta, tb)),
        ]
    return rows


def matmul_rows(rng):
    x = rng.standard_normal((64, 64)).astype(np.float32)
    rows = [("matmul(x, x)       NumPy   64 x 64", lambda: zn.matmul(x, x), lambda: np.matmul(x, x))]
    if torch is not None:
        t = torch.from_numpy(x)
        rows.append(("matmul(x, x)       PyTorch 64 x 64", lambda: zn.matmul(t, t), lambda: torch.mm(t, t)))
    return rows


def raw_rows(rng):
    """(call, layer, raw) for large inputs: the layer's own cost on top."""
    rows = []
    for n in (100_000, 1_000_000):
        a, b = (rng.standard_normal(n).astype(np.float32) for _ in "ab")
        c = np.empty(n, np.float32)
        pa, pb, pc = a.ctypes.data, b.ctypes.data, c.ctypes.data
        rows += [
            (f"add(a, b, out=c)   n={n:,}", lambda: zn.add(a, b, out=c), lambda: z.tensor_add_f32(pa, pb, pc, n)),
            (f"sum(x)             n={n:,}", lambda: zn.sum(a), lambda: z.tensor_sum_f32(pa, n)),
            (f"dot(a, b)          n={n:,}", lambda: zn.dot(a, b), lambda: z.tensor_dot_product_f32(pa, pb, n)),
        ]
    for size in (256, 1024):
        x = rng.standard_normal((size, size)).astype(np.float32)
        y = np.empty_like(x)
        px, py = x.ctypes.data, y.ctypes.data
        rows.append((f"matmul(x, x, out=y) {size} x {size}", lambda: zn.matmul(x, x, out=y),
                     lambda: z.tensor_matmul_2d_f32(px, px, py, size, size, size)))
    return rows


def table(title, peer, rows, repeats):
    print(f"\n{title}")
    print(f"{'call':38} {'layer us':>10} {peer + ' us':>12} {'ratio':>7}")
    for name, layer, other in rows:
        theirs = paused_ns(other, repeats)
        ours = paused_ns(layer, repeats)
        print(f"{name:38} {ours / 1e3:10.3f} {theirs / 1e3:12.3f} {ours / theirs:7.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=100)
    args = parser.parse_args()
    print(f"Processor: {processor()}; load average {os.getloadavg()[0]:.2f} at the start")
    print(f"NumPy {np.__version__}" + (f", PyTorch {torch.__version__}" if torch is not None else ""))
    rng = np.random.default_rng(1)
    rows = [row for n in (10, 1_000, 100_000) for row in peer_rows(n, rng)] + matmul_rows(rng)
    table("The layer against the peer's own call (target: ratio <= 1)", "peer", rows, args.repeats)
    table("The layer against the raw function (target: ratio < 1.02)", "raw", raw_rows(rng), args.repeats)
    print(f"\nLoad average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
