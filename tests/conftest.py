"""Shared helpers for the Python tests."""

import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = os.environ.get("ZOLTRA_SANITIZED_BUILD") == "1"
# The test command's runs on the other Python versions, which check what
# depends on the interpreter and leave the rest to the main stage.
OTHER_PYTHON = os.environ.get("ZOLTRA_OTHER_PYTHON") == "1"


def run_child(code, env=None, cpus=None, timeout=120):
    """Runs `code` in a fresh interpreter and returns the CompletedProcess.

    `env` adds to (or, with a value of None, removes from) the environment;
    `cpus` pins the child to those processors before anything is imported.
    """
    child_env = dict(os.environ)
    for key, value in (env or {}).items():
        if value is None:
            child_env.pop(key, None)
        else:
            child_env[key] = value
    prelude = ""
    if cpus is not None:
        prelude = f"import os\nos.sched_setaffinity(0, {set(cpus)!r})\n"
    source = prelude + textwrap.dedent(code)
    return subprocess.run(
        [sys.executable, "-c", source],
        env=child_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def child_output(code, **kwargs):
    """Runs `code` in a fresh interpreter and returns its standard output,
    failing the test with the child's standard error if it failed."""
    done = run_child(code, **kwargs)
    if done.returncode != 0:
        pytest.fail(f"child failed ({done.returncode}):\n{done.stderr}")
    return done.stdout


@pytest.fixture
def z():
    import _zoltra_rust

    return _zoltra_rust


@pytest.fixture
def profiling(z):
    """Profiling on with an empty store for the test; off and empty after."""
    z.clear_profile()
    z.enable_profiling()
    yield z
    z.disable_profiling()
    z.clear_profile()
    z.set_profile_context(None)
