#include "ffi/native/out_checks.hpp"

#include <cstring>

namespace zoltra::native {

void read_out(PyObject* obj, View& out, const std::int64_t* shape, int ndim) {
  read_view(obj, "out", out, /*as_out=*/true);
  require_dtype(out, "out", DType::kFloat32);
  if (out.ndim != ndim || std::memcmp(out.shape, shape, sizeof(std::int64_t) * ndim) != 0) {
    fail(PyExc_ValueError, "out",
         "expected shape " + shape_text(shape, ndim) + ", got " + shape_text(out.shape, out.ndim));
  }
  if (!out.writable) fail(PyExc_ValueError, "out", "expected a writable array");
  if (!out.contiguous()) fail(PyExc_ValueError, "out", "expected a C-contiguous array");
}

}  // namespace zoltra::native
