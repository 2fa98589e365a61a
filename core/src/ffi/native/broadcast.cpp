// The element-wise functions: operands of any kind the layer reads, or real
// Python or NumPy scalars rounded to float32 (at least one operand an array),
// broadcast by NumPy's rules and read where they lie by the broadcasting walk.
#include "ffi/native/broadcast.hpp"

#include <string>

#include "ffi/native/layer.hpp"
#include "ffi/native/numpy_api.hpp"
#include "ffi/native/out_checks.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

// A real Python number or NumPy scalar; complex ones and everything else are
// left to the array readers.
bool real_scalar(PyObject* obj) {
  if (PyFloat_Check(obj) || PyLong_Check(obj)) return true;
  return PyArray_IsScalar(obj, Floating) || PyArray_IsScalar(obj, Integer) || PyArray_IsScalar(obj, Bool);
}

}  // namespace

void read_operand(PyObject* obj, const char* name, Operand& operand, DType dtype) {
  operand.object = obj;
  if (dtype == DType::kFloat32 && real_scalar(obj)) {
    operand.scalar = true;
    if (PyArray_IsScalar(obj, Generic)) {
      // NumPy's own cast, rounded once as np.float32(x) does: through a
      // double, an int64 or a longdouble would be rounded twice.
      static PyArray_Descr* const float32 = PyArray_DescrFromType(NPY_FLOAT32);  // kept for the process
      if (PyArray_CastScalarToCtype(obj, &operand.value, float32) < 0) throw ffi::HostError{};
      return;
    }
    // Through a double, then rounded to nearest: NumPy 2's conversion of a
    // Python number for a float32 array.
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw ffi::HostError{};
    operand.value = static_cast<float>(value);
    return;
  }
  read_view(obj, name, operand.view);
  require_dtype(operand.view, name, dtype);
}

int broadcast_operands(Operand* const* operands, const char* const* names, int count, std::int64_t* shape) {
  int ndim = 0;
  bool any_array = false;
  for (int k = 0; k < count; ++k) {
    const Operand& o = *operands[k];
    if (o.scalar && !any_array && k == count - 1) {
      fail(PyExc_TypeError, names[k],
           std::string("expected an array when '") + names[0] + "' is a scalar, got " + Py_TYPE(o.object)->tp_name);
    }
    any_array = any_array || !o.scalar;
    const int own = o.ndim(), wide = own > ndim ? own : ndim;
    std::int64_t merged[kMaxDims];
    for (int d = 0; d < wide; ++d) {
      const int is = d - (wide - ndim), io = d - (wide - own);
      const std::int64_t es = is < 0 ? 1 : shape[is], eo = io < 0 ? 1 : o.view.shape[io];
      if (es != eo && es != 1 && eo != 1) {
        const std::string before = k == 1 ? std::string("the shape of '") + names[0] + "'"
                                          : "the broadcast shape of the operands before";
        fail(PyExc_ValueError, names[k],
             "expected a shape that broadcasts with " + shape_text(shape, ndim) + " (" + before + "), got " +
                 shape_text(o.view.shape, own));
      }
      merged[d] = es == 1 ? eo : es;
    }
    for (int d = 0; d < wide; ++d) shape[d] = merged[d];
    ndim = wide;
  }
  for (int k = 0; k < count; ++k) {
    Operand& o = *operands[k];
    for (int d = 0; d < ndim; ++d) {
      const int own = d - (ndim - o.ndim());
      o.strides[d] = o.scalar || own < 0 || o.view.shape[own] != shape[d] ? 0 : o.view.strides[own];
    }
  }
  return ndim;
}

std::uint64_t contiguous_strides(const std::int64_t* shape, int ndim, std::int64_t itemsize, std::int64_t* strides) {
  // Unsigned, so that a shape too big for memory wraps instead of overflowing:
  // its result is refused before these strides are used.
  std::uint64_t count = 1;
  std::uint64_t step = static_cast<std::uint64_t>(itemsize);
  for (int d = ndim; d-- > 0;) {
    strides[d] = static_cast<std::int64_t>(step);
    step *= static_cast<std::uint64_t>(shape[d]);
    count *= static_cast<std::uint64_t>(shape[d]);
  }
  return count;
}

FloatTarget::FloatTarget(PyObject* out_arg, const std::int64_t* shape, int ndim, Operand* const* inputs, int count) {
  contiguous_strides(shape, ndim, 4, strides_);
  if (out_arg != nullptr && out_arg != Py_None) {
    out_object_ = out_arg;
    read_out(out_arg, out_, shape, ndim);
    for (int k = 0; k < count; ++k) {
      const Operand& input = *inputs[k];
      if (!input.scalar && overlap(out_, input.view) && !same_elements(out_, input.view)) {
        fail(PyExc_ValueError, "out", "overlaps an input without being the very same buffer");
      }
    }
    data_ = reinterpret_cast<float*>(out_.data);
    return;
  }
  int first = 0;
  while (inputs[first]->scalar) ++first;
  result_.emplace(inputs[first]->view, shape, ndim);
  data_ = result_->data();
}

PyObject* FloatTarget::release() { return out_object_ != nullptr ? Py_NewRef(out_object_) : result_->release(); }

int read_pair(PyObject* const* args, Operand& a, Operand& b, std::int64_t* shape) {
  read_operand(args[0], "a", a);
  read_operand(args[1], "b", b);
  Operand* operands[] = {&a, &b};
  const char* names[] = {"a", "b"};
  return broadcast_operands(operands, names, 2, shape);
}

PyObject* broadcast_elementwise(PyObject* const* args, const char* operation, ops::BinaryOp op) {
  Operand a, b;
  std::int64_t shape[kMaxDims];
  const int ndim = read_pair(args, a, b, shape);
  Operand* inputs[] = {&a, &b};
  FloatTarget target(args[2], shape, ndim, inputs, 2);
  std::uint64_t count = 1;
  for (int d = 0; d < ndim; ++d) count *= static_cast<std::uint64_t>(shape[d]);
  if (count != 0) {
    WithoutGil unlocked(count >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
    ops::broadcast_f32_cpu(op, static_cast<std::uint64_t>(ndim), shape, reinterpret_cast<const float*>(a.data()),
                           a.strides, reinterpret_cast<const float*>(b.data()), b.strides, target.data(),
                           target.strides());
  }
  return target.release();
}

}  // namespace zoltra::native
