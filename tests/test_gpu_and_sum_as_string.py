"""The metal_* family (no GPU backend here) and sum_as_string."""

import pytest

GPU_CALLS = {
    "metal_sum_f32": (0, 0),
    "metal_mean_f32": (0, 0),
    "metal_max_f32": (0, 0),
    "metal_min_f32": (0, 0),
    "metal_matmul_f32": (0, 0, 0, 0, 0, 0),
    "metal_add_f32": (0, 0, 0, 0),
    "metal_sub_f32": (0, 0, 0, 0),
    "metal_mul_f32": (0, 0, 0, 0),
    "metal_div_f32": (0, 0, 0, 0),
    "metal_transpose_f32": (0, 0, 0, 0),
    "metal_broadcast_op": (0, 0, 0, 0, [1, 2], (3,), range(2), 0, 0, 0),
}


def test_metal_is_not_available(z):
    assert z.metal_is_available() is False


@pytest.mark.parametrize("name,args", sorted(GPU_CALLS.items()))
def test_gpu_functions_convert_then_refuse(z, name, args):
    function = getattr(z, name)
    with pytest.raises(RuntimeError) as error:
        function(*args)
    assert str(error.value) == "Metal is only available on macOS"
    assert type(error.value) is RuntimeError
    # A conversion error comes first.
    bad = list(args)
    bad[-1] = -1
    with pytest.raises(OverflowError):
        function(*bad)


def test_gpu_functions_touch_no_state(z, profiling):
    with pytest.raises(RuntimeError):
        z.metal_add_f32(0, 0, 0, 0)
    assert '"operations": {}' in z.get_profile_report()


@pytest.mark.parametrize(
    "a,b,text",
    [
        (1, 2, "3"),
        (0, 0, "0"),
        (10, 0, "10"),
        (2**64 - 1, 0, "18446744073709551615"),
        # The exact sum, not the sum modulo 2^64.
        (2**64 - 1, 1, "18446744073709551616"),
        (2**64 - 1, 2**64 - 1, "36893488147419103230"),
    ],
)
def test_sum_as_string(z, a, b, text):
    assert z.sum_as_string(a, b) == text
    assert z.sum_as_string(b=b, a=a) == text


def test_sum_as_string_conversion_errors(z):
    with pytest.raises(OverflowError):
        z.sum_as_string(-1, 0)
    with pytest.raises(OverflowError):
        z.sum_as_string(0, 2**64)
