"""Every function called once in a child under qemu-user's model of a
processor without AVX (Nehalem), with AVX2 but without FMA, and with both
(Haswell): no call may kill the process, and every result whose arithmetic
does not depend on FMA equals the one computed here, bit for bit."""

import functools
import json

import pytest

from conftest import EMULATED_CPU, OTHER_PYTHON, SANITIZED, child_output
from function_table import TABLE
from test_gpu_and_sum_as_string import GPU_CALLS

pytestmark = pytest.mark.skipif(
    EMULATED_CPU is not None or SANITIZED or OTHER_PYTHON,
    reason="starts its own emulated children; runs once, in the main stage on the host processor",
)

# Calls all 39 functions once (the GPU ones raise RuntimeError, as on every
# processor) and returns the results as bit patterns: those the processor's
# FMA decides (dot and matrix products) apart from the others.
CALLS = """
import hashlib
import numpy as np
import _zoltra_rust as z

def all_results():
    called, same, by_fma = set(), [], []
    def call(name, *args):
        called.add(name)
        try:
            return getattr(z, name)(*args)
        except RuntimeError:
            return None
    def keep(into, value):
        into.append(value.hex() if isinstance(value, float) else repr(value))

    rng = np.random.default_rng(13)
    specials = np.array([np.nan, np.inf, -np.inf, -0.0, 1e-45, -1e-40, 3e38], dtype=np.float32)
    for n in (7, 8, 33, 4099, 1_000_003):
        big = rng.uniform(3, 9, n)
        a = np.where(rng.integers(0, 2, n) == 0, rng.uniform(0.5, 3, n), np.sign(rng.uniform(-1, 1, n)) * 10.0**big)
        a = a.astype(np.float32)
        s = a.copy()
        s[:: 97] = np.resize(specials, s[:: 97].size)
        b = s[::-1].copy()
        out = np.empty(n, dtype=np.float32)
        for op in ("add", "sub", "mul", "div"):
            call(f"tensor_{op}_f32", s.ctypes.data, b.ctypes.data, out.ctypes.data, n)
            same.append(hashlib.sha256(out.tobytes()).hexdigest())
        for data in (a, s, np.full(n, -0.0, dtype=np.float32)):
            keep(same, call("tensor_sum_f32", data.ctypes.data, n))
            keep(same, call("tensor_mean_f32", data.ctypes.data, n))
        ints = rng.integers(-2**31, 2**31, n, dtype=np.int64).astype(np.int32)
        keep(same, call("tensor_sum_i32", ints.ctypes.data, n))
        flags = (rng.integers(0, 50, n) != 0).astype(np.uint8)
        keep(same, (call("tensor_all", flags.ctypes.data, n), call("tensor_any", flags.ctypes.data, n)))
        view = a[: n // 8 * 8].reshape(-1, 8).T
        for name in ("sum", "mean", "max", "min"):
            keep(same, call(f"tensor_{name}_f32_strided", view.ctypes.data, list(view.shape), list(view.strides)))
        r = a[::-1].copy()
        keep(by_fma, call("tensor_dot_product_f32", a.ctypes.data, r.ctypes.data, n))
        keep(by_fma, call("tensor_matmul_f32", a.ctypes.data, r.ctypes.data, n))
    m = rng.uniform(-1, 1, 64 * 64).astype(np.float32)
    c = np.empty(64 * 64, dtype=np.float32)
    call("tensor_matmul_2d_f32", m.ctypes.data, m.ctypes.data, c.ctypes.data, 64, 64, 64)
    by_fma.append(c.tobytes().hex())
    call("set_backend_policy", 0)
    keep(same, call("get_backend_policy"))
    call("explain_last_dispatch")  # names the processor's kernel
    for name in ("enable_profiling", "disable_profiling", "clear_profile", "get_profile_report",
                 "set_profile_context", "get_capabilities_summary", "metal_is_available"):
        call(name)
    keep(same, call("sum_as_string", 2, 3))
    for name, args in GPU_CALLS.items():
        call(name, *args)
    cpu = call("get_system_capabilities")["cpu"]
    return {"called": sorted(called), "same": same, "by_fma": by_fma, "cpu": cpu}
"""


@functools.cache
def run_here():
    namespace = {"GPU_CALLS": GPU_CALLS}
    exec(CALLS, namespace)
    return namespace["all_results"]()


@pytest.mark.parametrize("model", ["Nehalem", "Haswell", "Haswell,-fma"])
def test_every_function_on_an_emulated_processor(model):
    child = json.loads(child_output(
        f"GPU_CALLS = {GPU_CALLS!r}\n{CALLS}\nimport json\nprint(json.dumps(all_results()))",
        emulate=model, timeout=120,
    ))
    here = run_here()
    assert child["called"] == sorted(name for name, _ in TABLE)
    assert child["same"] == here["same"]
    if child["cpu"]["has_fma"] == here["cpu"]["has_fma"]:
        assert child["by_fma"] == here["by_fma"]
