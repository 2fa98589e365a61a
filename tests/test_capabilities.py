"""get_system_capabilities and get_capabilities_summary."""

import os
import re

import pytest

from conftest import child_output


def cpuinfo_flags():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    pytest.skip("no flags line in /proc/cpuinfo")


def expected_best_simd(cpu):
    if cpu["has_avx512"]:
        return "AVX-512"
    if cpu["has_avx2"] and cpu["has_fma"]:
        return "AVX2+FMA"
    return "Scalar"


def test_dict_layout_and_types(z):
    caps = z.get_system_capabilities()
    assert list(caps) == ["cpu", "gpu"]
    cpu = caps["cpu"]
    assert list(cpu) == [
        "arch", "cores", "has_avx2", "has_avx512", "has_fma", "has_neon", "best_simd",
    ]
    assert cpu["arch"] == "X86_64"
    assert type(cpu["cores"]) is int and cpu["cores"] >= 1
    for key in ("has_avx2", "has_avx512", "has_fma", "has_neon"):
        assert type(cpu[key]) is bool, key
    assert cpu["has_neon"] is False
    assert cpu["best_simd"] == expected_best_simd(cpu)
    assert caps["gpu"] == {"metal_available": False, "cuda_available": False, "rocm_available": False}
    assert list(caps["gpu"]) == ["metal_available", "cuda_available", "rocm_available"]


def test_each_call_builds_new_dicts(z):
    first = z.get_system_capabilities()
    second = z.get_system_capabilities()
    assert first == second
    assert first is not second
    assert first["cpu"] is not second["cpu"] and first["gpu"] is not second["gpu"]
    first["cpu"]["cores"] = -1
    first["gpu"]["best_gpu"] = "CUDA"
    third = z.get_system_capabilities()
    assert third == second


def test_summary_matches_dict(z):
    cpu = z.get_system_capabilities()["cpu"]
    summary = z.get_capabilities_summary()
    assert type(summary) is str
    assert summary == f"CPU: {cpu['arch']} ({cpu['cores']} cores, SIMD: {cpu['best_simd']}), GPU: None"
    assert re.fullmatch(r"CPU: X86_64 \(\d+ cores, SIMD: (AVX-512|AVX2\+FMA|Scalar)\), GPU: None", summary)


def test_features_match_proc_cpuinfo(z):
    flags = cpuinfo_flags()
    cpu = z.get_system_capabilities()["cpu"]
    assert cpu["has_avx2"] == ("avx2" in flags)
    assert cpu["has_fma"] == ("fma" in flags)
    assert cpu["has_avx512"] == ("avx512f" in flags and "fma" in flags and "f16c" in flags)


def read_quota():
    """The CPU quota of this process's cgroup (v2 only), or None."""
    try:
        with open("/proc/self/cgroup") as f:
            path = next(line.split("::", 1)[1].strip() for line in f if line.startswith("0::"))
        for directory in (f"/sys/fs/cgroup{path}", "/sys/fs/cgroup"):
            if os.path.exists(f"{directory}/cpu.max"):
                quota, period = open(f"{directory}/cpu.max").read().split()
                if quota == "max" or int(period) == 0:
                    return None
                return -(-int(quota) // int(period))
    except (OSError, StopIteration, ValueError):
        pass
    return None


def test_cores_is_affinity_lowered_to_quota(z):
    expected = len(os.sched_getaffinity(0))
    quota = read_quota()
    if quota is not None and quota > 0:
        expected = min(expected, quota)
    assert z.get_system_capabilities()["cpu"]["cores"] == expected


def test_cores_follow_affinity_of_a_pinned_process():
    cpu = min(os.sched_getaffinity(0))
    out = child_output(
        """
        import _zoltra_rust as z
        print(z.get_system_capabilities()["cpu"]["cores"])
        print(z.get_capabilities_summary())
        """,
        cpus=[cpu],
    )
    cores, summary = out.splitlines()
    assert cores == "1"
    assert summary.startswith("CPU: X86_64 (1 cores, SIMD: ")


def test_record_is_fixed_after_first_use():
    out = child_output(
        """
        import os
        import _zoltra_rust as z
        before = z.get_system_capabilities()["cpu"]["cores"]
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        print(before, z.get_system_capabilities()["cpu"]["cores"])
        """
    )
    before, after = out.split()
    if before == "1":
        pytest.skip("needs two usable processors")
    assert after == before
