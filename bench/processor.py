"""The processor a benchmark runs on, printed at the top of each run: vendor,
model, the vector features that choose our kernels, the cache sizes, and the
load average (other work on the machine moves every figure)."""

import os
import pathlib

FEATURES = ["sse4_2", "avx", "avx2", "fma", "f16c", "avx512f", "avx512vl", "avx512bw", "avx512dq", "avx512_bf16"]


def _cpuinfo():
    fields = {}
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if not line.strip():
                break  # the first processor is enough
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
    except OSError:
        pass
    return fields


def _caches():
    """{"L1d": "32K", ...} as the kernel describes cpu0's caches."""
    sizes = {}
    for index in sorted(pathlib.Path("/sys/devices/system/cpu/cpu0/cache").glob("index*")):
        try:
            level = (index / "level").read_text().strip()
            kind = (index / "type").read_text().strip()
            size = (index / "size").read_text().strip()
        except OSError:
            continue
        if kind == "Instruction":
            continue
        sizes[f"L{level}{'d' if kind == 'Data' else ''}"] = size
    return sizes


def describe(module=None):
    """One paragraph naming the processor; `module`, if given, adds what our
    module reports about it."""
    info = _cpuinfo()
    flags = set(info.get("flags", "").split())
    lines = [
        f"processor: {info.get('vendor_id', '?')} {info.get('model name', '?')} "
        f"(family {info.get('cpu family', '?')}, model {info.get('model', '?')}), "
        f"{os.cpu_count()} logical processors",
        "features: " + " ".join(f for f in FEATURES if f in flags),
        "caches (per core; the last level whole): "
        + ", ".join(f"{k} {v}" for k, v in _caches().items()),
        "load average: " + " ".join(f"{x:.2f}" for x in os.getloadavg()),
    ]
    if module is not None:
        lines.append("our module: " + module.get_capabilities_summary())
    return "\n".join(lines)


if __name__ == "__main__":
    print(describe())
