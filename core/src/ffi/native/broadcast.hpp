#pragma once
// The functions with NumPy's broadcasting: operands of any kind the layer
// reads, or real Python or NumPy scalars rounded to float32, their shapes
// broadcast together, and the float32 destination of a call.
#include <Python.h>

#include <cstdint>
#include <optional>

#include "ffi/native/results.hpp"
#include "ffi/native/views.hpp"
#include "ops/broadcast.hpp"

namespace zoltra::native {

struct Operand {
  View view;
  float value = 0.0f;  // a scalar's float32 value
  bool scalar = false;
  PyObject* object = nullptr;      // the caller's argument (borrowed)
  std::int64_t strides[kMaxDims];  // bytes, over the broadcast shape
  const char* data() const noexcept { return scalar ? reinterpret_cast<const char*>(&value) : view.data; }
  int ndim() const noexcept { return scalar ? 0 : view.ndim; }
};

// A float32 array or a real scalar (with `dtype` kBool: a bool array only).
void read_operand(PyObject* obj, const char* name, Operand& operand, DType dtype = DType::kFloat32);

// The broadcast shape of `count` operands, each one's strides spread over it
// (0 where it has no dimension or an extent of 1); returns its ndim. Refuses
// operands that are all scalars, or shapes that do not broadcast, naming the
// first operand that does not fit the ones before it.
int broadcast_operands(Operand* const* operands, const char* const* names, int count, std::int64_t* shape);

// a and b from args[0] and args[1], broadcast; returns the ndim of `shape`.
int read_pair(PyObject* const* args, Operand& a, Operand& b, std::int64_t* shape);

// Where a float32 result goes: the caller's `out` (a writable C-contiguous
// float32 array of the shape, apart from every input or the very same
// buffer as one) or a new array of the kind of the first array operand.
class FloatTarget {
 public:
  FloatTarget(PyObject* out_arg, const std::int64_t* shape, int ndim, Operand* const* inputs, int count);
  float* data() const noexcept { return data_; }
  // Row-major byte strides of the result.
  const std::int64_t* strides() const noexcept { return strides_; }
  // The object to return (a new reference).
  PyObject* release();

 private:
  PyObject* out_object_ = nullptr;
  View out_;
  std::optional<Result> result_;
  float* data_ = nullptr;
  std::int64_t strides_[kMaxDims];
};

// Row-major byte strides of a C-contiguous array of `itemsize`-byte elements;
// returns the element count.
std::uint64_t contiguous_strides(const std::int64_t* shape, int ndim, std::int64_t itemsize, std::int64_t* strides);

// The body of add/sub/mul/div/maximum/minimum(a, b, out=None); args as the
// entry passes them.
PyObject* broadcast_elementwise(PyObject* const* args, const char* operation, ops::BinaryOp op);

}  // namespace zoltra::native
