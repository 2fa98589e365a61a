"""Several threads calling the array layer's parallel paths at once (the
layer gives up the interpreter lock around them) get the bits of the same
calls made one at a time, and the profiler counts every call."""

import json
import threading

import numpy as np

import _zoltra_rust as z
import zoltra_native as zn

ROUNDS = 6


def bits(result):
    return result.tobytes() if isinstance(result, np.ndarray) else np.float32(result).tobytes()


def test_threads_get_the_single_threaded_bits():
    rng = np.random.default_rng(3)
    big = rng.standard_normal(2_000_000).astype(np.float32)  # a parallel sum
    a, b = (rng.standard_normal(300_000).astype(np.float32) for _ in "ab")  # parallel element-wise
    square = rng.standard_normal((160, 160)).astype(np.float32)  # a pooled product
    calls = [lambda: zn.sum(big), lambda: zn.add(a, b), lambda: zn.matmul(square, square),
             lambda: zn.dot(a, b), lambda: zn.mean(big[::2])]
    want = [bits(call()) for call in calls]
    got, errors = [[] for _ in calls], []

    def worker(index):
        try:
            for _ in range(ROUNDS):
                got[index].append(bits(calls[index]()))
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    z.clear_profile()
    z.enable_profiling()
    try:
        threads = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(len(calls))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        z.disable_profiling()
    assert not errors and not any(thread.is_alive() for thread in threads)
    assert got == [[w] * ROUNDS for w in want]
    operations = json.loads(z.get_profile_report(None))["operations"]
    counts = {name: operations[name]["count"] for name in ("sum", "add", "matmul_2d", "dot_product", "mean_strided")}
    assert counts == dict.fromkeys(counts, ROUNDS)
