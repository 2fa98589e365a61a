"""tensor_sum_f32, tensor_sum_i32, tensor_mean_f32, tensor_all and tensor_any
end to end, against NumPy references that add in the kernels' order."""

import json
import os
import struct

import numpy as np
import pytest

from conftest import child_output

f32 = np.float32
THRESHOLD = 1_000_000
DEFAULT_ARENA = 1_048_576
SIZES = [1, 7, 8, 9, 13, 31, 33, 64, 65, 1000, 65541]


# ---- references -------------------------------------------------------------

def kahan_onto(s, values):
    """Compensated addition of values onto s; the compensation is dropped once
    the running sum is no longer finite."""
    s, c = f32(s), f32(0.0)
    with np.errstate(all="ignore"):
        for v in values:
            y = v - c
            t = s + y
            c = (t - s) - y
            s = t
            if not np.isfinite(s):
                c = f32(0.0)
    return s


def lanes_sum(v):
    """8 lanes over whole blocks, the fixed lane fold, then the compensated tail."""
    blocks = len(v) // 8
    s = f32(0.0)
    if blocks:
        with np.errstate(all="ignore"):
            lanes = np.add.accumulate(v[: 8 * blocks].reshape(blocks, 8), axis=0)[-1]
            x = lanes[:4] + lanes[4:]
            s = (x[0] + x[1]) + (x[2] + x[3])
    return kahan_onto(s, v[8 * blocks:])


def tree(sums):
    if len(sums) == 1:
        return sums[0]
    half = len(sums) // 2
    return tree(sums[:half]) + tree(sums[half:])


def parallel_sum(v, processors, arena_bytes):
    """Chunks of ceil(n / P); a chunk whose floats fit in the arena is summed
    compensated from a copy, a larger one with the lane sum in place."""
    n = len(v)
    size = -(-n // processors)
    sums = []
    for begin in range(0, n, size):
        chunk = v[begin:begin + size]
        sums.append(kahan_onto(0.0, chunk) if 4 * len(chunk) <= arena_bytes else lanes_sum(chunk))
    return tree(sums)


def discriminating(n, seed):
    """Values from 1e3 to 1e9 of both signs among small ones: any other order
    of additions rounds differently."""
    rng = np.random.default_rng(seed)
    big = 10.0 ** rng.uniform(3, 9, n)
    kind = rng.integers(0, 4, n)
    v = np.where(kind == 0, big, np.where(kind == 1, -big, rng.uniform(0.5, 3.0, n)))
    return v.astype(np.float32)


def bits(x):
    return struct.pack("<f", x)


def same(expected, actual):
    if np.isnan(expected):
        return np.isnan(actual)
    return bits(expected) == bits(actual)


# ---- float32 sum and mean ------------------------------------------------------

@pytest.mark.parametrize("n", SIZES)
def test_sum_and_mean_follow_the_fixed_order(z, n):
    v = discriminating(n + 1, n)[1:]  # misaligned start as well
    s = z.tensor_sum_f32(v.ctypes.data, n)
    assert type(s) is float
    assert same(lanes_sum(v), s)
    assert same(lanes_sum(v) / f32(n), z.tensor_mean_f32(v.ctypes.data, n))


def test_float32_result_is_returned_exactly(z):
    v = np.array([0.1], dtype=np.float32)
    assert z.tensor_sum_f32(v.ctypes.data, 1) == 0.10000000149011612
    v8 = np.arange(1, 9, dtype=np.float32)
    assert z.tensor_sum_f32(v8.ctypes.data, 8) == 36.0


@pytest.mark.parametrize(
    "values,expected",
    [
        ([np.inf, 1.0], np.inf),
        ([3e38, 3e38, 0.0], np.inf),
        ([-np.inf, 1.0, 2.0], -np.inf),
        ([3e38] * 18, np.inf),  # the block sum overflows, two tail elements follow
        ([np.inf, -np.inf], np.nan),
        ([1.0, 2.0, np.nan, 4.0], np.nan),
    ],
)
def test_sums_that_leave_the_finite_range(z, values, expected):
    v = np.array(values, dtype=np.float32)
    assert same(f32(expected), z.tensor_sum_f32(v.ctypes.data, len(v)))


# ---- int32 sum -------------------------------------------------------------------

def wrapped(v):
    total = int(np.sum(v, dtype=np.int64)) & 0xFFFFFFFF
    return total - (1 << 32) if total >= 1 << 31 else total


def test_int32_sum_wraps(z):
    edge = np.array([2147483647, 1], dtype=np.int32)
    assert z.tensor_sum_i32(edge.ctypes.data, 2) == -2147483648
    rng = np.random.default_rng(3)
    for n in [1, 7, 8, 9, 33, 1000, THRESHOLD - 1]:
        v = rng.integers(-(2**31), 2**31, n, dtype=np.int64).astype(np.int32)
        got = z.tensor_sum_i32(v.ctypes.data, n)
        assert type(got) is int and got == wrapped(v)


# ---- all / any -------------------------------------------------------------------

def test_all_any_decide_in_block_or_tail(z):
    for n, at in [(1, 0), (32, 31), (33, 32), (300, 5), (300, 299)]:
        trues = np.full(n, 255, dtype=np.uint8)
        trues[at] = 0
        falses = np.zeros(n, dtype=np.uint8)
        falses[at] = 2
        assert z.tensor_all(trues.ctypes.data, n) is False
        assert z.tensor_any(falses.ctypes.data, n) is True
        assert z.tensor_all(trues.ctypes.data, at) is True  # the deciding byte is just past count
        assert z.tensor_any(falses.ctypes.data, at) is False


# ---- null, empty and profiling -------------------------------------------------------

REDUCTIONS = ["tensor_sum_f32", "tensor_sum_i32", "tensor_mean_f32", "tensor_all", "tensor_any"]
EMPTY = {"tensor_sum_f32": 0.0, "tensor_sum_i32": 0, "tensor_all": True, "tensor_any": False}


@pytest.mark.parametrize("name", REDUCTIONS)
def test_null_pointer_comes_before_the_count(z, name):
    for count in (5, 0):
        with pytest.raises(ValueError) as info:
            getattr(z, name)(0, count)
        assert str(info.value) == f"Null pointer passed to {name}"


def test_empty_inputs_answer_at_once_without_an_event(profiling):
    z = profiling
    buf = np.zeros(8, dtype=np.float32)
    for name, expected in EMPTY.items():
        got = getattr(z, name)(buf.ctypes.data, 0)
        assert type(got) is type(expected) and got == expected
    with pytest.raises(ValueError) as info:
        z.tensor_mean_f32(buf.ctypes.data, 0)
    assert str(info.value) == "Cannot compute mean of empty tensor"
    assert json.loads(z.get_profile_report())["operations"] == {}


def test_events_by_operation_name(profiling):
    z = profiling
    ints = np.arange(5, dtype=np.int32)
    floats = np.ones(5, dtype=np.float32)
    flags = np.ones(5, dtype=np.uint8)
    z.tensor_sum_i32(ints.ctypes.data, 5)
    ops = json.loads(z.get_profile_report())["operations"]
    assert list(ops) == ["sum"] and ops["sum"]["count"] == 1 and ops["sum"]["primary_backend"] == "CPU"
    z.tensor_sum_f32(floats.ctypes.data, 5)
    z.tensor_mean_f32(floats.ctypes.data, 5)
    z.tensor_all(flags.ctypes.data, 5)
    z.tensor_any(flags.ctypes.data, 5)
    ops = json.loads(z.get_profile_report())["operations"]
    assert {k: v["count"] for k, v in ops.items()} == {"sum": 2, "mean": 1, "all": 1, "any": 1}


# ---- the parallel path, in fresh processes ------------------------------------------

def run_sums(path, cpus, arena):
    """Sums, means and int32 sums of the first len - 1 and all elements of the
    saved buffer, in a child pinned to `cpus`; also the child's processor count."""
    code = f"""
import numpy as np, _zoltra_rust as z
v = np.load({str(path)!r})
ints = v.view(np.int32)
print(z.get_system_capabilities()["cpu"]["cores"])
for n in (len(v) - 1, len(v)):
    print(repr(z.tensor_sum_f32(v.ctypes.data, n)), repr(z.tensor_mean_f32(v.ctypes.data, n)),
          z.tensor_sum_i32(ints.ctypes.data, n))
"""
    env = {"ZOLTRA_ARENA_SIZE": None if arena is None else str(arena)}
    cores, *lines = child_output(code, cpus=cpus, env=env).split()
    return int(cores), [(float(lines[3 * k]), float(lines[3 * k + 1]), int(lines[3 * k + 2])) for k in range(2)]


def usable_cpus(k):
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < k:
        pytest.skip(f"needs {k} processors")
    return cpus[:k]


@pytest.fixture(scope="module")
def parallel_data(tmp_path_factory):
    v = discriminating(THRESHOLD + 1, 2024)
    path = tmp_path_factory.mktemp("flat") / "v.npy"
    np.save(path, v)
    return path, v


# (processors, ZOLTRA_ARENA_SIZE): with 1 processor the default arena is too
# small and the sum stays in place; 4,000,000 bytes holds exactly 1,000,000
# floats, so the count one above sums in place again.
# With 2, chunks of 500,000 floats (2,000,000 bytes) are copied from 2,000,000
# bytes on; for 1,000,001 elements the first chunk is one float too long and
# stays in place while the shorter last chunk is copied.
@pytest.mark.parametrize("processors,arena", [(1, None), (1, 4_000_000), (2, None), (2, 2_000_000), (2, 0)])
def test_threshold_and_chunk_paths(parallel_data, processors, arena):
    path, v = parallel_data
    cpus = usable_cpus(processors)
    cores, results = run_sums(path, cpus, arena)
    assert cores == processors  # the chunking follows the affinity set
    arena_bytes = DEFAULT_ARENA if arena is None else arena
    # THRESHOLD and THRESHOLD + 1 elements both run in parallel.
    for (s, mean, total), n in zip(results, (THRESHOLD, THRESHOLD + 1)):
        expected = parallel_sum(v[:n], processors, arena_bytes)
        assert same(expected, s), (n, expected, s)
        # The data tells these paths apart: chunked versus one sequential sum,
        # and arena copies versus sums in place.
        in_place = parallel_sum(v[:n], processors, 0)
        if processors > 1:
            assert not same(in_place, lanes_sum(v[:n]))
        last_chunk = n - (processors - 1) * -(-n // processors)
        if 4 * last_chunk <= arena_bytes:
            assert not same(expected, in_place)
        assert same(expected / f32(n), mean)
        assert total == wrapped(v[:n].view(np.int32))


@pytest.mark.parametrize("processors,arena", [(1, 4_000_000), (2, 2_000_000)])
def test_one_below_the_threshold_is_sequential(parallel_data, tmp_path, processors, arena):
    _, v = parallel_data
    cpus = usable_cpus(processors)
    path = tmp_path / "below.npy"
    np.save(path, v[:THRESHOLD])
    _, ((s, mean, _), (s_at, _, _)) = run_sums(path, cpus, arena)
    assert same(lanes_sum(v[: THRESHOLD - 1]), s)
    assert same(lanes_sum(v[: THRESHOLD - 1]) / f32(THRESHOLD - 1), mean)
    assert not same(lanes_sum(v[:THRESHOLD]), s_at)  # the parallel sum really differs


def test_forked_child_after_the_parent_used_the_pool():
    code = """
import os, numpy as np, _zoltra_rust as z
v = np.ones(2_000_000, dtype=np.float32)
assert z.tensor_sum_f32(v.ctypes.data, len(v)) == 2e6
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.write(w, repr(z.tensor_sum_f32(v.ctypes.data, len(v))).encode())
    os._exit(0)
os.close(w)
print(os.read(r, 100).decode())
os.waitpid(pid, 0)
"""
    assert float(child_output(code, timeout=60)) == 2e6
