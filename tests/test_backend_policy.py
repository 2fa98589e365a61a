"""The backend policy and the explanation of the last matrix-product dispatch."""

import re
import time

import numpy as np
import pytest

from conftest import child_output

ELAPSED = re.compile(r", (\d+)\u00b5s ago\)$")


@pytest.fixture
def policy(z):
    yield z
    z.set_backend_policy(0)


def cpu_name(z):
    return "Zoltra AVX-512" if z.get_system_capabilities()["cpu"]["has_avx512"] else "Zoltra AVX2"


def matmul(z, m, k, n):
    a = np.ones(max(m * k, 1), np.float32)
    b = np.ones(max(k * n, 1), np.float32)
    c = np.empty(max(m * n, 1), np.float32)
    z.tensor_matmul_2d_f32(a.ctypes.data, b.ctypes.data, c.ctypes.data, m, k, n)


def test_fresh_process_defaults():
    out = child_output(
        """
        import _zoltra_rust as z
        print(z.get_backend_policy())
        print(z.explain_last_dispatch())
        """
    )
    assert out == "0\nDefault CPU backend\n"


def test_policy_mapping(policy):
    z = policy
    for value, expected in [(1, 1), (2, 2), (0, 0), (1, 1), (3, 0), (2, 2), (4, 0), (255, 0)]:
        assert z.set_backend_policy(value) is None
        assert z.get_backend_policy() == expected
    z.set_backend_policy(np.uint8(2))
    assert z.get_backend_policy() == 2
    z.set_backend_policy(policy=True)
    assert z.get_backend_policy() == 1


def test_bad_policies_leave_the_policy(policy):
    z = policy
    z.set_backend_policy(2)
    for value in (256, -1):
        with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
            z.set_backend_policy(value)
    with pytest.raises(OverflowError):
        z.set_backend_policy(2**70)
    with pytest.raises(TypeError, match=r"^argument 'policy': "):
        z.set_backend_policy("1")
    assert z.get_backend_policy() == 2


def test_explanation_after_a_product(policy):
    z = policy
    z.set_backend_policy(1)
    matmul(z, 2, 4, 3)
    z.set_backend_policy(2)  # the record keeps the policy it was made under
    first = z.explain_last_dispatch()
    assert first.startswith(f"matmul \u2192 {cpu_name(z)} (size=2x3x4, policy=Openblas, ")
    assert first.endswith("\u00b5s ago)")
    time.sleep(0.002)
    second = z.explain_last_dispatch()
    assert ELAPSED.sub("", first) == ELAPSED.sub("", second)
    assert int(ELAPSED.search(second).group(1)) >= int(ELAPSED.search(first).group(1)) + 2000


def test_every_product_is_recorded_before_the_choice(policy):
    z = policy
    matmul(z, 0, 5, 7)
    assert z.explain_last_dispatch().startswith(f"matmul \u2192 {cpu_name(z)} (size=0x7x5, policy=Default, ")
    matmul(z, 256, 256, 256)  # large enough for one OpenBLAS call, still shown as the CPU backend
    assert z.explain_last_dispatch().startswith(f"matmul \u2192 {cpu_name(z)} (size=256x256x256, policy=Default, ")
