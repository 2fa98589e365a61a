"""tensor_{sum,mean,max,min}_f32_strided over views given by shape and byte strides."""

import json
import math
import struct

import numpy as np
import pytest

from fma_reference import sequential_sum

NAMES = ["tensor_sum_f32_strided", "tensor_mean_f32_strided", "tensor_max_f32_strided", "tensor_min_f32_strided"]


def bits(x):
    return struct.unpack("<I", struct.pack("<f", x))[0]


def view_args(v):
    return v.ctypes.data, list(v.shape), list(v.strides)


def reduce_all(z, v):
    args = view_args(v)
    return (z.tensor_sum_f32_strided(*args), z.tensor_mean_f32_strided(*args),
            z.tensor_max_f32_strided(*args), z.tensor_min_f32_strided(*args))


def test_worked_examples(z):
    data = np.arange(1, 7, dtype=np.float32)
    p = data.ctypes.data
    assert z.tensor_sum_f32_strided(p, [2, 3], [12, 4]) == 21.0
    assert z.tensor_max_f32_strided(p, [2, 3], [12, 4]) == 6.0
    assert z.tensor_min_f32_strided(p, [2, 3], [12, 4]) == 1.0
    assert z.tensor_mean_f32_strided(p, [2, 3], [12, 4]) == 3.5
    assert z.tensor_sum_f32_strided(p, [3, 2], [4, 12]) == 21.0
    assert z.tensor_sum_f32_strided(p, [2, 2], [8]) == 1 + 1 + 3 + 3  # one stride for two dimensions
    assert z.tensor_sum_f32_strided(data[1:].ctypes.data, [2, 3], []) == 12.0  # no strides: data[0] each time
    assert z.tensor_sum_f32_strided(p, [3], [4, 99999, -8]) == 6.0  # extra strides ignored
    # Byte offsets that are not multiples of 4: index = offset / 4 toward zero.
    assert z.tensor_sum_f32_strided(p, [4], [2]) == 1 + 1 + 2 + 2
    assert z.tensor_sum_f32_strided(data[2:].ctypes.data, [4], [-2]) == 3 + 3 + 2 + 2


@pytest.mark.parametrize("make", [
    lambda a: a.reshape(6, 8).T,                      # transpose
    lambda a: a.reshape(6, 8)[::2, 1::3],             # slices
    lambda a: a[::-1],                                # negative stride
    lambda a: a.reshape(4, 3, 4)[:, ::-1, ::2].transpose(2, 0, 1),
    lambda a: np.broadcast_to(a[:5], (3, 5)),          # stride 0
    lambda a: np.broadcast_to(a[:4].reshape(4, 1), (4, 6)),
], ids=["transpose", "slices", "reversed", "mixed", "broadcast-rows", "broadcast-cols"])
def test_numpy_views(z, make):
    base = np.random.default_rng(0).uniform(-100, 100, 48).astype(np.float32)
    v = make(base)
    s, mean, hi, lo = reduce_all(z, v)
    assert s == sequential_sum(v.ravel(order="C"))  # row-major order of the view
    assert mean == np.float32(sequential_sum(v.ravel(order="C")) / np.float32(v.size))
    assert hi == v.max() and lo == v.min()


def test_plain_float_accumulation_in_visiting_order(z):
    one = np.ones(1, np.float32)
    assert z.tensor_sum_f32_strided(one.ctypes.data, [2**24 + 1], [0]) == 2.0**24
    big_first = np.array([2.0**24, 1, 1, 1], np.float32)
    assert z.tensor_sum_f32_strided(big_first.ctypes.data, [4], [4]) == 2.0**24
    assert z.tensor_sum_f32_strided(big_first[3:].ctypes.data, [4], [-4]) == 2.0**24 + 4


def test_max_min_comparison_rules(z):
    def run(name, values):
        a = np.array(values, np.float32)
        return getattr(z, name)(a.ctypes.data, [len(a)], [4])

    assert math.isnan(run("tensor_max_f32_strided", [np.nan, 1, 2]))
    assert run("tensor_max_f32_strided", [1, np.nan, 2]) == 2.0
    assert run("tensor_min_f32_strided", [3, np.nan, 1]) == 1.0
    assert bits(run("tensor_max_f32_strided", [-0.0, 0.0])) == bits(-0.0)
    assert bits(run("tensor_max_f32_strided", [0.0, -0.0])) == bits(0.0)
    assert bits(run("tensor_min_f32_strided", [0.0, -0.0])) == bits(0.0)
    assert run("tensor_max_f32_strided", [-np.inf, -np.inf]) == -np.inf
    assert bits(run("tensor_sum_f32_strided", [-0.0])) == bits(0.0)  # +0.0 + -0.0


def test_zero_extent_reads_nothing(z, profiling):
    p = 8  # never dereferenced
    assert bits(z.tensor_sum_f32_strided(p, [5, 0], [4, 4])) == 0
    assert z.tensor_max_f32_strided(p, [5, 0], [4, 4]) == -math.inf
    assert z.tensor_min_f32_strided(p, [0, 5], [4, 4]) == math.inf
    assert z.tensor_mean_f32_strided(p, [5, 0], [4, 4]) == 0.0
    ops = json.loads(z.get_profile_report())["operations"]
    assert {name: ops[name]["count"] for name in ops} == {
        "sum_strided": 1, "max_strided": 1, "min_strided": 1, "mean_strided": 1}


def test_empty_shape(z, profiling):
    a = np.ones(2, np.float32)
    assert z.tensor_sum_f32_strided(a.ctypes.data, [], []) == 0.0
    for name, word in [("tensor_mean_f32_strided", "mean"), ("tensor_max_f32_strided", "max"),
                       ("tensor_min_f32_strided", "min")]:
        with pytest.raises(ValueError, match=f"^Cannot compute {word} of empty tensor$"):
            getattr(z, name)(a.ctypes.data, [], [4])
    assert json.loads(z.get_profile_report())["operations"] == {}


@pytest.mark.parametrize("name", NAMES)
def test_null_pointer_comes_first(z, name, profiling):
    for shape in ([], [3]):
        with pytest.raises(ValueError, match=f"^Null pointer passed to {name}$"):
            getattr(z, name)(0, shape, [4])
    assert json.loads(z.get_profile_report())["operations"] == {}


def test_profiling_labels(z, profiling):
    a = np.arange(1, 7, dtype=np.float32)
    for _ in range(2):
        reduce_all(z, a.reshape(2, 3))
    ops = json.loads(z.get_profile_report())["operations"]
    assert {name: ops[name]["count"] for name in ops} == {
        "sum_strided": 2, "mean_strided": 2, "max_strided": 2, "min_strided": 2}
    assert all(ops[name]["primary_backend"] == "CPU" for name in ops)


def test_large_transposed_view(z):
    a = np.random.default_rng(4).uniform(0, 1, (512, 256)).astype(np.float32)
    v = a.T
    assert z.tensor_sum_f32_strided(*view_args(v)) == np.cumsum(v.ravel(order="C"), dtype=np.float32)[-1]
    assert z.tensor_max_f32_strided(*view_args(v)) == v.max()


class GuardedPages:
    """Readable pages between two unreadable ones (mmap, mprotect PROT_NONE)."""

    def __init__(self, size):
        import ctypes
        import mmap
        self._libc = ctypes.CDLL(None, use_errno=True)
        self._libc.mmap.restype = ctypes.c_void_p
        self._libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                    ctypes.c_long]
        self._libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
        self._libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
        page = mmap.PAGESIZE
        self.inner = -(-size // page) * page
        self.total = self.inner + 2 * page
        base = self._libc.mmap(None, self.total, mmap.PROT_READ | mmap.PROT_WRITE,
                               mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        assert base not in (None, ctypes.c_void_p(-1).value)
        self.base = base
        self.start = base + page  # first readable byte
        self.end = self.start + self.inner  # first unreadable byte after
        prot_none = 0
        assert self._libc.mprotect(base, page, prot_none) == 0
        assert self._libc.mprotect(self.end, page, prot_none) == 0

    def matrix(self, address, shape):
        import ctypes
        count = shape[0] * shape[1]
        assert self.start <= address and address + 4 * count <= self.end
        return np.ctypeslib.as_array((ctypes.c_float * count).from_address(address)).reshape(shape)

    def close(self):
        self._libc.munmap(self.base, self.total)


# Rows of the transposed views 1, 2 or 3 floats apart: 32 or 50 of them fill
# bands of 16 exactly or not; 129 and more make the first band shorter.
@pytest.mark.parametrize("shape", [(40, 100), (33, 64), (67, 131), (17, 257)], ids=str)
def test_views_read_nothing_outside_them(z, shape):
    # Matrices that start right after and end right before an unreadable page;
    # every view with row and column steps +-1, +-2, +-3, and its transpose
    # (read in bands of rows 1, 2 or 3 floats apart), from the first or second
    # row and column. A read outside the view that reaches a guard page ends
    # the process.
    nbytes = 4 * shape[0] * shape[1]
    pages = GuardedPages(nbytes)
    try:
        for address in (pages.start, pages.end - nbytes):
            a = pages.matrix(address, shape)
            a[...] = np.random.default_rng(7).uniform(-10, 10, shape).astype(np.float32)
            steps = [(step, first if step > 0 else -1 - first) for step in (1, -1, 2, -2, 3, -3) for first in (0, 1)]
            for rows, row0 in steps:
                for cols, col0 in steps:
                    view = a[row0::rows, col0::cols]
                    for v in (view, view.T):
                        s, mean, hi, lo = reduce_all(z, v)
                        assert s == np.cumsum(v.ravel(order="C"), dtype=np.float32)[-1]
                        assert hi == v.max() and lo == v.min()
    finally:
        pages.close()
