"""Shared helpers for the Python tests."""

import os
import platform
import shlex
import shutil
import subprocess
import sys
import textwrap

import pytest

SANITIZED = os.environ.get("ZOLTRA_SANITIZED_BUILD") == "1"
# The test command's runs on the other Python versions, which check what
# depends on the interpreter and leave the rest to the main stage.
OTHER_PYTHON = os.environ.get("ZOLTRA_OTHER_PYTHON") == "1"

# The processor model this interpreter runs as under qemu-user
# (`qemu-x86_64 -cpu MODEL python -m pytest`), or None on the real processor.
# /proc/cpuinfo still describes the host there, and a child started with
# sys.executable alone would run on the host, so children are started under
# the same emulation.
EMULATED_CPU = os.environ.get("ZOLTRA_EMULATED_CPU") or None

# The command line (qemu-aarch64 and its options) that runs this interpreter,
# an aarch64 build, on this x86-64 machine, as scripts/test-aarch64.sh runs
# the suite; children are started under it too. Tests of many GiB or minutes
# skip there, and x86 processor models play no part.
AARCH64_EMULATOR = os.environ.get("ZOLTRA_AARCH64_EMULATOR") or None
# The capability report's name of the processor architecture.
ARCH = "Aarch64" if platform.machine() == "aarch64" else "X86_64"



def python_command():
    """The command line that starts this interpreter in a child process."""
    if AARCH64_EMULATOR is not None:
        return [*shlex.split(AARCH64_EMULATOR), sys.executable]
    return [sys.executable]


# The OpenBLAS kernels each emulated model can run: OpenBLAS picks its own by
# processor model, and would use FMA on an AVX2 model whose FMA is masked.
OPENBLAS_CORETYPE = {"Haswell": "Haswell", "Haswell,-fma": "Sandybridge", "Nehalem": "Nehalem"}


def run_child(code, env=None, cpus=None, timeout=120, emulate=EMULATED_CPU):
    """Runs `code` in a fresh interpreter and returns the CompletedProcess.

    `env` adds to (or, with a value of None, removes from) the environment;
    `cpus` pins the child to those processors before anything is imported;
    `emulate` names the qemu processor model the child runs as (by default
    the one this interpreter runs as), skipping the test when qemu-x86_64 is
    not installed.
    """
    command = python_command()
    child_env = dict(os.environ)
    if AARCH64_EMULATOR is not None:
        timeout *= 10
    elif emulate is not None:
        qemu = shutil.which("qemu-x86_64")
        if qemu is None:
            pytest.skip(f"qemu-x86_64 (Debian package qemu-user) is needed to run as {emulate}")
        command = [qemu, "-cpu", emulate, sys.executable]
        child_env["OPENBLAS_CORETYPE"] = OPENBLAS_CORETYPE[emulate]
        child_env["ZOLTRA_EMULATED_CPU"] = emulate
        timeout *= 10
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
        [*command, "-c", source],
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
