"""tensor_matmul_2d_f32: the micro-kernel's arithmetic, the dispatch by size,
the dispatch record, and the entry point's checks and profiling."""

import json
import re
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

from conftest import AARCH64_EMULATOR, ARCH, EMULATED_CPU, OTHER_PYTHON, SANITIZED, child_output
from fma_reference import fma32, matmul_reference


def operands(m, k, n, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.uniform(-1, 1, (m, k)).astype(np.float32)
    b = rng.uniform(-1, 1, (k, n)).astype(np.float32)
    return a, b


def matmul(z, a, b, fill=np.nan):
    m, k = a.shape
    n = b.shape[1]
    c = np.full((m, n), fill, np.float32)
    assert z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, m, k, n) is None
    return c


def same_bits(x, y):
    return np.array_equal(np.asarray(x).view(np.uint32), np.asarray(y).view(np.uint32))


def uses_kernel_only(z, m, k, n):
    """True where this machine's dispatch runs the micro-kernel for every row."""
    cpu = z.get_system_capabilities()["cpu"]
    if not cpu["has_fma"] or m * k * n >= 16_777_216:
        return False
    if m * k * n < 2_000_000:
        return True
    cores = cpu["cores"]
    rows = -(-m // cores)
    return cpu["has_avx512"] or rows * k * n <= 2_097_152


def check_product(z, a, b, c):
    """The micro-kernel's bits where it runs, OpenBLAS's accuracy elsewhere."""
    if uses_kernel_only(z, a.shape[0], a.shape[1], b.shape[1]):
        assert same_bits(c, matmul_reference(a, b))
    else:
        np.testing.assert_allclose(c, a.astype(np.float64) @ b, atol=1e-3)


def exact_fma32(x, y, s):
    """a*b + c rounded once to float32, ties to even, from exact rationals."""
    v = Fraction(float(x)) * Fraction(float(y)) + Fraction(float(s))
    r = np.float32(float(v))
    candidates = [r, np.nextafter(r, np.float32(np.inf)), np.nextafter(r, np.float32(-np.inf))]
    return min(candidates, key=lambda q: (abs(Fraction(float(q)) - v), int(q.view(np.uint32)) & 1))


def test_fused_reference_is_exact():
    rng = np.random.default_rng(3)
    x, y, s = (rng.standard_normal((3, 300)) * [[1], [1], [1e3]]).astype(np.float32)
    # A case where rounding through float64 lands on a float32 midpoint.
    x[0], y[0], s[0] = 2.0**-24 * (1 + 2.0**-23), 1 - 2.0**-23, 1 + 2.0**-23
    got = fma32(x, y, s)
    assert all(got[i] == exact_fma32(x[i], y[i], s[i]) for i in range(len(x)))
    assert got[0] == np.float32(1 + 2.0**-23)


@pytest.mark.parametrize("m,k,n", [(4, 3, 8), (5, 17, 9), (3, 64, 20), (13, 33, 57), (100, 100, 100),
                                   (125, 125, 125)])
def test_kernel_sizes_bit_exact(z, m, k, n):
    a, b = operands(m, k, n, seed=m * 1000 + n)
    check_product(z, a, b, matmul(z, a, b))


@pytest.mark.parametrize("m,k,n", [(126, 126, 126), (255, 256, 256), (200, 100, 100), (3, 1000, 1000)])
def test_parallel_products_bit_exact_where_chunks_use_the_kernel(z, m, k, n):
    a, b = operands(m, k, n, seed=7)
    check_product(z, a, b, matmul(z, a, b))


def test_parallel_path_equals_single_processor_run(z, tmp_path):
    # With one processor the parallel path has one chunk; with more, several.
    m = k = n = 126
    a, b = operands(m, k, n, seed=11)
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    here = matmul(z, a, b)
    code = f"""
        import numpy as np, _zoltra_rust as z
        a = np.load({str(tmp_path / 'a.npy')!r}); b = np.load({str(tmp_path / 'b.npy')!r})
        c = np.empty((126, 126), np.float32)
        z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, 126, 126, 126)
        np.save({str(tmp_path / 'c.npy')!r}, c)
        print(z.get_system_capabilities()["cpu"]["cores"])
    """
    assert child_output(code, cpus={0}).strip() == "1"
    if uses_kernel_only(z, m, k, n):
        assert same_bits(np.load(tmp_path / "c.npy"), here)
    else:  # OpenBLAS may round a chunk of rows unlike the whole product
        check_product(z, a, b, np.load(tmp_path / "c.npy"))


def test_fused_step_rounds_once(z):
    # 1 + 2^-23, then + (2^-24 - 2^-70): fused, the result stays 1 + 2^-23;
    # rounding the product first (or rounding twice) gives 1 + 2^-22, as
    # OpenBLAS does on an x86-64 processor without FMA; on aarch64, where
    # every processor has FMA, OpenBLAS fuses every column.
    a = np.zeros((4, 2), np.float32)
    b = np.zeros((2, 9), np.float32)
    a[:, 0] = 1 + 2.0**-23
    a[:, 1] = 2.0**-24 * (1 + 2.0**-23)
    b[0, :] = 1.0
    b[1, :] = 1 - 2.0**-23
    c = matmul(z, a, b)
    fused = uses_kernel_only(z, 4, 2, 9)
    openblas_fuses = not fused and ARCH == "Aarch64"
    assert np.all(c[:, :8] == np.float32(1 + 2.0**-23 if fused or openblas_fuses else 1 + 2.0**-22))
    # The kernel's separately rounded column.
    assert np.all(c[:, 8] == np.float32(1 + 2.0**-23 if openblas_fuses else 1 + 2.0**-22))


# 700 x 1100 ends in part tiles both ways (128 x 512 tiles).
@pytest.mark.parametrize("m,k,n", [(256, 256, 256), (300, 200, 400), (700, 100, 1100), (1024, 1024, 1024)])
def test_openblas_products(z, m, k, n):
    a, b = operands(m, k, n, seed=5)
    c = matmul(z, a, b)
    np.testing.assert_allclose(c, a.astype(np.float64) @ b, atol=2e-4 * np.sqrt(k))


def test_zero_sizes(z):
    a = np.ones((3, 4), np.float32)
    b = np.ones((4, 5), np.float32)
    c = np.full(16, 9.0, np.float32)
    z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, 3, 0, 5)
    assert same_bits(c[:15], np.zeros(15, np.float32)) and c[15] == 9.0
    c[:] = 9.0
    z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, 0, 4, 5)
    z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, 3, 4, 0)
    assert np.all(c == 9.0)


def test_infinity_and_nan_propagate(z):
    a = np.ones((5, 3), np.float32)
    b = np.ones((3, 9), np.float32)
    a[1, 2] = np.inf
    a[3, 0] = np.nan
    c = matmul(z, a, b)
    assert np.all(c[1] == np.inf) and np.all(np.isnan(c[3])) and np.all(c[[0, 2, 4]] == 3.0)


RECORD = re.compile(r"^matmul \u2192 Zoltra (AVX2|AVX-512) \(size=(\d+)x(\d+)x(\d+), policy=(\w+), (\d+)\u00b5s ago\)$")


@pytest.mark.parametrize("m,k,n", [(2, 4, 3), (0, 7, 5), (256, 256, 256), (126, 126, 126)])
def test_dispatch_record_names_m_n_k(z, m, k, n):
    a = np.ones(max(m * k, 1), np.float32)
    b = np.ones(max(k * n, 1), np.float32)
    c = np.empty(max(m * n, 1), np.float32)
    z.set_backend_policy(1)
    try:
        z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, m, k, n)
    finally:
        z.set_backend_policy(0)
    match = RECORD.match(z.explain_last_dispatch())
    assert match, z.explain_last_dispatch()
    avx512 = z.get_system_capabilities()["cpu"]["has_avx512"]
    assert match.group(1) == ("AVX-512" if avx512 else "AVX2")
    assert tuple(map(int, match.group(2, 3, 4))) == (m, n, k)
    assert match.group(5) == "Openblas"


def test_null_pointers_are_refused_before_anything_runs(z, profiling):
    ok = np.ones(4, np.float32).ctypes.data
    before = z.explain_last_dispatch()
    for args in [(0, ok, ok), (ok, 0, ok), (ok, ok, 0)]:
        with pytest.raises(ValueError, match="^Null pointer passed to tensor_matmul_2d_f32$"):
            z.tensor_matmul_2d_f32(*args, 2, 2, 2)
    assert json.loads(z.get_profile_report())["operations"] == {}
    assert z.explain_last_dispatch().split(",")[:2] == before.split(",")[:2]


def test_profiling_records_every_product_even_empty(z, profiling):
    a = np.ones(16, np.float32)
    z.tensor_matmul_2d_f32(a.ctypes.data, a.ctypes.data, a.ctypes.data, 0, 4, 4)
    z.tensor_matmul_2d_f32(a.ctypes.data, a.ctypes.data, a[8:].ctypes.data, 2, 2, 2)
    ops = json.loads(z.get_profile_report())["operations"]
    assert ops["matmul_2d"]["count"] == 2
    assert ops["matmul_2d"]["primary_backend"] == "CPU"


# A dimension of 2^31 + 1 with the other two 1, so the product goes to
# OpenBLAS whole. Only the marked elements are non-zero: the rest of the
# inputs stay untouched zero pages, so each case holds about one 8 GiB output.
HUGE_PRODUCT = """
import sys, numpy as np, _zoltra_rust as z
dim = sys.argv[1]
m, k, n = (2**31 + 1 if dim == d else 1 for d in "mkn")
marks = [0, 1, 2**31 - 2, 2**31 - 1, 2**31]  # both ends and around 2^31
a, b = np.zeros(m * k, np.float32), np.zeros(k * n, np.float32)
c = np.empty(m * n, np.float32)
long_side, other = (a, b) if dim in "mk" else (b, a)
long_side[marks] = [1, 2, 3, 4, 5]
if dim == "k":
    other[marks] = 3
else:
    other[:] = 3
z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, m, k, n)
print(*(c[marks + [2, 2**31 - 3]] if dim != "k" else c))
"""


def memory_available():
    with open("/proc/meminfo") as handle:
        return next(int(line.split()[1]) * 1024 for line in handle if line.startswith("MemAvailable:"))


@pytest.mark.skipif(SANITIZED or EMULATED_CPU is not None or AARCH64_EMULATOR is not None,
                    reason="8 GiB buffers under AddressSanitizer or emulation; the plain stage runs these products")
@pytest.mark.skipif(OTHER_PYTHON, reason="10 GiB products, the same on every Python; the main stage runs them")
@pytest.mark.parametrize("dim", ["m", "n", "k"])
def test_dimensions_past_32_bits_reach_openblas_whole(dim):
    need = 10 * 2**30
    if memory_available() < need:
        pytest.skip(f"needs {need >> 30} GiB of available memory, the machine has {memory_available() >> 30} GiB")
    done = subprocess.run([sys.executable, "-c", HUGE_PRODUCT, dim], capture_output=True, text=True, timeout=900)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    expected = [45.0] if dim == "k" else [3.0, 6.0, 9.0, 12.0, 15.0, 0.0, 0.0]
    assert [float(x) for x in done.stdout.split()] == expected
