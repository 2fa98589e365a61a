#pragma once
// matmul of 1-D operands and of stacks, by NumPy's matmul rules.
#include <Python.h>

#include "ffi/native/views.hpp"

namespace zoltra::native {

// The body of matmul(a, b, out) for float32 operands that are not both 2-D.
PyObject* matmul_stacks(const View& a, const View& b, PyObject* out_object);

}  // namespace zoltra::native
