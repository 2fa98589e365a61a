"""Worker pool size and scratch arena sizes, seen from Python."""

import pytest

from conftest import child_output

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
