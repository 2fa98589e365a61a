"""The array layer against exporters that lie: interfaces and DLPack capsules
whose strides, offsets, addresses, type strings or element types are
hostile, each refused with the layer's error before anything is read or
written, and tensors or scalars at the limits of what a result can hold."""

import ctypes

import numpy as np
import pytest

import zoltra_native as zn

from test_native_layer import torch_or_skip
from test_native_layer_inputs import Interface


class _DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32),
                ("ndim", ctypes.c_int32), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                ("lanes", ctypes.c_uint16), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64)]


class _Managed(ctypes.Structure):
    _fields_ = [("dl_tensor", _DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Capsule:
    """An unversioned DLPack exporter of `memory` (kept alive here) with the
    given element strides, byte offset and element type."""

    def __init__(self, memory, shape, strides=None, byte_offset=0, code=2, bits=32):
        self.memory = memory
        self.shape = (ctypes.c_int64 * len(shape))(*shape)
        self.strides = None if strides is None else (ctypes.c_int64 * len(strides))(*strides)
        self.managed = _Managed(_DLTensor(memory.ctypes.data, 1, 0, len(shape), code, bits, 1, self.shape,
                                          self.strides, byte_offset))

    def __dlpack__(self, **kwargs):
        if kwargs:
            raise TypeError("unversioned only")
        return _capsule_new(ctypes.addressof(self.managed), b"dltensor", None)


VALUES = np.arange(1, 65, dtype=np.float32)


@pytest.mark.parametrize("stride", [2**62, 2**62 + 1, -(2**63)])
def test_dlpack_strides_whose_bytes_overflow_are_refused(stride):
    with pytest.raises(ValueError, match="argument 'x': the shape and strides overflow 64-bit byte offsets"):
        zn.sum(Capsule(VALUES, (3,), (stride,)))


def test_dlpack_byte_offset_and_element_types():
    assert zn.sum(Capsule(VALUES, (3,), (1,), byte_offset=8)) == 3 + 4 + 5
    assert zn.sum(Capsule(VALUES, (2, 2), (-1, 8), byte_offset=4)) == 2 + 10 + 1 + 9
    with pytest.raises(TypeError, match="expected dtype bool, got bool of 1 bit"):
        zn.all(Capsule(np.ones(8, np.uint8), (8,), code=6, bits=1))


def interface(shape, data, **fields):
    return Interface(shape=shape, typestr=fields.pop("typestr", "<f4"), data=data, version=3, **fields)


@pytest.mark.parametrize("call", [zn.sum, lambda x: zn.add(x, x)], ids=["sum", "add"])
def test_a_negative_stride_reaching_below_the_buffer_is_refused(call):
    with pytest.raises(ValueError, match="argument '.': the shape and strides reach beyond the exporter's buffer"):
        call(interface((2,), bytearray(64), strides=(-(2**62),)))


@pytest.mark.parametrize("floats,offset", [(16, 0), (15, 4), (1, 60), (0, 64)])
def test_interface_reach_to_the_last_byte_of_its_buffer(floats, offset):
    buffer = bytearray(np.arange(16, dtype=np.float32).tobytes())
    x = interface((floats,), buffer, offset=offset)
    assert zn.sum(x) == sum(range(16 - floats, 16))
    with pytest.raises(ValueError, match="reach beyond the exporter's buffer of 64 bytes"):
        zn.sum(interface((floats + 1,), buffer, offset=offset))


@pytest.mark.parametrize("typestr,message", [("\ud800", "is not valid text"), ("<f4\x00zz", "holds a NUL character")],
                         ids=["not-UTF-8", "embedded-NUL"])
def test_typestrs_that_are_not_text_are_refused(typestr, message):
    with pytest.raises(TypeError, match=rf"argument 'x': cannot be viewed as an array \(the array interface's typestr {message}"):
        zn.sum(interface((2,), bytearray(8), typestr=typestr))


@pytest.mark.parametrize("data,strides,message", [
    ((0, False), None, "the array interface's address is null"),
    ((64, False), (-128,), "the shape and strides reach outside the address space"),
], ids=["null", "below address 0"])
def test_bare_addresses_that_cannot_be_read_are_refused(data, strides, message):
    with pytest.raises(ValueError, match=f"argument 'x': {message}"):
        zn.sum(interface((2,), data, strides=strides))


def test_an_index_that_clears_the_interface_dict():
    """Shape, strides and data stay held while __index__ runs (a read after
    free under AddressSanitizer with PYTHONMALLOC=malloc otherwise)."""
    fields = {}

    class Clearing:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            fields.clear()
            return self.value

    fields.update(shape=(Clearing(2),), strides=(Clearing(8),), typestr="<f4", version=3,
                  data=bytearray(np.array([1, 0, 2, 0], np.float32).tobytes()))
    x = Interface()
    x.__array_interface__ = fields
    assert zn.sum(x) == 3.0


def test_tensor_results_too_big_for_memory_are_refused_as_numpy_refuses():
    torch = torch_or_skip()
    one, empty = torch.ones(1), torch.ones(1, 0)
    # 2^61 elements fit in 64 bits, their 2^63 bytes do not.
    for call in (lambda: zn.add(one.expand(2**31, 1), one.expand(1, 2**30)),
                 lambda: zn.add(one.expand(2**32, 1), one.expand(1, 2**32)),
                 lambda: zn.matmul(empty.expand(2**32, 0), empty.T.expand(0, 2**32))):
        with pytest.raises(ValueError, match="array is too big"):
            call()


@pytest.mark.parametrize("scalar", [np.int64(2**60 + 2**36 + 1), np.uint64(2**63 + 2**39 + 1),
                                    np.longdouble(1) + np.longdouble(2.0**-24) + np.longdouble(2.0**-60)],
                         ids=["int64", "uint64", "longdouble"])
def test_numpy_scalars_are_rounded_once(scalar):
    zero = np.zeros(1, np.float32)
    assert zn.add(zero, scalar)[0] == np.float32(scalar) != np.float32(np.float64(scalar))
