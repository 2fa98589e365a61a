"""zoltra_native as a checker sees it: `mypy --strict` on the user scripts in
typecheck/, which call every function and pin each result's exact type, run
against the package this interpreter imports (source tree or installed)."""

import os
import runpy
import subprocess
import sys

import pytest

import _zoltra_rust
import zoltra_native as zn

from conftest import AARCH64_EMULATOR, OTHER_PYTHON

pytestmark = pytest.mark.skipif(AARCH64_EMULATOR is not None,
                                reason="mypy, not installed for aarch64, checks annotations the same on every processor; the x86-64 stages run it")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def checker_env():
    """This interpreter's environment, plus the source tree's raw-module stubs
    when none are installed beside the module (a build tree)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # a sanitizer runtime: the checker runs none of the module's code
    if not os.path.isdir(os.path.join(os.path.dirname(_zoltra_rust.__file__), "_zoltra_rust-stubs")):
        paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
        env["PYTHONPATH"] = os.pathsep.join([*paths, os.path.join(ROOT, "stubs")])
    return env


@pytest.mark.parametrize("script", ["numpy_user.py", "torch_user.py"])
def test_mypy_strict_infers_every_result(script):
    if script == "torch_user.py":
        try:
            import torch  # noqa: F401
        except ImportError:
            if not OTHER_PYTHON:
                raise
            pytest.skip("PyTorch is not installed for the other Python versions (numpy_user.py runs without it)")
    path = os.path.join(HERE, "typecheck", script)
    with open(path) as handle:
        text = handle.read()
    assert [name for name in zn.__all__ if name.islower() and f"zn.{name}" not in text] == []
    # The cache outlives the run: a cold check of PyTorch's types takes 20 s.
    cache = os.path.join(ROOT, "build", "mypy-cache")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", cache, path],
        env=checker_env(), capture_output=True, text=True, timeout=900,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    runpy.run_path(path)  # and the calls are valid ones
