"""all and any read a bool byte as true whenever it is not 0 (bytes such as 2
or 255 come from views of other data), on every reduction path: whole
contiguous, whole strided, and over an axis with lanes side by side or
strided."""

import numpy as np
import pytest

import zoltra_native as zn

BYTES = np.random.default_rng(41).choice(np.array([2, 128, 255, 1], np.uint8), (6, 40))


def cases():
    """(name, bytes) where every row and column mixes zeros and bytes other than 1, or
    has none of one kind."""
    mixed = BYTES.copy()
    mixed[::2, ::3] = 0
    sparse = np.zeros_like(BYTES)
    sparse[1::2, 5::7] = BYTES[1::2, 5::7]
    return {"no zero": BYTES, "mixed": mixed, "sparse": sparse}


# Views reaching each path: contiguous, strided, and lanes of a transposed base.
VIEWS = {"contiguous": lambda x: x, "stepped": lambda x: x[::2, 1::3], "transposed": lambda x: x.T}


@pytest.mark.parametrize("reduce,reference", [(zn.all, np.all), (zn.any, np.any)], ids=["all", "any"])
@pytest.mark.parametrize("view", VIEWS)
@pytest.mark.parametrize("axis", [None, 0, 1])
def test_bytes_other_than_0_and_1_are_true(reduce, reference, view, axis):
    for name, raw in cases().items():
        x, want = VIEWS[view](raw.view(np.bool_)), reference(VIEWS[view](raw) != 0, axis=axis)
        got = reduce(x) if axis is None else reduce(x, axis=axis)
        np.testing.assert_array_equal(got, want, err_msg=name)
