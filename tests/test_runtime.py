"""Worker pool size and scratch arena sizes, seen from Python."""

import resource
import subprocess
import sys

import pytest

from conftest import AARCH64_EMULATOR, EMULATED_CPU, SANITIZED, child_output

# Counts the threads the first parallel sum starts, then checks the sum.
POOL_SIZE_PROBE = """
import os, numpy as np, _zoltra_rust as z
v = np.ones(2_000_000, dtype=np.float32)
before = len(os.listdir("/proc/self/task"))
s = z.tensor_sum_f32(v.ctypes.data, len(v))
m = z.tensor_mean_f32(v.ctypes.data, len(v))
print(len(os.listdir("/proc/self/task")) - before, s, m)
"""


def pool_size(num_threads, rs_num_cpus):
    out = child_output(
        POOL_SIZE_PROBE,
        env={"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus},
    )
    started, s, m = out.split()
    assert (float(s), float(m)) == (2e6, 1.0)
    return int(started)


@pytest.mark.parametrize(
    "num_threads,rs_num_cpus,expected",
    [
        ("3", "5", 3),
        ("+3", None, 3),
        ("three", "5", 5),
        (None, "+5", 5),
        ("0", "5", "P-1"),  # 0 is the default, not a question for the next variable
        (" 3", "x", "P-1"),
        (None, None, "P-1"),  # the calling thread is the last worker
        ("100000", None, "bound"),
        (None, "100000", "bound"),
    ],
)
def test_pool_size_from_environment(z, num_threads, rs_num_cpus, expected):
    cores = z.get_system_capabilities()["cpu"]["cores"]
    expected = {"P-1": cores - 1, "bound": max(cores, 16)}.get(expected, expected)
    assert pool_size(num_threads, rs_num_cpus) == expected


@pytest.mark.parametrize("size", ["9223372036854775808", "18446744073709551615"])
def test_unobtainable_arena_size_still_computes(size):
    out = child_output(
        """
        import numpy as np, _zoltra_rust as z
        v = np.arange(2_000_000, dtype=np.float32) % 7
        print(z.tensor_sum_f32(v.ctypes.data, len(v)), float(v.sum(dtype=np.float64)))
        d = np.ones(100, dtype=np.float32)
        print(z.tensor_dot_product_f32(d.ctypes.data, d.ctypes.data, 100))
        """,
        env={"ZOLTRA_ARENA_SIZE": size},
    )
    (s, exact), (dot,) = (line.split() for line in out.splitlines())
    assert abs(float(s) - float(exact)) <= 1e-6 * float(exact)
    assert float(dot) == 100.0


# A 2,000,000-element sum and a 126^3 product (both parallel; the product's
# chunks stay in our kernel wherever the processor has FMA, under 2^21
# multiply-adds each), first under an address-space limit that leaves no room
# for a thread's 64 MiB stack, then with the limit lifted. Prints the results'
# bits and the threads started. Without the 8-lane kernel the chunks would go
# to OpenBLAS, which cannot load under the limit: there only the sum runs.
LIMITED_PROBE = """
import hashlib, os, resource, sys, numpy as np, _zoltra_rust as z
rng = np.random.default_rng(11)
v = rng.standard_normal(2_000_000).astype(np.float32)
a, b = (rng.standard_normal((126, 126)).astype(np.float32) for _ in "ab")
c = np.empty((126, 126), np.float32)
threads = lambda: len(os.listdir("/proc/self/task"))
def run():
    s = np.float32(z.tensor_sum_f32(v.ctypes.data, len(v)))
    if sys.argv[2] == "product":
        z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, 126, 126, 126)
    return s.tobytes().hex() + hashlib.sha256(c.tobytes()).hexdigest()[:16]
before = threads()
limits = resource.getrlimit(resource.RLIMIT_AS)
if sys.argv[1] == "limited":
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), limits[1]))
first = run()
started = threads() - before
resource.setrlimit(resource.RLIMIT_AS, limits)
print(first, started, run(), threads() - before)
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves its shadow memory up front, so an address-space limit cannot be set")
@pytest.mark.skipif(EMULATED_CPU is not None or AARCH64_EMULATOR is not None, reason="qemu-user does not apply a stack limit the emulated process sets, so the child would get 8 MiB thread stacks; the main stage runs this")
def test_calling_thread_does_the_work_when_no_thread_can_start(z):
    def probe(mode):
        # The thread stack size is fixed at start-up from RLIMIT_STACK.
        stack = (64 << 20, resource.getrlimit(resource.RLIMIT_STACK)[1])
        done = subprocess.run([sys.executable, "-c", LIMITED_PROBE, mode, work], capture_output=True, text=True, timeout=120,
                              preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_STACK, stack))
        assert done.returncode == 0 and done.stderr == "", done.stderr
        return done.stdout.split()

    cpu = z.get_system_capabilities()["cpu"]
    work = "product" if cpu["has_avx2"] and cpu["has_fma"] else "sum"
    workers = cpu["cores"] - 1
    normal, limited = probe("normal"), probe("limited")
    assert normal == [normal[0], str(workers), normal[0], str(workers)]
    # No thread started under the limit, the same bits, and the pool once lifted.
    assert limited == [normal[0], "0", normal[0], str(workers)]
