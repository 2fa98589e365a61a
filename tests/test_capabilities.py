"""get_system_capabilities and get_capabilities_summary."""

import os

import pytest

from conftest import ARCH, EMULATED_CPU, child_output


# (AVX2, FMA, AVX-512F) of the models the test command emulates.
EMULATED_FEATURES = {
    "Haswell": (True, True, False),
    "Haswell,-fma": (True, False, False),
    "Nehalem": (False, False, False),
}


def expected_features():
    if EMULATED_CPU is not None:
        return EMULATED_FEATURES[EMULATED_CPU]
    if ARCH != "X86_64":
        return False, False, False
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                flags = set(line.split(":", 1)[1].split())
                fma = "fma" in flags
                return "avx2" in flags, fma, "avx512f" in flags and fma and "f16c" in flags
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
    assert cpu["arch"] == ARCH
    assert type(cpu["cores"]) is int and cpu["cores"] >= 1
    for key in ("has_avx2", "has_avx512", "has_fma", "has_neon"):
        assert type(cpu[key]) is bool, key
    assert cpu["has_neon"] is False
    assert cpu["best_simd"] == expected_best_simd(cpu)
    assert caps["gpu"] == {"metal_available": False, "cuda_available": False, "rocm_available": False}


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
    assert summary == f"CPU: {ARCH} ({cpu['cores']} cores, SIMD: {cpu['best_simd']}), GPU: None"


def test_features_match_the_processor(z):
    cpu = z.get_system_capabilities()["cpu"]
    assert (cpu["has_avx2"], cpu["has_fma"], cpu["has_avx512"]) == expected_features()


def test_cores_within_affinity(z):
    # Exact quota arithmetic is covered by the C++ tests on fake cgroup trees.
    assert 1 <= z.get_system_capabilities()["cpu"]["cores"] <= len(os.sched_getaffinity(0))


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
    assert summary.startswith(f"CPU: {ARCH} (1 cores, SIMD: ")


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
