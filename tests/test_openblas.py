"""OpenBLAS: loaded by the first product that needs it, never at import, and
run so that its thread count never changes a result."""

import pytest

from conftest import AARCH64_EMULATOR, SANITIZED, child_output

# Imports NumPy first (its own OpenBLAS starts its threads then), then the
# module; prints the threads and OpenBLAS mappings the import added, and those
# a small product (our kernel or row chunks) and then a 256^3 product added.
FIRST_USE_PROBE = """
import os, numpy as np
threads = lambda: len(os.listdir("/proc/self/task"))
def openblas_maps():
    with open("/proc/self/maps") as maps:
        return {line.split()[-1] for line in maps if "openblas" in line.split()[-1]}
before_threads, before_maps = threads(), openblas_maps()
import _zoltra_rust as z
report = [threads() - before_threads, len(openblas_maps() - before_maps)]
for size in (64, 256):
    a = np.ones((size, size), np.float32)
    c = np.empty_like(a)
    z.tensor_matmul_2d_f32(a.ctypes.data, a.ctypes.data, c.ctypes.data, size, size, size)
    assert (c == size).all()
    report.append(len(openblas_maps() - before_maps))
print(*report)
"""


def test_openblas_is_loaded_by_the_first_product_that_needs_it(z):
    started, at_import, after_small, after_large = map(int, child_output(FIRST_USE_PROBE).split())
    assert (started, at_import, after_large) == (0, 0, 1)
    # Without the 8-lane kernel every product goes to OpenBLAS.
    cpu = z.get_system_capabilities()["cpu"]
    assert after_small == (0 if cpu["has_avx2"] and cpu["has_fma"] else 1)


# Like `prlimit --nproc=1`: no thread can be created. Root is exempt from the
# limit, so a child started as root becomes an ordinary user for it, but keeps
# root's file access (setfsuid), since the module may lie in a folder only
# root can read.
NO_THREAD_PROBE = """
import array, ctypes, os, resource
if os.getuid() == 0:
    os.setresuid(65534, 65534, 0)
    ctypes.CDLL(None).setfsuid(0)
resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
import _zoltra_rust as z
v = array.array("f", [1.0] * 2_000_000)
print(z.sum_as_string(1, 2), z.tensor_sum_f32(v.buffer_info()[0], len(v)))
"""


def test_imports_and_computes_where_no_thread_can_start():
    # The sum's chunks run on the calling thread when the pool cannot start.
    assert child_output(NO_THREAD_PROBE).split() == ["3", "2000000.0"]


# The products that reach OpenBLAS (256^3 and 700^3 whole, 200^3 in row chunks
# on processors whose kernel chunk bound is 2^21), their bits as one hash;
# with the argument "threadpoolctl" our copy is loaded first and the products
# run under a threadpoolctl limit of 2 threads.
THREAD_COUNT_PROBE = """
import hashlib, sys, numpy as np, _zoltra_rust as z
def product(m, k, n, rng):
    a = rng.standard_normal((m, k)).astype(np.float32)
    b = rng.standard_normal((k, n)).astype(np.float32)
    c = np.empty((m, n), np.float32)
    z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, m, k, n)
    return c.tobytes()
def products():
    rng = np.random.default_rng(3)
    shapes = ((200, 200, 200), (256, 256, 256), (700, 700, 700), (64, 1000, 1100))
    return hashlib.sha256(b"".join(product(*shape, rng) for shape in shapes)).hexdigest()
if sys.argv[-1] == "threadpoolctl":
    import threadpoolctl
    product(256, 256, 256, np.random.default_rng(0))
    with threadpoolctl.threadpool_limits(2, user_api="blas"):
        print(products())
else:
    print(products())
"""


def test_openblas_thread_count_does_not_change_the_bits():
    runs = {threads: child_output(THREAD_COUNT_PROBE, env={"OPENBLAS_NUM_THREADS": threads})
            for threads in ("1", "2", None)}
    runs["threadpoolctl"] = child_output(THREAD_COUNT_PROBE.replace("sys.argv[-1]", "'threadpoolctl'"),
                                         env={"OPENBLAS_NUM_THREADS": "1"})
    assert len(set(runs.values())) == 1, runs


# Under an address-space limit that leaves no room for the library: the call
# raises and writes nothing; once lifted, the next call loads it.
LOAD_FAILURE_PROBE = """
import resource, numpy as np, _zoltra_rust as z
a = np.ones((256, 256), np.float32)
c = np.full((256, 256), np.nan, np.float32)
limits = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), limits[1]))
try:
    z.tensor_matmul_2d_f32(a.ctypes.data, a.ctypes.data, c.ctypes.data, 256, 256, 256)
except RuntimeError as error:
    print(str(error).startswith("OpenBLAS could not be loaded: "), np.isnan(c).all(), z.explain_last_dispatch())
resource.setrlimit(resource.RLIMIT_AS, limits)
z.tensor_matmul_2d_f32(a.ctypes.data, a.ctypes.data, c.ctypes.data, 256, 256, 256)
print((c == 256).all())
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves its shadow memory up front, so an address-space limit cannot be set")
@pytest.mark.skipif(AARCH64_EMULATOR is not None, reason="qemu-user does not apply an address-space limit the emulated process sets; the x86-64 stages run this")
def test_openblas_that_cannot_load_fails_the_call_with_nothing_written():
    assert child_output(LOAD_FAILURE_PROBE).split() == ["True", "True", "Default", "CPU", "backend", "True"]
