#!/usr/bin/env python3
"""What the parallel float32 sum costs, and which summation it uses, on
machines with more processors than this one.

    PYTHONPATH=build/<name> python3 bench/bench_sum_processors.py [--processors 2,4,8]

The sum cuts its buffer into one chunk per processor P. A chunk that fits the
worker's 1 MiB scratch arena (262,144 floats) is copied there and summed with
compensation; a larger one is summed in place with eight plain lanes. To see
P processors on a smaller machine, each measurement runs in a child process
whose affinity mask reads as P processors (a preloaded sched_getaffinity;
the module itself is unchanged), with one worker thread, so that the P chunks
run one after another: a chunk's time is the call's time divided by P, which
is about what the call costs where P processors run the chunks side by side.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

SHIM = r"""
#define _GNU_SOURCE
#include <sched.h>
#include <stdlib.h>
int sched_getaffinity(pid_t pid, size_t size, cpu_set_t* set) {
  (void)pid;
  int n = atoi(getenv("ZOLTRA_BENCH_PROCESSORS"));
  CPU_ZERO_S(size, set);
  for (int i = 0; i < n; ++i) CPU_SET_S(i, size, set);
  return 0;
}
"""

CHILD = r"""
import sys, time
import numpy as np
import _zoltra_rust as z
from processor import describe
P = int(sys.argv[1])
ARENA_FLOATS = 262_144
assert z.get_system_capabilities()["cpu"]["cores"] == P
for count in (1_000_000, ARENA_FLOATS * P, ARENA_FLOATS * P + 16 * P, 16_777_216):
    if count < 1_000_000:
        continue
    x = np.random.default_rng(count).uniform(0, 1, count).astype(np.float32)
    exact = float(np.sum(x, dtype=np.float64))
    best = min((lambda s: (z.tensor_sum_f32(x.ctypes.data, count), time.perf_counter() - s)[1])(time.perf_counter())
               for _ in range(15))
    got = z.tensor_sum_f32(x.ctypes.data, count)
    chunk = -(-count // P)
    path = "compensated copy" if chunk <= ARENA_FLOATS else "8 lanes in place"
    print(f"{P:>3}{count:>12,}{chunk:>10,}  {path:<17}{best * 1e3 / P:>9.3f} ms{abs(got - exact) / exact:>12.1e}")
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--processors", default="2,4,8")
    args = parser.parse_args()
    print(describe(z), flush=True)
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        print("no C compiler found to build the affinity shim; nothing measured")
        return
    with tempfile.TemporaryDirectory() as tmp:
        shim = pathlib.Path(tmp) / "affinity.so"
        source = pathlib.Path(tmp) / "affinity.c"
        source.write_text(SHIM)
        subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(shim), str(source)], check=True)
        print(f"{'P':>3}{'count':>12}{'chunk':>10}  {'summation':<17}{'per chunk':>12}{'rel. error':>12}")
        for p in args.processors.split(","):
            env = dict(os.environ, LD_PRELOAD=str(shim), ZOLTRA_BENCH_PROCESSORS=p, RAYON_NUM_THREADS="1")
            subprocess.run([sys.executable, "-c", CHILD, p], env=env, check=True)


if __name__ == "__main__":
    main()
