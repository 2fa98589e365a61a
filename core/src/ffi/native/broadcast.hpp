#pragma once
// add, sub, mul, div with NumPy's broadcasting and real scalars on either side.
#include <Python.h>

#include "ops/broadcast.hpp"

namespace zoltra::native {

// The body of add/sub/mul/div(a, b, out=None); args as the entry passes them.
PyObject* broadcast_elementwise(PyObject* const* args, const char* operation, ops::BinaryOp op);

}  // namespace zoltra::native
