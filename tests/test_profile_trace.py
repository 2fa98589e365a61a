"""zoltra_native.profile: a block's calls as a trace, as a table, and nested blocks."""

import json
import threading

import numpy as np

import _zoltra_rust as z
import zoltra_native as zn
from zoltra_native._profile import Event, Product, table_of


def matrix(m, n):
    return np.ones((m, n), np.float32)


def one_thread_does_not_overlap(events):
    by_thread = {}
    for e in events:
        by_thread.setdefault(e["tid"], []).append(e)
    for track in by_thread.values():
        for before, after in zip(track, track[1:]):
            assert before["ts"] + before["dur"] <= after["ts"]


def test_trace_of_known_calls():
    cpu = z.get_system_capabilities()["cpu"]
    x = np.ones(1000, np.float32)
    with zn.profile("step") as p:
        zn.add(x, x)
        zn.sum(x)
        zn.matmul(matrix(60, 60), matrix(60, 60))
        zn.matmul(matrix(126, 126), matrix(126, 126))
        zn.matmul(matrix(256, 256), matrix(256, 256))
    events = p.trace_events()

    assert [e["name"] for e in events] == ["add", "sum", "matmul_2d", "matmul_2d", "matmul_2d"]
    assert [e["args"]["size"] for e in events] == [1000, 1000, 60**3, 126**3, 256**3]
    assert {e["args"]["context"] for e in events} == {"step"}
    assert {(e["ph"], e["cat"], e["tid"]) for e in events} == {("X", "CPU", threading.get_native_id())}
    assert all(e["dur"] >= 0 for e in events)
    one_thread_does_not_overlap(events)
    assert "path" not in events[0]["args"]

    kernel, chunks, whole = (e["args"] for e in events[2:])
    assert (kernel["m"], kernel["k"], kernel["n"]) == (60, 60, 60)
    if cpu["has_avx2"] and cpu["has_fma"]:
        assert kernel["path"] == "kernel"
        assert kernel["kernel_lanes"] == (16 if cpu["has_avx512"] else 8)
    else:
        assert kernel["path"] == "openblas"
    rows = -(-126 // cpu["cores"])
    assert chunks["path"] == "chunks"
    assert (chunks["chunks"], chunks["rows_per_chunk"]) == (-(-126 // rows), rows)
    assert chunks["kernel_chunks"] + chunks["openblas_chunks"] == chunks["chunks"]
    assert (whole["path"], whole["m"], whole["k"], whole["n"]) == ("openblas", 256, 256, 256)
    assert p.operations["matmul_2d"]["count"] == 3


def test_products_split_into_rows_over_the_pool_are_traced():
    """From 262,144 multiply-adds the layer splits a product that the raw
    entry point would compute on the calling thread into blocks of 8 rows."""
    cpu = z.get_system_capabilities()["cpu"]
    with zn.profile() as p:
        zn.matmul(matrix(1024, 256), np.ones((256, 1), np.float32))  # a vector is one dot per row
        zn.matmul(matrix(64, 64), matrix(64, 64))
    for event, (m, k, n) in zip(p.trace_events(), [(1024, 256, 1), (64, 64, 64)], strict=True):
        args = event["args"]
        assert (args["m"], args["k"], args["n"]) == (m, k, n)
        if not (cpu["has_avx2"] and cpu["has_fma"]):
            assert args["path"] == "openblas"
        elif cpu["cores"] == 1:
            assert args["path"] == "kernel"
        else:
            chunks = min(cpu["cores"], m // 8)
            assert (args["path"], args["chunks"], args["kernel_chunks"]) == ("chunks", chunks, chunks)


def test_saved_trace_is_chrome_json(tmp_path):
    x = np.ones(10, np.float32)
    with zn.profile() as p:
        zn.sum(x)
        zn.matmul(matrix(2, 3), matrix(3, 4))
    p.save_trace(tmp_path / "step.json")
    trace = json.loads((tmp_path / "step.json").read_text())

    assert set(trace) == {"traceEvents", "displayTimeUnit"}
    assert trace["displayTimeUnit"] == "ms"
    complete = [e for e in trace["traceEvents"] if e["ph"] == "X"]
    assert complete == p.trace_events()
    for e in complete:
        assert set(e) == {"name", "cat", "ph", "ts", "dur", "pid", "tid", "args"}
    names = {(e["name"], e["tid"]): e["args"] for e in trace["traceEvents"] if e["ph"] == "M"}
    assert names[("thread_name", threading.get_native_id())]["name"].startswith("MainThread (")
    assert "process_name" in {name for name, _ in names}


def test_two_python_threads_get_two_tracks():
    x = np.ones(10, np.float32)
    seen = []

    def call():
        seen.append(threading.get_native_id())
        zn.sum(x)

    with zn.profile() as p:
        call()
        worker = threading.Thread(target=call)
        worker.start()
        worker.join()
    events = p.trace_events()
    assert [e["tid"] for e in events] == seen
    assert len(set(seen)) == 2
    assert len({e["args"]["thread"] for e in events}) == 2


def test_blocks_nest():
    x = np.ones(10, np.float32)
    with zn.profile("step") as outer:
        zn.sum(x)
        with zn.profile("forward") as inner:
            zn.add(x, x)
            with zn.profile() as innermost:
                zn.mul(x, x)
        zn.sub(x, x)
    counts = {name: entry["count"] for name, entry in outer.operations.items()}
    assert counts == {"sum": 1, "add": 1, "mul": 1, "sub": 1}
    assert set(inner.operations) == {"add", "mul"}
    assert set(innermost.operations) == {"mul"}
    assert [e["args"]["context"] for e in outer.trace_events()] == ["step", "forward", "forward", "step"]
    assert outer.report["metadata"]["context"] == "step"

    # Profiling is back as it was before the outermost block, as is the context.
    z.clear_profile()
    zn.sum(x)
    assert json.loads(z.get_profile_report())["operations"] == {}
    z.enable_profiling()
    try:
        with zn.profile("inner"):
            pass
        zn.sum(x)
        report = json.loads(z.get_profile_report())
        assert report["operations"]["sum"]["count"] == 1
        assert json.loads(z.get_profile_report("inner"))["operations"] == {}
    finally:
        z.disable_profiling()
        z.clear_profile()


def test_table_sorts_by_total_time():
    def event(name, start, end):
        return Event(name, "CPU", None, 1, start, end, 1, 7, None)

    mm = Product("kernel", 2, 3, 4, 0, 0, 0, 8)
    events = [event("sum", 0, 10), event("add", 10, 40), event("sum", 40, 60),
              Event("matmul_2d", "CPU", None, 24, 60, 1560, 1, 7, mm)]
    lines = table_of(events, "profile 'step'", 2000.0).splitlines()
    assert lines[1].split() == ["Name", "Calls", "Total", "Mean", "Min", "Max", "Share"]
    assert [line.split() for line in lines[3:6]] == [
        ["matmul_2d", "1", "1.500ms", "1.500ms", "1.500ms", "1.500ms", "96.15%"],
        ["add", "1", "30.000us", "30.000us", "30.000us", "30.000us", "1.92%"],
        ["sum", "2", "30.000us", "15.000us", "10.000us", "20.000us", "1.92%"],
    ]
    assert lines[-1] == "profile 'step': 4 calls, 1.560ms in calls of 2.000ms in the block"
