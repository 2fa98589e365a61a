"""The installed module is self-contained: it carries its own OpenBLAS and
imports in a clean environment; its type stubs are installed beside it."""

import json
import os
import subprocess
import sys

import pytest


def installed_dir(z):
    directory = os.path.dirname(os.path.abspath(z.__file__))
    if not os.path.isdir(os.path.join(directory, "_zoltra_rust.libs")):
        pytest.skip("runs against the installed module (this run uses a build tree)")
    return directory


def test_imports_in_a_clean_environment_with_its_own_openblas(z):
    directory = installed_dir(z)
    code = (
        "import json, _zoltra_rust, threadpoolctl\n"
        "info = threadpoolctl.threadpool_info()\n"
        "print(json.dumps([i for i in info if i.get('internal_api') == 'openblas']))\n"
    )
    env = {"PATH": "/usr/bin:/bin"}
    done = subprocess.run([sys.executable, "-I", "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    libraries = json.loads(done.stdout)
    ours = [lib for lib in libraries if os.path.dirname(lib["filepath"]) == os.path.join(directory, "_zoltra_rust.libs")]
    assert ours, libraries
    assert ours[0]["num_threads"] >= 1


def test_openblas_threads_can_be_limited(z):
    installed_dir(z)
    threadpoolctl = pytest.importorskip("threadpoolctl")
    with threadpoolctl.threadpool_limits(limits=1, user_api="blas"):
        infos = [i for i in threadpoolctl.threadpool_info() if "_zoltra_rust.libs" in i["filepath"]]
        assert infos and all(i["num_threads"] == 1 for i in infos)


def test_type_stubs_are_installed(z):
    directory = installed_dir(z)
    stub = os.path.join(directory, "_zoltra_rust-stubs", "__init__.pyi")
    with open(stub) as handle:
        text = handle.read()
    for name in z.__all__:
        assert f"def {name}(" in text, name


def test_array_layer_and_licences_are_installed(z):
    installed_dir(z)
    import importlib.metadata

    import zoltra_native

    assert os.path.isfile(os.path.join(os.path.dirname(zoltra_native.__file__), "py.typed"))
    files = {str(f) for f in importlib.metadata.distribution("zoltra-native").files}
    assert {"zoltra_native-0.2.4.dist-info/licenses/LICENSE",
            "zoltra_native-0.2.4.dist-info/licenses/OpenBLAS-LICENSE.txt"} <= files
