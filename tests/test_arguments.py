"""The argument parser and the conversion of every kind of parameter."""

import sys

import pytest

from function_table import TABLE, parameters

WITH_PARAMETERS = [(name, parameters(sig)) for name, sig in TABLE if parameters(sig)]
WITHOUT_PARAMETERS = [name for name, sig in TABLE if not parameters(sig)]
DEFAULTED = {"get_profile_report", "set_profile_context"}


def message(excinfo):
    return str(excinfo.value)


def quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


@pytest.mark.parametrize("name,params", WITH_PARAMETERS)
def test_parser_messages(z, name, params):
    function = getattr(z, name)
    n = len(params)

    with pytest.raises(TypeError) as too_many:
        function(*([0] * (n + 1)))
    if name in DEFAULTED:
        expected = f"{name}() takes from 0 to {n} positional arguments but {n + 1} were given"
    else:
        expected = f"{name}() takes {n} positional arguments but {n + 1} {'was' if n + 1 == 1 else 'were'} given"
    assert message(too_many) == expected

    with pytest.raises(TypeError) as unexpected:
        function(*([None] * n), bogus=1)
    assert message(unexpected) == f"{name}() got an unexpected keyword argument 'bogus'"

    with pytest.raises(TypeError) as duplicate:
        function(None, **{params[0]: None})
    assert message(duplicate) == f"{name}() got multiple values for argument '{params[0]}'"

    if name not in DEFAULTED:
        for given in range(n):
            with pytest.raises(TypeError) as missing:
                function(*([None] * given))
            left = params[given:]
            noun = "argument" if len(left) == 1 else "arguments"
            assert message(missing) == (
                f"{name}() missing {len(left)} required positional {noun}: {quoted_list(left)}"
            )


@pytest.mark.parametrize("name", WITHOUT_PARAMETERS)
def test_functions_without_parameters_refuse_arguments(z, name):
    with pytest.raises(TypeError):
        getattr(z, name)(1)


def test_keywords_are_taken_in_the_order_passed(z):
    # The first offending keyword decides, whether unknown or duplicate.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        z.tensor_sum_f32(0, zz=1, data_ptr=2)
    with pytest.raises(TypeError, match="multiple values for argument 'data_ptr'"):
        z.tensor_sum_f32(0, data_ptr=2, zz=1)
    with pytest.raises(TypeError, match="multiple values for argument 'count'"):
        z.tensor_sum_f32(0, 1, count=3)


def test_all_keywords_in_any_order(z):
    assert z.sum_as_string(b=2, a=1) == "3"
    # Conversion first, then the null check.
    with pytest.raises(ValueError, match="^Null pointer passed to tensor_sum_f32$"):
        z.tensor_sum_f32(count=0, data_ptr=0)
    assert z.tensor_sum_f32(True, 0) == 0.0


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise KeyError("no index")


class NotIntIndex:
    def __index__(self):
        return 1.5


class TestUnsigned64:
    def test_bounds(self, z):
        top = 2**64 - 1
        assert z.sum_as_string(0, 0) == "0"
        assert z.sum_as_string(top, 0) == str(top)
        assert z.sum_as_string(True, False) == "1"
        assert z.sum_as_string(Index(7), Index(8)) == "15"
        for bad in (-1, 2**64, -(2**70)):
            with pytest.raises(OverflowError) as error:
                z.sum_as_string(bad, 0)
            assert not message(error).startswith("argument")

    def test_type_errors_carry_the_parameter_name(self, z):
        for bad in (1.5, "1", None, [1], b"1"):
            with pytest.raises(TypeError) as error:
                z.sum_as_string(0, bad)
            assert message(error).startswith("argument 'b': ")
        with pytest.raises(TypeError, match="^argument 'a': .*returned non-int"):
            z.sum_as_string(NotIntIndex(), 0)

    def test_other_errors_pass_unchanged(self, z):
        with pytest.raises(KeyError):
            z.sum_as_string(BadIndex(), 0)

    def test_numpy_integers(self, z):
        np = pytest.importorskip("numpy")
        assert z.sum_as_string(np.uint64(2**64 - 1), np.int8(0)) == str(2**64 - 1)

    def test_first_failing_argument_wins(self, z):
        with pytest.raises(OverflowError):
            z.tensor_add_f32(0, -1, 1.5, 0)
        with pytest.raises(TypeError, match="^argument 'a_ptr'"):
            z.tensor_add_f32(1.5, -1, 0, 0)


class TestSequences:
    def call(self, z, shape):
        # data_ptr 0: a converted shape ends at the null check.
        with pytest.raises(ValueError, match="^Null pointer passed to tensor_sum_f32_strided$"):
            z.tensor_sum_f32_strided(0, shape, [])

    def test_accepted_sequences(self, z):
        for shape in ([], [2, 3], (2, -3), range(4), b"\x02\x03", [True, Index(5)], [-(2**63), 2**63 - 1]):
            self.call(z, shape)

    def test_refused_objects(self, z):
        cases = [
            ("23", "argument 'shape': Can't extract `str` to `Vec`"),
            (5, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
            ({1: 2}, "argument 'shape': 'dict' object cannot be converted to 'Sequence'"),
            ({1, 2}, "argument 'shape': 'set' object cannot be converted to 'Sequence'"),
            ((i for i in []), "argument 'shape': 'generator' object cannot be converted to 'Sequence'"),
            (None, "argument 'shape': 'NoneType' object cannot be converted to 'Sequence'"),
        ]
        for shape, expected in cases:
            with pytest.raises(TypeError) as error:
                z.tensor_sum_f32_strided(0, shape, [])
            assert message(error) == expected

    def test_bad_items(self, z):
        with pytest.raises(OverflowError):
            z.tensor_sum_f32_strided(0, [2**63], [])
        with pytest.raises(TypeError, match="^argument 'strides': "):
            z.tensor_sum_f32_strided(0, [1], [1.5])

    def test_lying_length_is_only_a_hint(self, z):
        class Liar:
            def __len__(self):
                return sys.maxsize

            def __getitem__(self, i):
                if i < 3:
                    return i
                raise IndexError

        self.call(z, Liar())

        class NoLength:
            def __len__(self):
                raise RuntimeError("no length")

            def __getitem__(self, i):
                if i < 2:
                    return 1
                raise IndexError

        self.call(z, NoLength())

    def test_iteration_failure(self, z):
        class Broken:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            z.tensor_sum_f32_strided(0, Broken(), [])

    def test_i32_sequences(self, z):
        ok = dict(op=0, a_ptr=0, b_ptr=0, out_ptr=0, shape=[], strides_a=[], strides_b=[], size=0, size_a=0, size_b=0)
        with pytest.raises(RuntimeError, match="^Metal is only available on macOS$"):
            z.metal_broadcast_op(**{**ok, "shape": [-(2**31), 2**31 - 1]})
        for bad in (2**31, -(2**31) - 1):
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                z.metal_broadcast_op(**{**ok, "strides_b": [0, bad]})
        with pytest.raises(TypeError, match="^argument 'strides_a': Can't extract `str` to `Vec`$"):
            z.metal_broadcast_op(**{**ok, "strides_a": "12"})


class TestSmallIntegers:
    def test_signed_32(self, z):
        rest = (0, 0, 0, [], [], [], 0, 0, 0)
        for op in (-(2**31), 0, 2**31 - 1, Index(3)):
            with pytest.raises(RuntimeError):
                z.metal_broadcast_op(op, *rest)
        for op in (2**31, -(2**31) - 1, 2**40):
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                z.metal_broadcast_op(op, *rest)
        with pytest.raises(OverflowError) as host:
            z.metal_broadcast_op(2**64, *rest)
        assert "out of range integral" not in message(host)

    def test_unsigned_8(self, z):
        before = z.get_backend_policy()
        try:
            for bad in (256, -1, -(2**40)):
                with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                    z.set_backend_policy(bad)
                assert z.get_backend_policy() == before
            with pytest.raises(TypeError, match="^argument 'policy': "):
                z.set_backend_policy("1")
            z.set_backend_policy(Index(255))
        finally:
            z.set_backend_policy(0)


class TestOptionalText:
    def test_values(self, z):
        z.set_profile_context()
        z.set_profile_context(None)
        z.set_profile_context(context="label")
        z.set_profile_context("é 漢字")
        z.set_profile_context(None)

    def test_refused(self, z):
        with pytest.raises(TypeError) as error:
            z.set_profile_context(5)
        assert message(error) == "argument 'context': 'int' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError, match="^argument 'context': 'bytes' object"):
            z.get_profile_report(b"x")
        with pytest.raises(UnicodeEncodeError):
            z.set_profile_context("\udc80")
