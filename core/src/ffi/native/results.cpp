#include "ffi/native/results.hpp"

#include <cstring>

#include "ffi/native/numpy_api.hpp"

namespace zoltra::native {

using ffi::checked;
using ffi::HostError;

namespace {

// torch.empty, torch.float32 and the keyword names (dtype,), found once in the
// already imported package.
struct TorchEmpty {
  PyObject* empty = nullptr;
  PyObject* float32 = nullptr;
  PyObject* kwnames = nullptr;
};

const TorchEmpty& torch_empty() {
  static TorchEmpty t;
  if (t.empty == nullptr) {
    Ref module = checked(PyImport_GetModule(checked(PyUnicode_FromString("torch")).get()));
    t.float32 = checked(PyObject_GetAttrString(module.get(), "float32")).release();
    t.kwnames = checked(Py_BuildValue("(s)", "dtype")).release();
    t.empty = checked(PyObject_GetAttrString(module.get(), "empty")).release();
  }
  return t;
}

Ref shape_tuple(const std::int64_t* shape, int ndim) {
  Ref tuple = checked(PyTuple_New(ndim));
  for (int i = 0; i < ndim; ++i) PyTuple_SET_ITEM(tuple.get(), i, checked(PyLong_FromLongLong(shape[i])).release());
  return tuple;
}

bool same_shape(const View& like, const std::int64_t* shape, int ndim) {
  return like.ndim == ndim && std::memcmp(like.shape, shape, sizeof(std::int64_t) * ndim) == 0;
}

// from_dlpack of the package that defined the type of `obj`, if imported.
PyObject* package_from_dlpack(PyObject* obj) {
  Ref module_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  if (!module_name || !PyUnicode_Check(module_name.get())) {
    PyErr_Clear();
    return nullptr;
  }
  Ref parts = checked(PyUnicode_Partition(module_name.get(), checked(PyUnicode_FromString(".")).get()));
  Ref package(PyImport_GetModule(PyTuple_GET_ITEM(parts.get(), 0)));
  if (!package) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* from_dlpack = PyObject_GetAttrString(package.get(), "from_dlpack");
  if (from_dlpack == nullptr) PyErr_Clear();
  Py_XDECREF(from_dlpack);  // the module keeps it alive
  return from_dlpack;
}

}  // namespace

Result::Result(const View& like, const std::int64_t* shape, int ndim) {
  if (like.source == Source::kTensor) {
    const TorchEmpty& t = torch_empty();
    Ref shape_object = same_shape(like, shape, ndim) && like.tensor_shape ? Ref(Py_NewRef(like.tensor_shape.get()))
                                                                          : shape_tuple(shape, ndim);
    PyObject* args[] = {shape_object.get(), t.float32};
    object_ = checked(PyObject_Vectorcall(t.empty, args, 1, t.kwnames));
    static PyObject* data_ptr = PyUnicode_InternFromString("data_ptr");
    PyObject* self[] = {object_.get()};
    Ref address = checked(PyObject_VectorcallMethod(data_ptr, self, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    data_ = static_cast<float*>(PyLong_AsVoidPtr(address.get()));
    if (PyErr_Occurred()) throw HostError{};
    return;
  }
  npy_intp dims[kMaxDims];
  for (int i = 0; i < ndim; ++i) dims[i] = static_cast<npy_intp>(shape[i]);
  object_ = checked(PyArray_SimpleNew(ndim, dims, NPY_FLOAT32));
  data_ = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(object_.get())));
  if (like.source == Source::kOther) from_dlpack_ = package_from_dlpack(like.object);
}

PyObject* Result::release() {
  if (from_dlpack_ != nullptr) return checked(PyObject_CallOneArg(from_dlpack_, object_.get())).release();
  return object_.release();
}

}  // namespace zoltra::native
