#pragma once
// matmul of a matrix or a stack of them by a vector.
#include <Python.h>

#include "ffi/native/views.hpp"

namespace zoltra::native {

// The body of matmul(a, v, out) for a float32 `a` of 2 or more dimensions and
// a 1-D `v`: element i of the result is the layer's dot(a[i, :], v), rows over
// the pool, every layout of `a` read where it lies.
PyObject* matmul_vector(const View& a, const View& v, PyObject* out_object);

}  // namespace zoltra::native
