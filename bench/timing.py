"""Timing shared by the benchmarks: the best of many calibrated loops, and a
pause before each library so that the previous one's idle threads stop
spinning on the cores."""

import time

PAUSE_S = 0.3


def best_ns(call, repeats, min_repeat_ns=5_000_000, max_number=1 << 20):
    """Best mean time per call over `repeats` timed loops, each calibrated to
    last about `min_repeat_ns`. Short loops suit a shared machine: some of
    them run without being preempted."""
    number = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        elapsed = time.perf_counter_ns() - start
        if elapsed >= min_repeat_ns or number >= max_number:
            break
        number *= 2 if elapsed == 0 else max(2, min(16, int(min_repeat_ns / elapsed) + 1))
    best = elapsed / number
    for _ in range(repeats - 1):
        start = time.perf_counter_ns()
        for _ in range(number):
            call()
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def paused_ns(call, repeats, **loops):
    time.sleep(PAUSE_S)
    return best_ns(call, repeats, **loops)


def side_by_side_us(calls, repeats):
    """Best microseconds per call of each call in turn (None stays None),
    each after a pause, in loops of at least 0.5 ms."""
    return [None if call is None else paused_ns(call, repeats, min_repeat_ns=500_000) / 1000 for call in calls]
