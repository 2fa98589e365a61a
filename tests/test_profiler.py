"""The profiler switches, events per profiled call, and per-thread contexts."""

import json
import threading

import numpy as np
import pytest

from conftest import child_output


def operations(z, context=None):
    return json.loads(z.get_profile_report(context))["operations"]


def counts(z, context=None):
    return {name: entry["count"] for name, entry in operations(z, context).items()}


def add_once(z, count=1):
    a = np.ones(count, np.float32)
    out = np.empty_like(a)
    z.tensor_add_f32(a.ctypes.data, a.ctypes.data, out.ctypes.data, count)


def test_profiling_is_off_after_import():
    out = child_output(
        """
        import json, numpy as np, _zoltra_rust as z
        a = np.ones(8, np.float32)
        z.tensor_add_f32(a.ctypes.data, a.ctypes.data, a.ctypes.data, 8)
        z.tensor_sum_f32(a.ctypes.data, 8)
        print(json.loads(z.get_profile_report())["operations"])
        """
    )
    assert out.strip() == "{}"


def test_switches_are_idempotent_and_keep_events(profiling):
    z = profiling
    assert z.enable_profiling() is None
    assert z.enable_profiling() is None
    add_once(z)
    assert z.disable_profiling() is None
    assert z.disable_profiling() is None
    add_once(z)
    assert counts(z) == {"add": 1}  # disabling neither records nor drops

    z.enable_profiling()
    add_once(z)
    assert z.clear_profile() is None
    assert counts(z) == {}
    add_once(z)  # clearing leaves profiling on
    assert counts(z) == {"add": 1}


def test_one_event_per_profiled_call_under_its_name(profiling):
    z = profiling
    f = np.arange(1, 13, dtype=np.float32)
    i = np.arange(12, dtype=np.int32)
    flags = np.ones(12, np.uint8)
    out = np.empty(12, np.float32)
    fp, ip, bp, op = f.ctypes.data, i.ctypes.data, flags.ctypes.data, out.ctypes.data
    for function in (z.tensor_add_f32, z.tensor_sub_f32, z.tensor_mul_f32, z.tensor_div_f32):
        function(fp, fp, op, 12)
    z.tensor_sum_f32(fp, 12)
    z.tensor_sum_i32(ip, 12)  # shares "sum" with the float sum
    z.tensor_mean_f32(fp, 12)
    z.tensor_all(bp, 12)
    z.tensor_any(bp, 12)
    z.tensor_dot_product_f32(fp, fp, 12)
    z.tensor_matmul_f32(fp, fp, 12)  # also a dot product
    z.tensor_matmul_2d_f32(fp, fp, op, 3, 4, 3)
    for function in (
        z.tensor_sum_f32_strided,
        z.tensor_mean_f32_strided,
        z.tensor_max_f32_strided,
        z.tensor_min_f32_strided,
    ):
        function(fp, [3, 4], [16, 4])

    report = operations(z)
    assert {name: entry["count"] for name, entry in report.items()} == {
        "add": 1, "sub": 1, "mul": 1, "div": 1, "sum": 2, "mean": 1, "all": 1, "any": 1,
        "dot_product": 2, "matmul_2d": 1, "sum_strided": 1, "mean_strided": 1,
        "max_strided": 1, "min_strided": 1,
    }
    assert {entry["primary_backend"] for entry in report.values()} == {"CPU"}


def test_contexts_belong_to_their_thread(profiling):
    z = profiling
    z.set_profile_context("main")

    def worker():
        add_once(z)  # a new thread starts without a context
        z.set_profile_context("worker")
        add_once(z)
        add_once(z)

    thread = threading.Thread(target=worker)
    thread.start()
    thread.join()
    add_once(z)
    z.set_profile_context()
    add_once(z)
    z.set_profile_context("")
    add_once(z)
    z.set_profile_context(None)
    add_once(z)

    z.set_profile_context("main")
    with pytest.raises(TypeError, match=r"^argument 'context': 'int' object cannot be converted to 'PyString'$"):
        z.set_profile_context(5)  # leaves the context as it was
    add_once(z)

    assert counts(z, "main") == {"add": 2}
    assert counts(z, "worker") == {"add": 2}
    assert counts(z, "") == {"add": 1}
    assert counts(z) == {"add": 8}
