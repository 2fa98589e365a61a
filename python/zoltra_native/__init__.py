"""Safe, array-taking front end of the ``_zoltra_rust`` kernels.

Takes NumPy arrays, PyTorch CPU tensors and any object that exports DLPack,
the array interface or the buffer protocol, without copying, checks
everything the raw address-taking functions cannot (dtype, device, shapes,
writability, overlap, emptiness) and raises TypeError (kind, dtype, device)
or ValueError (shape, writability, overlap, empty input) naming the argument,
before any memory is touched.

    import numpy as np, zoltra_native as zn
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    zn.sum(x)              # 15.0
    zn.matmul(x, x.T)      # a new (2, 2) NumPy array
    zn.add(x, x, out=x)    # in place
    zn.mul(x, 0.5)         # scalars and NumPy's broadcasting: zn.add(x, x[0])
    zn.sum(x, axis=0)      # over axes, each element the sum of its sub-view
    zn.matmul(x, x[0])     # 1-D operands and stacks, as np.matmul

The functions are compiled (``zoltra_native._native``) and share one runtime
with ``_zoltra_rust``: the same worker pool, profiler and dispatch record.
PyTorch is never imported here: a tensor's result is made by ``torch.empty``
of the already imported package.
"""

from importlib.metadata import PackageNotFoundError as _NotInstalled, version as _version

try:
    __version__ = _version("zoltra-native")
except _NotInstalled:  # a source tree on sys.path
    __version__ = "0+unknown"
del _NotInstalled, _version

# A build tree keeps the compiled module in <build>/zoltra_native, beside no
# Python files; extend_path adds it when that folder is on sys.path.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from ._native import add, all, any, div, dot, matmul, max, mean, min, mul, sub, sum  # noqa: E402
from ._native import argmax, argmin, maximum, minimum, where  # noqa: E402
from ._native import equal, greater, greater_equal, less, less_equal, not_equal  # noqa: E402
from ._native import exp, log, sqrt, tanh  # noqa: E402
from ._profile import Profile, profile  # noqa: E402

__all__ = [
    "add", "sub", "mul", "div",
    "sum", "mean", "max", "min", "all", "any",
    "dot", "matmul",
    "maximum", "minimum",
    "greater", "greater_equal", "less", "less_equal", "equal", "not_equal", "where",
    "argmax", "argmin",
    "exp", "log", "sqrt", "tanh",
    "profile", "Profile",
]
