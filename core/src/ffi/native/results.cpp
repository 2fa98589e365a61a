#include "ffi/native/results.hpp"

#include <cstdlib>
#include <new>

#include "ffi/native/dlpack.hpp"

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

// NumPy's bound and message for a new float32 array, applied to every kind of
// result before anything is allocated: the bytes of the extents that are not
// 0 must fit in a signed 64-bit size.
void refuse_too_big(const std::int64_t* shape, int ndim) {
  std::int64_t bytes = 4;
  for (int i = 0; i < ndim; ++i) {
    if (shape[i] != 0 && __builtin_mul_overflow(bytes, shape[i], &bytes)) {
      throw ffi::ModuleError{PyExc_ValueError,
                             "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."};
    }
  }
}

// A C-contiguous float32 DLPack tensor whose memory (64-byte aligned, as
// PyTorch's own) is freed by its deleter, whichever thread drops it last.
struct OwnedTensor {
  dlpack::ManagedTensorVersioned managed;
  std::int64_t shape[kMaxDims];
  std::int64_t strides[kMaxDims];

  static OwnedTensor* make(const std::int64_t* extents, int ndim) {
    std::int64_t count = 1;
    for (int i = 0; i < ndim; ++i) count *= extents[i];
    const std::size_t bytes = (static_cast<std::size_t>(count) * 4 + 63) / 64 * 64 + 64 * (count == 0);
    void* memory = std::aligned_alloc(64, bytes);
    if (memory == nullptr) throw std::bad_alloc();
    auto* t = new (std::nothrow) OwnedTensor;
    if (t == nullptr) {
      std::free(memory);
      throw std::bad_alloc();
    }
    std::int64_t step = 1;
    for (int i = ndim - 1; i >= 0; --i) {
      t->shape[i] = extents[i];
      t->strides[i] = step;
      step *= extents[i];
    }
    t->managed = {{1, 0}, t, &release, 0,
                  {memory, {dlpack::kCpu, 0}, ndim, {dlpack::kFloat, 32, 1}, t->shape, t->strides, 0}};
    return t;
  }

  static void release(dlpack::ManagedTensorVersioned* managed) {
    auto* t = static_cast<OwnedTensor*>(managed->manager_ctx);
    std::free(t->managed.dl_tensor.data);
    delete t;
  }
};

}  // namespace

Ref package_from_dlpack(PyObject* obj) {
  Ref module_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__"));
  if (!module_name || !PyUnicode_Check(module_name.get())) {
    PyErr_Clear();
    return Ref();
  }
  Ref parts = checked(PyUnicode_Partition(module_name.get(), checked(PyUnicode_FromString(".")).get()));
  Ref package(PyImport_GetModule(PyTuple_GET_ITEM(parts.get(), 0)));
  if (!package) {
    PyErr_Clear();
    return Ref();
  }
  Ref from_dlpack(PyObject_GetAttrString(package.get(), "from_dlpack"));
  if (!from_dlpack) PyErr_Clear();
  return from_dlpack;
}

Result::Result(const View& like, const std::int64_t* shape, int ndim) {
  refuse_too_big(shape, ndim);
  if (like.source == Source::kTensor && like.exchange != nullptr) {
    // Memory of our own handed to the tensor's package through its C
    // exchange table: one tensor made, no Python call.
    const auto* api = static_cast<const dlpack::ExchangeApi*>(like.exchange);
    auto* owned = OwnedTensor::make(shape, ndim);
    data_ = static_cast<float*>(owned->managed.dl_tensor.data);
    void* object = nullptr;
    if (dlpack::guarded([&] { return api->managed_tensor_to_py_object_no_sync(&owned->managed, &object); }) != 0) {
      throw HostError{};
    }
    object_ = Ref(static_cast<PyObject*>(object));
    return;
  }
  if (like.source == Source::kTensor) {
    const TorchEmpty& t = torch_empty();
    // torch.empty(d0, d1, ..., dtype=torch.float32): integers are read
    // faster than a tuple of them.
    PyObject* args[kMaxDims + 1];
    Ref extents[kMaxDims];
    for (int i = 0; i < ndim; ++i) {
      extents[i] = checked(PyLong_FromLongLong(shape[i]));
      args[i] = extents[i].get();
    }
    args[ndim] = t.float32;
    object_ = checked(PyObject_Vectorcall(t.empty, args, static_cast<std::size_t>(ndim), t.kwnames));
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
  if (from_dlpack_) return checked(PyObject_CallOneArg(from_dlpack_.get(), object_.get())).release();
  return object_.release();
}

TypedResult::TypedResult(const View& like, const std::int64_t* shape, int ndim, int type) {
  npy_intp dims[kMaxDims];
  for (int i = 0; i < ndim; ++i) dims[i] = static_cast<npy_intp>(shape[i]);
  array_ = checked(PyArray_SimpleNew(ndim, dims, type));
  if (like.source != Source::kNumPy) from_dlpack_ = package_from_dlpack(like.object);
}

void* TypedResult::data() const noexcept { return PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())); }

PyObject* TypedResult::release() {
  if (!from_dlpack_) return array_.release();
  return checked(PyObject_CallOneArg(from_dlpack_.get(), array_.get())).release();
}

}  // namespace zoltra::native
