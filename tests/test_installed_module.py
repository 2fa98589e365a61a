"""The installed module is self-contained: it carries its own OpenBLAS, under
a name of its own, and imports in a clean environment; its type stubs,
version and licences are installed beside it."""

import functools
import json
import os
import subprocess

import pytest

from conftest import python_command


def installed_dir(z):
    directory = os.path.dirname(os.path.abspath(z.__file__))
    if not os.path.isdir(os.path.join(directory, "_zoltra_rust.libs")):
        pytest.skip("runs against the installed module (this run uses a build tree)")
    return directory


# Loads our OpenBLAS with a first large product, then prints what
# threadpoolctl finds, with its limit of 1 and without, and whether the
# loader knows a library by our copy's file name (its soname) and by the plain
# name of other packages' copies.
OWN_OPENBLAS_PROBE = """
import ctypes, json, os, sys, numpy as np, _zoltra_rust, threadpoolctl
a = np.ones((256, 256), np.float32)
c = np.empty_like(a)
_zoltra_rust.tensor_matmul_2d_f32(a.ctypes.data, a.ctypes.data, c.ctypes.data, 256, 256, 256)
def ours():
    return [i for i in threadpoolctl.threadpool_info() if os.path.dirname(i["filepath"]) == sys.argv[1]]
def loaded(name):
    try:
        ctypes.CDLL(name, mode=os.RTLD_NOLOAD)
        return True
    except OSError:
        return False
found = ours()
with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
    limited = ours()
name = os.path.basename(found[0]["filepath"]) if found else ""
print(json.dumps([found, limited, name, loaded(name), loaded("libscipy_openblas64_.so")]))
"""


@functools.cache
def own_openblas(directory):
    env = {"PATH": "/usr/bin:/bin"}
    done = subprocess.run([*python_command(), "-I", "-c", OWN_OPENBLAS_PROBE, os.path.join(directory, "_zoltra_rust.libs")],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_imports_in_a_clean_environment_with_its_own_openblas(z):
    found, _, name, by_soname, by_plain_name = own_openblas(installed_dir(z))
    assert len(found) == 1 and found[0]["internal_api"] == "openblas", found
    # Its own file name and soname, not the plain one of other packages' copies.
    assert name.startswith("libscipy_openblas64_zoltra-") and by_soname and not by_plain_name


def test_openblas_threads_can_be_limited(z):
    _, limited, _, _, _ = own_openblas(installed_dir(z))
    assert [lib["num_threads"] for lib in limited] == [1]


def test_type_stubs_are_installed(z):
    directory = installed_dir(z)
    stub = os.path.join(directory, "_zoltra_rust-stubs", "__init__.pyi")
    with open(stub) as handle:
        text = handle.read()
    for name in z.__all__:
        assert f"def {name}(" in text, name


def test_array_layer_version_and_licences_are_installed(z):
    installed_dir(z)
    import importlib.metadata

    import zoltra_native

    assert os.path.isfile(os.path.join(os.path.dirname(zoltra_native.__file__), "py.typed"))
    distribution = importlib.metadata.distribution("zoltra-native")
    assert zoltra_native.__version__ == distribution.version
    licences = {"LICENSE", "OpenBLAS-LICENSE.txt"}
    assert distribution.metadata["License-Expression"] == "BSD-3-Clause"
    assert set(distribution.metadata.get_all("License-File")) == licences
    folder = f"zoltra_native-{distribution.version}.dist-info/licenses"
    assert {f"{folder}/{name}" for name in licences} <= {str(f) for f in distribution.files}
