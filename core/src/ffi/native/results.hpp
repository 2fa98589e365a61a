#pragma once
// New float32 results, C-contiguous, made once and of the caller's kind: a
// NumPy array for NumPy arrays and buffers, a tensor through torch.empty for
// tensors, and for another DLPack exporter the NumPy array passed to its
// package's from_dlpack.
#include <Python.h>

#include <cstdint>

#include "ffi/native/views.hpp"

namespace zoltra::native {

// from_dlpack of the package that defined the type of `obj` if that package is
// imported and has one, else null.
Ref package_from_dlpack(PyObject* obj);

class Result {
 public:
  // A result of `shape` for a call whose first array is `like`.
  Result(const View& like, const std::int64_t* shape, int ndim);
  float* data() const noexcept { return data_; }
  // The object to return (a new reference).
  PyObject* release();

 private:
  Ref object_;
  float* data_ = nullptr;
  Ref from_dlpack_;
};

// A new C-contiguous result of NumPy's type number `type` (bool, int32,
// int64) of the caller's kind: a NumPy array, handed to the from_dlpack of
// the package that made `like` otherwise.
class TypedResult {
 public:
  TypedResult(const View& like, const std::int64_t* shape, int ndim, int type);
  void* data() const noexcept;
  // The object to return (a new reference).
  PyObject* release();

 private:
  Ref array_;
  Ref from_dlpack_;
};

}  // namespace zoltra::native
