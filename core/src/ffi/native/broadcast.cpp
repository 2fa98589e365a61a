// The element-wise functions: operands of any kind the layer reads, or real
// Python or NumPy scalars rounded to float32 (at least one operand an array),
// broadcast by NumPy's rules and read where they lie by the broadcasting walk.
#include "ffi/native/broadcast.hpp"

#include <optional>
#include <string>

#include "ffi/native/layer.hpp"
#include "ffi/native/numpy_api.hpp"
#include "ffi/native/out_checks.hpp"
#include "ffi/native/results.hpp"
#include "ffi/native/views.hpp"
#include "profiler/core.hpp"

namespace zoltra::native {

namespace {

// A real Python number or NumPy scalar; complex ones and everything else are
// left to the array readers.
bool real_scalar(PyObject* obj) {
  if (PyFloat_Check(obj) || PyLong_Check(obj)) return true;
  return PyArray_IsScalar(obj, Floating) || PyArray_IsScalar(obj, Integer) || PyArray_IsScalar(obj, Bool);
}

struct Operand {
  View view;
  float value = 0.0f;  // a scalar's float32 value
  bool scalar = false;
  std::int64_t strides[kMaxDims];  // bytes, over the broadcast shape
  const float* data() const noexcept {
    return scalar ? &value : reinterpret_cast<const float*>(view.data);
  }
};

void read_operand(PyObject* obj, const char* name, Operand& operand) {
  if (real_scalar(obj)) {
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
  require_dtype(operand.view, name, DType::kFloat32);
}

// The strides of `operand` over `shape` (ndim dimensions, the operand's own
// aligned to the right): 0 where it has no dimension or an extent of 1.
void spread(Operand& operand, const std::int64_t* shape, int ndim) {
  const View& v = operand.view;
  for (int d = 0; d < ndim; ++d) {
    const int own = d - (ndim - (operand.scalar ? 0 : v.ndim));
    operand.strides[d] = operand.scalar || own < 0 || v.shape[own] != shape[d] ? 0 : v.strides[own];
  }
}

}  // namespace

PyObject* broadcast_elementwise(PyObject* const* args, const char* operation, ops::BinaryOp op) {
  Operand a, b;
  read_operand(args[0], "a", a);
  read_operand(args[1], "b", b);
  if (a.scalar && b.scalar) {
    fail(PyExc_TypeError, "b",
         std::string("expected an array when 'a' is a scalar, got ") + Py_TYPE(args[1])->tp_name);
  }
  const int a_ndim = a.scalar ? 0 : a.view.ndim, b_ndim = b.scalar ? 0 : b.view.ndim;
  const int ndim = a_ndim > b_ndim ? a_ndim : b_ndim;
  std::int64_t shape[kMaxDims];
  for (int d = 0; d < ndim; ++d) {
    const int ia = d - (ndim - a_ndim), ib = d - (ndim - b_ndim);
    const std::int64_t ea = ia < 0 ? 1 : a.view.shape[ia], eb = ib < 0 ? 1 : b.view.shape[ib];
    if (ea != eb && ea != 1 && eb != 1) {
      fail(PyExc_ValueError, "b",
           "expected a shape that broadcasts with " + shape_text(a.view.shape, a_ndim) + " (the shape of 'a'), got " +
               shape_text(b.view.shape, b_ndim));
    }
    shape[d] = ea == 1 ? eb : ea;
  }
  spread(a, shape, ndim);
  spread(b, shape, ndim);

  PyObject* out_object = args[2] != nullptr && args[2] != Py_None ? args[2] : nullptr;
  View out;
  std::optional<Result> result;
  float* target;
  std::int64_t out_strides[kMaxDims];
  if (out_object != nullptr) {
    read_out(out_object, out, shape, ndim);
    for (const Operand* input : {&a, &b}) {
      if (!input->scalar && overlap(out, input->view) && !same_elements(out, input->view)) {
        fail(PyExc_ValueError, "out", "overlaps an input without being the very same buffer");
      }
    }
    target = reinterpret_cast<float*>(out.data);
  } else {
    result.emplace(a.scalar ? b.view : a.view, shape, ndim);
    target = result->data();
  }
  std::uint64_t count = 1;
  std::int64_t step = 4;
  for (int d = ndim; d-- > 0;) {
    out_strides[d] = step;
    step *= shape[d];
    count *= static_cast<std::uint64_t>(shape[d]);
  }
  if (count != 0) {
    WithoutGil unlocked(count >= kReleaseGilElements);
    profiler::ProfileScope scope(profiler::global_profiler(), operation, "CPU", count);
    ops::broadcast_f32_cpu(op, static_cast<std::uint64_t>(ndim), shape, a.data(), a.strides, b.data(), b.strides,
                           target, out_strides);
  }
  return out_object != nullptr ? Py_NewRef(out_object) : result->release();
}

}  // namespace zoltra::native
