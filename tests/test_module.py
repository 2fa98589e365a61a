"""The module object: initialisation, the function table, docstrings."""

import importlib
import inspect
import subprocess
import sys

import pytest

from conftest import child_output
from function_table import TABLE

DESCRIPTIONS = {
    "get_system_capabilities": "Get system capabilities as a Python dict",
    "get_capabilities_summary": "Get a human-readable summary of system capabilities",
}


def test_all_lists_the_table_in_order(z):
    assert z.__all__ == [name for name, _ in TABLE]


@pytest.mark.parametrize("name,signature", TABLE)
def test_function_surface(z, name, signature):
    function = getattr(z, name)
    assert function.__module__ == "_zoltra_rust"
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == DESCRIPTIONS.get(name)
    assert function.__self__ is z


def test_module_docstring(z):
    lines = z.__doc__.split("\n")
    assert len(lines) == 4
    assert lines[1] == ""
    assert lines[3] == "All function signatures use raw pointers for zero-copy performance."
    assert not z.__doc__.endswith("\n")


def test_reimport_returns_the_same_module(z):
    del sys.modules["_zoltra_rust"]
    again = importlib.import_module("_zoltra_rust")
    assert again is z
    assert again.__all__ == [name for name, _ in TABLE]


def test_only_init_function_is_exported(z):
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", z.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = [
        fields[2] for fields in (line.split() for line in listing.splitlines())
        if len(fields) == 3 and fields[1].isupper()
    ]
    assert exported == ["PyInit__zoltra_rust"]


def test_second_interpreter_is_refused(tmp_path):
    # A legacy (shared-lock) sub-interpreter, so that the import reaches the
    # module's own check: an isolated one is refused by the host before it.
    # The low-level module and its create() changed in 3.12 and 3.13; the
    # result comes back through a file, which works with every version.
    result = tmp_path / "result"
    out = child_output(
        f"""
        import _zoltra_rust
        try:
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            try:
                interp = interpreters.create(isolated=False)
            except TypeError:
                interp = interpreters.create()
        interpreters.run_string(interp, (
            "try:\\n"
            "    import _zoltra_rust\\n"
            "    result = 'imported'\\n"
            "except ImportError as error:\\n"
            "    result = 'ImportError: ' + str(error)\\n"
            "open({str(result)!r}, 'w').write(result)\\n"
        ))
        print(open({str(result)!r}).read())
        """
    )
    assert out.startswith("ImportError: ")
    assert "sub-interpreters" in out
