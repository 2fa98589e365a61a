#pragma once
// The checks of a caller's `out`, shared by the functions that take one.
#include "ffi/native/views.hpp"

namespace zoltra::native {

// Reads `obj` into `out` and refuses it unless it is a writable, C-contiguous
// float32 array of `shape`.
void read_out(PyObject* obj, View& out, const std::int64_t* shape, int ndim);

}  // namespace zoltra::native
