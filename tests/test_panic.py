"""Internal aborts reach Python as PanicException.

The real module has no way to abort on purpose, so these tests use the
test-only module _zoltra_panic_probe, built beside the sanitizer build from
the same boundary code. Its absence is reported as a skip, never silently."""

import pytest

probe = pytest.importorskip(
    "_zoltra_panic_probe",
    reason="the test-only abort probe is built only with the sanitizer build (it runs there)",
)


def catch(function):
    try:
        function()
    except Exception:  # noqa: BLE001 - must not catch a PanicException
        pytest.fail("PanicException was caught by a handler for Exception")
    except BaseException as error:  # noqa: BLE001
        return error
    pytest.fail("no exception")


def test_panic_exception_type(capfd):
    error = catch(probe.panic_with_message)
    kind = type(error)
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__qualname__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert "BaseException" in kind.__doc__
    assert error.args == ("probe abort",)
    assert "probe abort" in capfd.readouterr().err
    # Created once: every abort raises the same type.
    assert type(catch(probe.panic_without_message)) is kind
    assert catch(probe.panic_without_message).args[0]


def test_nested_arena_use_aborts_and_releases(capfd):
    error = catch(probe.nested_arena)
    assert type(error).__qualname__ == "PanicException"
    assert "arena" in str(error)
    # Both scopes were left on the way out: the arena is free again.
    assert probe.arena_is_free() is True
    capfd.readouterr()


def test_abort_on_a_pool_thread_reaches_the_caller(capfd):
    error = catch(probe.panic_on_pool)
    assert str(error) == "probe abort on a pool thread"
    assert "probe abort on a pool thread" in capfd.readouterr().err
