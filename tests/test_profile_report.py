"""The JSON profile report: layout, figures, context filters, session data."""

import datetime
import json
import re

import numpy as np
import pytest

UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
TIMESTAMP = re.compile(r"^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00$")
OPERATION_KEYS = [
    "operation", "count", "total_time_ms", "avg_time_ms",
    "min_time_ms", "max_time_ms", "primary_backend", "percent_total",
]


def run_workload(z):
    big = np.ones(400_000, np.float32)
    out = np.empty_like(big)
    for _ in range(3):
        z.tensor_add_f32(big.ctypes.data, big.ctypes.data, out.ctypes.data, big.size)
    for _ in range(2):
        z.tensor_sum_f32(big.ctypes.data, big.size)
    z.tensor_mul_f32(big.ctypes.data, big.ctypes.data, out.ctypes.data, 1)


def test_empty_report_layout(profiling):
    z = profiling
    text = z.get_profile_report()
    lines = text.split("\n")
    assert lines[0] == "{" and lines[1] == '  "metadata": {'
    assert re.fullmatch(r'    "session_id": "[^"]{36}",', lines[2])
    assert re.fullmatch(r'    "start_timestamp": "[^"]+",', lines[3])
    assert lines[4:] == [
        '    "version": "0.2.4",',
        '    "context": null',
        "  },",
        '  "operations": {},',
        '  "total_time_ms": 0.0,',
        '  "operation_count": 0',
        "}",
    ]

    missing = json.loads(z.get_profile_report("no such context"))
    assert missing["metadata"]["context"] == "no such context"
    assert (missing["operations"], missing["total_time_ms"], missing["operation_count"]) == ({}, 0.0, 0)


def test_figures_hang_together(profiling):
    z = profiling
    run_workload(z)
    text = z.get_profile_report()
    report = json.loads(text)
    operations = report["operations"]
    assert {name: entry["count"] for name, entry in operations.items()} == {"add": 3, "sum": 2, "mul": 1}
    assert report["operation_count"] == 3
    for name, entry in operations.items():
        assert entry["operation"] == name
        assert entry["avg_time_ms"] == entry["total_time_ms"] / entry["count"]
        assert 0.0 <= entry["min_time_ms"] <= entry["avg_time_ms"] <= entry["max_time_ms"]
        assert entry["total_time_ms"] <= entry["max_time_ms"] * entry["count"] + 1e-9
    total = report["total_time_ms"]
    assert total == pytest.approx(sum(entry["total_time_ms"] for entry in operations.values()))
    percents = [entry["percent_total"] for entry in operations.values()]
    if total > 0:
        assert sum(percents) == pytest.approx(100.0)
    else:
        assert percents == [0.0, 0.0, 0.0]
    # Every time is written with a fractional part or an exponent, never as an integer.
    for value in re.findall(r'"(?:total|avg|min|max)_time_ms": ([^,\n]+)', text):
        assert "." in value or "e" in value

    layout = json.loads(text, object_pairs_hook=lambda pairs: pairs)
    assert [key for key, _ in layout] == ["metadata", "operations", "total_time_ms", "operation_count"]
    assert [key for key, _ in layout[0][1]] == ["session_id", "start_timestamp", "version", "context"]
    assert all([key for key, _ in entry] == OPERATION_KEYS for _, entry in layout[1][1])

    again = json.loads(z.get_profile_report())
    assert again["operations"] == operations  # reading the report changes nothing
    assert again["metadata"]["session_id"] != report["metadata"]["session_id"]


def test_context_filters(profiling):
    z = profiling
    label = 'caf\u00e9 "run"\n\x01'
    z.set_profile_context(label)
    run_workload(z)
    z.set_profile_context(None)
    run_workload(z)

    text = z.get_profile_report(label)
    assert '"context": "caf\u00e9 \\"run\\"\\n\\u0001"' in text  # non-ASCII stays unescaped
    labelled = json.loads(text)
    assert labelled["metadata"]["context"] == label
    assert {name: entry["count"] for name, entry in labelled["operations"].items()} == {"add": 3, "sum": 2, "mul": 1}
    everything = json.loads(z.get_profile_report())
    assert {name: entry["count"] for name, entry in everything["operations"].items()} == {"add": 6, "sum": 4, "mul": 2}
    assert json.loads(z.get_profile_report(context="caf\u00e9"))["operation_count"] == 0
    with pytest.raises(TypeError, match=r"^argument 'context': 'bytes' object cannot be converted to 'PyString'$"):
        z.get_profile_report(b"x")


def test_session_ids_and_timestamps(z):
    seen = set()
    for _ in range(20):
        before = datetime.datetime.now(datetime.timezone.utc)
        metadata = json.loads(z.get_profile_report())["metadata"]
        after = datetime.datetime.now(datetime.timezone.utc)
        assert UUID.match(metadata["session_id"])
        seen.add(metadata["session_id"])
        match = TIMESTAMP.match(metadata["start_timestamp"])
        assert match, metadata["start_timestamp"]
        fraction = match.group(7) or ""
        assert not fraction.endswith("000")  # the shortest of 3, 6 or 9 digits
        stamp = datetime.datetime.fromisoformat(metadata["start_timestamp"][:19] + "+00:00")
        assert before - datetime.timedelta(seconds=1) <= stamp <= after + datetime.timedelta(seconds=1)
    assert len(seen) == 20
