"""The array layer (zoltra_native) on NumPy arrays and PyTorch tensors: every
function on contiguous, transposed, stepped, reversed, empty and 0-d views
against NumPy's own results, results of the input's kind, and one test per
refused input."""

import numpy as np
import pytest

import zoltra_native as zn

from conftest import child_output
from layer_order import layer_mean, layer_sum

EPS = float(np.finfo(np.float32).eps)
RNG = np.random.default_rng(12)


def torch_or_skip():
    return pytest.importorskip("torch", reason="PyTorch is not installed in this environment")


# Views of a (4, 6) base; reversed strides exist only in NumPy.
VIEWS = {
    "contiguous": lambda x: x,
    "transposed": lambda x: x.T,
    "stepped": lambda x: x[::2, 1::3],
    "reversed": lambda x: x[::-1, ::-2],
    "empty": lambda x: x[:0],
    "0-d": lambda x: x[1, 2, ...],
}


def views(kind, base):
    """(name, view of `kind`, the same view as a NumPy array) for each view."""
    if kind == "numpy":
        return [(name, make(base), make(base)) for name, make in VIEWS.items()]
    torch = torch_or_skip()
    tensor = torch.from_numpy(base)
    return [(name, make(tensor), make(base)) for name, make in VIEWS.items() if name != "reversed"]


def float_base(shape=(4, 6)):
    return RNG.standard_normal(shape).astype(np.float32)


def assert_close(got, want, magnitude, terms):
    """Within the float32 bound of a sum of `terms` terms of total `magnitude`."""
    assert abs(got - want) <= terms * EPS * magnitude + 1e-30, (got, want)


@pytest.fixture(params=["numpy", "torch"])
def kind(request):
    return request.param


def test_float_reductions(kind):
    for name, x, ref in views(kind, float_base()):
        if ref.size == 0:
            assert zn.sum(x) == 0.0
            for reduce in (zn.mean, zn.max, zn.min):
                with pytest.raises(ValueError, match="argument 'x': cannot compute the .* of an empty array"):
                    reduce(x)
            continue
        total, mean = zn.sum(x), zn.mean(x)
        assert type(total) is float and type(mean) is float
        assert zn.max(x) == float(ref.max()) and zn.min(x) == float(ref.min()), name
        assert total == layer_sum(ref) and mean == layer_mean(ref), name
        magnitude = float(np.abs(ref).sum(dtype=np.float64))
        assert_close(total, float(ref.sum(dtype=np.float64)), magnitude, ref.size)
        assert_close(mean, float(ref.mean(dtype=np.float64)), magnitude / ref.size, ref.size + 1)


def test_int_and_bool_reductions(kind):
    ints = RNG.integers(-(2**31), 2**31, size=(4, 6), dtype=np.int64).astype(np.int32)
    for name, x, ref in views(kind, ints):
        wrapped = (int(ref.sum(dtype=np.int64)) + 2**31) % 2**32 - 2**31
        assert zn.sum(x) == wrapped and type(zn.sum(x)) is int, name
    for bools in (ints > 0, np.ones((4, 6), bool), np.zeros((4, 6), bool)):
        for name, x, ref in views(kind, bools):
            assert (zn.all(x), zn.any(x)) == (bool(ref.all()), bool(ref.any())), name


@pytest.mark.parametrize("op,reference", [
    (zn.add, np.add), (zn.sub, np.subtract), (zn.mul, np.multiply), (zn.div, np.divide),
])
def test_elementwise(kind, op, reference):
    a_base, b_base = float_base(), float_base()
    for (name, a, a_ref), (_, b, b_ref) in zip(views(kind, a_base), views(kind, b_base)):
        result = op(a, b)
        assert type(result) is type(a), name
        np.testing.assert_array_equal(np.asarray(result), reference(a_ref, b_ref), err_msg=name)
    # In place on the caller's own memory (no copy): the very same buffer.
    a, b = views(kind, a_base.copy())[0][1], views(kind, b_base)[0][1]
    assert op(a, b, out=a) is a
    np.testing.assert_array_equal(np.asarray(a), reference(a_base, b_base))


def test_dot_and_matmul(kind):
    vector, left, right = float_base((24,)), float_base((5, 7)), float_base((7, 3))
    vectors = {"contiguous": lambda v: v, "stepped": lambda v: v[1::3], "empty": lambda v: v[:0]}
    pairs = {
        "contiguous": lambda l, r: (l, r),
        "transposed": lambda l, r: (r.T, l.T),
        "stepped": lambda l, r: (l[:, ::2], r[::2]),
        "no rows": lambda l, r: (l[:0], r),
        "no inner": lambda l, r: (l[:, :0], r[:0]),
    }
    if kind == "numpy":
        wrap = np.asarray
        vectors["reversed"] = lambda v: v[::-1]
        pairs["reversed"] = lambda l, r: (l[::-1, ::-1], r[::-1])
    else:
        wrap = torch_or_skip().from_numpy
    for name, make in vectors.items():
        ref = make(vector)
        want = float(np.dot(ref.astype(np.float64), ref))
        assert_close(zn.dot(make(wrap(vector)), make(wrap(vector))), want, want, max(ref.size, 1))
    for name, make in pairs.items():
        (a, b), (a_ref, b_ref) = make(wrap(left), wrap(right)), make(left, right)
        got = zn.matmul(a, b)
        assert type(got) is type(a), name
        want = a_ref.astype(np.float64) @ b_ref
        bound = a_ref.shape[1] * EPS * (np.abs(a_ref.astype(np.float64)) @ np.abs(b_ref))
        assert got.shape == want.shape and np.all(np.abs(np.asarray(got) - want) <= bound), name
    # An out that is an operand goes through a temporary.
    square = float_base((6, 6))
    want = np.asarray(zn.matmul(square, square))
    assert zn.matmul(square, square, out=square) is square
    np.testing.assert_array_equal(square, want)


def refused():
    """(id, call, exception, message fragment) for each refused input kind."""
    f32, f64 = np.ones((2, 3), np.float32), np.ones((2, 3), np.float64)
    read_only = np.ones((2, 3), np.float32)
    read_only.flags.writeable = False
    wide = np.zeros((2, 6), np.float32)
    overlap = np.arange(8, dtype=np.float32)
    cases = [
        ("dtype", lambda: zn.add(f32, f64), TypeError,
         "argument 'b': expected dtype float32, got float64 (convert with x.astype(np.float32) or t.float())"),
        ("not an array", lambda: zn.sum([1.0, 2.0]), TypeError, "argument 'x': expected a NumPy array"),
        ("sum dtype", lambda: zn.sum(f64), TypeError, "expected dtype float32 or int32"),
        ("all dtype", lambda: zn.all(f32), TypeError, "argument 'x': expected dtype bool"),
        ("shapes", lambda: zn.mul(f32, f32.T), ValueError, "argument 'b': expected a shape that broadcasts with (2, 3)"),
        ("inner size", lambda: zn.matmul(f32, f32), ValueError, "argument 'b': expected 3 rows"),
        ("matmul 0-D", lambda: zn.matmul(f32[0, 0], f32), ValueError, "argument 'a': expected an array of at least 1"),
        ("dot 2-D", lambda: zn.dot(f32, f32), ValueError, "argument 'a': expected a 1-D array"),
        ("dot lengths", lambda: zn.dot(f32[0], f32[0, :2]), ValueError, "argument 'b': expected length 3"),
        ("out shape", lambda: zn.add(f32, f32, out=f32[:1]), ValueError, "argument 'out': expected shape"),
        ("out dtype", lambda: zn.add(f32, f32, out=f64), TypeError, "argument 'out': expected dtype float32"),
        ("out read-only", lambda: zn.add(f32, f32, out=read_only), ValueError, "argument 'out': expected a writable"),
        ("out strided", lambda: zn.add(f32, f32, out=wide[:, ::2]), ValueError, "expected a C-contiguous"),
        ("out overlaps", lambda: zn.add(overlap[:4], overlap[:4], out=overlap[2:6]), ValueError, "overlaps an input"),
        ("empty mean", lambda: zn.mean(f32[:0]), ValueError, "cannot compute the mean of an empty array"),
    ]
    cases += [
        ("needs grad", lambda: zn.sum(torch_or_skip().ones(2, requires_grad=True)), TypeError,
         "argument 'x': cannot be viewed"),
        ("device", lambda: zn.sum(torch_or_skip().ones(2, device="meta")), TypeError,
         "argument 'x': cannot be viewed"),
    ]
    return [pytest.param(call, error, fragment, id=name) for name, call, error, fragment in cases]


@pytest.mark.parametrize("call,error,fragment", refused())
def test_refused_inputs(call, error, fragment):
    with pytest.raises(error) as raised:
        call()
    assert fragment in str(raised.value)


def test_refused_overlap_writes_nothing():
    data = np.arange(8, dtype=np.float32)
    with pytest.raises(ValueError):
        zn.add(data[:4], data[:4], out=data[2:6])
    np.testing.assert_array_equal(data, np.arange(8, dtype=np.float32))


def test_profile_reports_the_body():
    x = np.ones(100, np.float32)
    with zn.profile("layer") as p:
        zn.sum(x)
        zn.sum(x)
    assert p.report["metadata"]["context"] == "layer"
    assert p.operations["sum"]["count"] == 2
    zn.sum(x)  # profiling is off again
    with zn.profile() as q:
        pass
    assert q.operations == {}


def test_raw_module_imports_without_numpy():
    assert child_output("import sys\nsys.modules['numpy'] = None\nimport _zoltra_rust\nprint('ok')") == "ok\n"
