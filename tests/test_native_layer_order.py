"""The layer's float32 sum, mean, dot and matrix x vector against the NumPy
reference of their order (layer_order.py), bit for bit: lengths around the
lane row and the block, every layout, views and stacks; max and min see every
NaN; the same bits with any processor count."""

import hashlib
import os
import shutil
import subprocess

import numpy as np
import pytest

import zoltra_native as zn

from conftest import AARCH64_EMULATOR, EMULATED_CPU, child_output
from layer_order import bits, layer_axis_sum, layer_dot, layer_matvec, layer_mean, layer_sum

RNG = np.random.default_rng(24)


def spread(*shape):
    """Magnitudes over ten decades, so that any other order of additions shows."""
    x = RNG.standard_normal(shape) * 10.0 ** RNG.integers(-4, 6, shape)
    return x.astype(np.float32)


def same(got, want):
    np.testing.assert_array_equal(bits(got), bits(want))


# 262,147 values: 64 blocks and a bit, enough for the pool.
@pytest.mark.parametrize("n", [1, 63, 64, 65, 4095, 4096, 4097, 3 * 4096 + 64, 64 * 4096 + 3])
def test_lengths(n):
    x, y = spread(n), spread(n)
    same(zn.sum(x), layer_sum(x))
    same(zn.mean(x), layer_mean(x))
    same(zn.dot(x, y), layer_dot(x, y))


def record_field(shape):
    packed = np.zeros(shape, dtype=[("flag", "u1"), ("value", "<f4")])
    packed["value"] = spread(*shape)
    return packed["value"]  # byte strides of 5


LAYOUTS = {
    "C": lambda: spread(37, 300),
    "F": lambda: np.asfortranarray(spread(300, 37)),
    "transposed": lambda: spread(200, 90).T,
    # 16 of its rows to a block, the last band short, the first element 4 bytes into a line
    "transposed, 256 columns": lambda: spread(260, 76)[3:259, 1:].T,
    "transposed, 4096 columns": lambda: spread(4096, 9).T,
    # whole blocks of 2, 4 and 8 rows, 8 side by side, more than 128 of them, a last block short
    "transposed, 2048 columns": lambda: spread(2048, 35).T,
    "transposed, 1024 columns, reversed": lambda: spread(1024, 547)[::-1].T,
    "transposed, 512 columns": lambda: spread(512, 70).T,
    # the edges of that path: columns that do not divide a block, more than a
    # block, and rows 4 bytes apart downwards
    "transposed, 1536 columns": lambda: spread(1536, 11).T,
    "transposed, 8192 columns": lambda: spread(8192, 2).T,
    "transposed, 1024 columns, rows downwards": lambda: spread(1024, 20)[:, ::-1].T,
    # axis 0: two blocks of 9 outputs; a tile of outputs and 104 more
    "tall": lambda: spread(4100, 9),
    "wide": lambda: spread(70, 4200),
    "reversed": lambda: spread(50, 129)[::-1, ::-1],
    "every second column": lambda: spread(64, 260)[:, ::2],
    "broadcast": lambda: np.broadcast_to(spread(1, 4100), (3, 4100)),
    "record field": lambda: record_field((70, 65)),
    "permuted 3-d": lambda: spread(9, 30, 33).transpose(2, 0, 1)[:, ::-1],
    "0-d": lambda: spread(3, 4)[1, 2, ...],
}


@pytest.mark.parametrize("name", LAYOUTS)
def test_layouts(name):
    x = LAYOUTS[name]()
    copy = np.ascontiguousarray(x)
    same(zn.sum(x), layer_sum(copy))
    same(zn.mean(x), layer_mean(copy))
    same(zn.max(x), copy.max())
    same(zn.min(x), copy.min())
    for axis in range(x.ndim):
        same(zn.sum(x, axis=axis), layer_axis_sum(copy, axis))
        same(zn.mean(x, axis=axis), layer_axis_sum(copy, axis) / np.float32(x.shape[axis]))
    if x.ndim == 3:
        same(zn.sum(x, axis=(2, 0)), layer_axis_sum(copy, (0, 2)))


def test_transposed_matrices_from_every_start_in_a_line():
    # Rows 192 bytes apart: blocks that start a whole number of blocks past a
    # 32-byte boundary are read from it, with the first and last groups masked.
    for columns in (1024, 2048, 4096):
        base = spread(columns, 48)
        for k in range(8):
            x = base[:, k : k + 37].T
            same(zn.sum(x), layer_sum(np.ascontiguousarray(x)))


def test_tensors():
    torch = pytest.importorskip("torch", reason="PyTorch is not installed in this environment")
    x = spread(300, 70)
    same(zn.sum(torch.from_numpy(x).T), layer_sum(x.T))
    same(zn.sum(torch.from_numpy(x), axis=0).numpy(), layer_axis_sum(x, 0))
    same(zn.matmul(torch.from_numpy(x).T, torch.from_numpy(x[:, 5])).numpy(), layer_matvec(x.T, x[:, 5]))


def test_dot_of_strided_views():
    a, b = spread(30001), spread(60002)
    same(zn.dot(a[::3], b[::-6]), layer_dot(a[::3], b[::-6]))
    field = record_field((10001,))
    same(zn.dot(field, a[:10001]), layer_dot(field, a[:10001]))


MATVEC = {
    "rows split over the pool": (spread(1000, 300), spread(300)),
    "view of a wider matrix": (spread(100, 2048)[:, 24:1024], spread(1000)),
    "F-ordered": (np.asfortranarray(spread(64, 4100)), spread(4100)),
    "stack": (spread(3, 40, 97).transpose(1, 0, 2)[::2], spread(194)[::2]),
    "rows of a block and one, groups and three": (spread(19, 4097), spread(4097)),
    "stack of row views": (spread(3, 7, 130)[:, 1:6], spread(130)),
    "empty rows": (spread(5, 0), spread(0)),
}


@pytest.mark.parametrize("name", MATVEC)
def test_matrix_times_vector(name):
    a, v = MATVEC[name]
    got = zn.matmul(a, v)
    same(got, layer_matvec(a, v))
    if a.ndim == 2 and len(a):
        same(got[len(a) // 2], zn.dot(a[len(a) // 2], v))  # matmul(a, v)[i] == dot(a[i], v)


def test_max_and_min_see_every_nan_and_order_zeros():
    for x in ([1, np.nan], [np.nan, 1]):
        assert np.isnan(zn.max(np.array(x, np.float32))) and np.isnan(zn.min(np.array(x, np.float32)))
    rows = np.array([[3, np.nan], [1, 2]], np.float32)
    np.testing.assert_array_equal(zn.max(rows, axis=1), [np.nan, 2])
    np.testing.assert_array_equal(zn.min(rows.T, axis=0), [np.nan, 1])
    for x in ([-0.0, 0.0], [0.0, -0.0]):
        same(zn.max(np.array(x, np.float32)), 0.0)
        same(zn.min(np.array(x, np.float32)), -0.0)
    # 11 outputs side by side (a vector of 8 and 3 more), each column with zeros of both signs
    wide = np.where(np.arange(33) % 2, 0.0, -0.0).astype(np.float32).reshape(3, 11)
    wide[2, [1, 9]] = np.nan
    for reduce, zero in ((zn.max, 0.0), (zn.min, -0.0)):
        want = np.full(11, zero, np.float32)
        want[[1, 9]] = np.nan
        same(reduce(wide, axis=0), want)


CALLS = """
import hashlib
import numpy as np
import zoltra_native as zn
import _zoltra_rust as z
rng = np.random.default_rng(7)
x = (rng.standard_normal((1100, 1100)) * 10.0 ** rng.integers(-4, 6, (1100, 1100))).astype(np.float32)
v = x[7].copy()
results = [zn.sum(x), zn.sum(x.T), zn.sum(x[:1024].T), zn.mean(x[:, ::2]), zn.dot(x.reshape(-1), x.T.reshape(-1)),
           zn.max(x.T), zn.sum(x, axis=0), zn.sum(x[:2], axis=1), zn.matmul(x, v), zn.matmul(x[:1], v),
           zn.max(x, axis=0), zn.matmul(x[:, :1000], v[:1000]),
           # a dot goes to the pool from 16 blocks of 4,096: either side of that edge
           zn.dot(x.reshape(-1)[:65535], v.repeat(60)[:65535]), zn.dot(x.reshape(-1)[:65536], v.repeat(60)[:65536])]
print(z.get_system_capabilities()["cpu"]["cores"])
print(hashlib.sha256(b"".join(np.asarray(r, np.float32).tobytes() for r in results)).hexdigest())
"""

needs_host = pytest.mark.skipif(
    EMULATED_CPU is not None or AARCH64_EMULATOR is not None,
    reason="starts children of its own with a host-built preload; runs in the main stage on the host processor")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    assert compiler, "a C compiler (cc) is needed to build the processor-count shim"
    library = tmp_path_factory.mktemp("shim") / "more_processors.so"
    source = os.path.join(os.path.dirname(__file__), "probe", "more_processors.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", source, "-o", str(library)], check=True)
    return library


@needs_host
def test_same_bits_for_every_processor_count(shim):
    """Large calls split over the pool: the bits stay those of one processor."""
    one = child_output(CALLS, cpus=[min(os.sched_getaffinity(0))]).split()
    assert one[0] == "1"
    for count in (3, 8, 16):
        # After a sanitizer's runtime, which must come first.
        preload = f"{os.environ.get('LD_PRELOAD', '')} {shim}".strip()
        env = {"LD_PRELOAD": preload, "ZOLTRA_TEST_PROCESSORS": str(count)}
        cores, digest = child_output(CALLS, env=env).split()
        assert (int(cores), digest) == (count, one[1])


@needs_host
def test_mean_of_2_28_ones_is_one():
    """Each lane of a block holds at most 64 ones: exact however long the input."""
    code = "import numpy as np, zoltra_native as zn\nprint(zn.mean(np.ones(2**28, np.float32)))"
    assert child_output(code, cpus=[min(os.sched_getaffinity(0))]).strip() == "1.0"
