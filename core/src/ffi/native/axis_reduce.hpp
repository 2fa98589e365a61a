#pragma once
// sum, mean, max, min, all, any over axes (axis=, keepdims=).
#include <Python.h>

namespace zoltra::native {

enum class AxisReduction : unsigned char { kSum, kMean, kMax, kMin, kAll, kAny };

// True when the call asks for more than the whole reduction as a Python
// scalar: an axis other than None, or a true keepdims. args: x, axis, keepdims.
bool wants_axes(PyObject* const* args);

// The body for such a call: an array of the kind of x.
PyObject* axis_reduction(PyObject* const* args, AxisReduction reduction);

}  // namespace zoltra::native
