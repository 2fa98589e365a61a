"""The battery of bit_battery.py against its results from x86-64."""

import json
import os

import pytest

from bit_battery import battery

REFERENCE = os.environ.get("ZOLTRA_BATTERY_REFERENCE")


@pytest.mark.skipif(REFERENCE is None, reason="no battery from another processor to compare with "
                    "(ZOLTRA_BATTERY_REFERENCE; scripts/test-aarch64.sh sets it)")
def test_same_bits_as_the_reference_processor():
    with open(REFERENCE) as handle:
        want = json.load(handle)
    got = battery()
    assert sorted(got) == sorted(want)
    assert [name for name in want if got[name] != want[name]] == []
