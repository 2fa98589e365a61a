"""The array layer's input reading: every exporter kind read at its own
address and extent, inputs that once gave wrong results or crashes refused
or read right, and one runtime shared with the raw module."""

import array
import json

import numpy as np
import pytest

import _zoltra_rust as z
import zoltra_native as zn

from test_native_layer import torch_or_skip


class Interface:
    """An object that exports only the array interface `fields`."""

    def __init__(self, **fields):
        self.__array_interface__ = fields


class Exporter:
    """A DLPack exporter of `array` (unversioned when the capsule is asked for
    without max_version), with a chosen __dlpack_device__."""

    def __init__(self, array, device=(1, 0), versioned=True):
        self.array, self.device, self.versioned = array, device, versioned

    def __dlpack_device__(self):
        return self.device

    def __dlpack__(self, **kwargs):
        if kwargs and not self.versioned:
            raise TypeError("unexpected keyword")
        return self.array.__dlpack__(**kwargs)


class Raising(Exporter):
    def __dlpack__(self, **kwargs):
        raise AttributeError("no capsule today")


def test_every_exporter_kind_reads_the_same_values():
    values = np.arange(1, 7, dtype=np.float32)
    kinds = [
        Exporter(values), Exporter(values, versioned=False),
        Interface(shape=(6,), typestr="<f4", data=bytearray(values.tobytes()), version=3),
        Interface(shape=(3,), typestr="<f4", data=(values.ctypes.data, True), strides=(8,), version=3),
        array.array("f", values), memoryview(values.tobytes()).cast("f"),
    ]
    sums = [zn.sum(x) for x in kinds]
    assert sums == [21.0, 21.0, 21.0, 9.0, 21.0, 21.0]
    # A read-only export is refused as `out`; a DLPack result is the exporter package's kind.
    with pytest.raises(ValueError, match="argument 'out': expected a writable array"):
        zn.add(values[:3], values[:3], out=kinds[3])
    assert type(zn.add(kinds[0], kinds[0])) is np.ndarray


def test_byte_strides_that_are_not_a_multiple_of_4():
    packed = np.zeros(8, dtype=[("tag", "u1"), ("f", "<f4")])  # itemsize 5
    packed["f"] = [3, 1, 4, 1, 5, 9, 2, 6]
    view = packed["f"]
    assert (zn.sum(view), zn.min(view), zn.max(view), zn.mean(view)) == (31.0, 1.0, 9.0, 3.875)
    np.testing.assert_array_equal(zn.add(view, view), 2 * view)


def test_negative_bit_scalar_out_and_masked_arrays_are_refused():
    torch = torch_or_skip()
    negated = torch.tensor([1 + 2j, 3 + 4j]).conj().imag  # reads [-2, -4] through its negative bit
    ones = np.ones(3, np.float32)
    cases = [
        (lambda: zn.sum(negated), "argument 'x': expected a tensor without the negative bit"),
        (lambda: zn.add(ones, ones, out=np.float32(0)), "argument 'out': expected an array, got the NumPy scalar"),
        (lambda: zn.sum(np.ma.array(ones, mask=[0, 1, 0])), "argument 'x': expected an array without a mask"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError, match=message):
            call()
    assert zn.sum(negated.resolve_neg()) == -6.0


def test_an_interface_that_reaches_past_its_buffer_is_refused_before_writing():
    big, buffer = np.ones(1000, np.float32), bytearray(40)
    with pytest.raises(ValueError, match="argument 'out': the shape and strides reach beyond the exporter's buffer of 40"):
        zn.add(big, big, out=Interface(shape=(1000,), typestr="<f4", data=buffer, version=3))
    assert buffer == bytearray(40)
    with pytest.raises(ValueError, match="argument 'x': the shape and strides overflow"):
        zn.sum(Interface(shape=(2**62, 4), typestr="<f4", data=(big.ctypes.data, False), version=3))


@pytest.mark.parametrize("x,message", [
    (Interface(shape=(2,), typestr="zz", data=bytearray(8)), "typestr 'zz' is not a data type"),
    (Interface(shape=(-2,), typestr="<f4", data=bytearray(8)), "negative extent"),
    (Interface(shape=(2,), data=bytearray(8)), "no typestr"),
    (Exporter(np.ones(2, np.float32), device=()), r"__dlpack_device__\(\) returned \(\)"),
    (Raising(np.ones(2, np.float32)), "no capsule today"),
], ids=["typestr", "negative shape", "no typestr", "empty device", "exporter raises"])
def test_exporter_errors_become_the_layers_type_error(x, message):
    with pytest.raises(TypeError, match=rf"argument 'x': cannot be viewed as an array \(.*{message}"):
        zn.sum(x)


def test_out_overlap_is_judged_on_the_elements():
    z_ = np.arange(16, dtype=np.float32).reshape(4, 4)
    with pytest.raises(ValueError, match="argument 'out': overlaps an input"):
        zn.add(z_.T, z_, out=z_)
    # The same elements through a size-1 axis with another stride are in place.
    row = np.ones((1, 4), np.float32)
    alias = np.lib.stride_tricks.as_strided(row, shape=(1, 4), strides=(4, 4))
    assert zn.add(alias, row, out=row) is row
    np.testing.assert_array_equal(row, 2.0)


def test_matmul_into_its_own_operand():
    rng = np.random.default_rng(5)
    a, b = (rng.standard_normal((64, 64)).astype(np.float32) for _ in "ab")
    want = zn.matmul(a, b)
    assert zn.matmul(a, b, out=b) is b
    np.testing.assert_array_equal(b, want)


@pytest.mark.parametrize("reduce", [zn.mean, zn.max, zn.min])
def test_float_reductions_refuse_other_dtypes(reduce):
    with pytest.raises(TypeError, match="argument 'x': expected dtype float32, got int32"):
        reduce(np.ones(3, np.int32))


def test_one_runtime_behind_both_modules():
    """A layer call is one event of the raw module's profiler under the raw
    function's name, and leaves the raw module's dispatch record."""
    a = np.ones((8, 8), np.float32)
    z.clear_profile()
    z.enable_profiling()
    try:
        zn.sum(a)
        zn.sum(a.T)
        zn.matmul(a, a)
    finally:
        z.disable_profiling()
    operations = json.loads(z.get_profile_report(None))["operations"]
    assert {name: op["count"] for name, op in operations.items()} == {"sum": 1, "sum_strided": 1, "matmul_2d": 1}
    assert "size=8x8x8" in z.explain_last_dispatch()
