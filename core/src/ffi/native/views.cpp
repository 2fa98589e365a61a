#include "ffi/native/views.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "ffi/native/dlpack.hpp"
#include "ffi/native/numpy_api.hpp"
#include "ops/operand_walk.hpp"

namespace zoltra::native {

using ffi::checked;
using ffi::HostError;
using ffi::ModuleError;

namespace {

constexpr const char kKinds[] =
    "a NumPy array, a PyTorch CPU tensor, or an object exporting DLPack or the array interface";

// Multiplication that wraps like the hardware: a contiguous step that wraps
// makes the reach overflow, which check_arithmetic refuses.
std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

[[noreturn]] void fail_overflow(const char* name) {
  fail(PyExc_ValueError, name, "the shape and strides overflow 64-bit byte offsets");
}

// An element stride in bytes, refused when the product leaves 64 bits.
std::int64_t byte_stride(std::int64_t elements, std::int64_t itemsize, const char* name) {
  std::int64_t bytes;
  if (__builtin_mul_overflow(elements, itemsize, &bytes)) fail_overflow(name);
  return bytes;
}

PyObject* interned(const char* text) {
  PyObject* s = PyUnicode_InternFromString(text);
  if (s == nullptr) throw HostError{};
  return s;  // kept for the life of the process
}

// Attribute and method names, made once.
struct Names {
  PyObject* is_cpu = interned("is_cpu");
  PyObject* dtype = interned("dtype");
  PyObject* data_ptr = interned("data_ptr");
  PyObject* shape = interned("shape");
  PyObject* stride = interned("stride");
  PyObject* dlpack = interned("__dlpack__");
  PyObject* dlpack_device = interned("__dlpack_device__");
  PyObject* array_interface = interned("__array_interface__");
  PyObject* array_struct = interned("__array_struct__");
  PyObject* max_version = interned("max_version");
  PyObject* typestr = interned("typestr");
  PyObject* data = interned("data");
  PyObject* strides = interned("strides");
  PyObject* offset = interned("offset");
  PyObject* mask = interned("mask");
};

const Names& names() {
  static const Names n;
  return n;
}

std::string text_of(PyObject* obj) {
  Ref s(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  const char* utf8 = PyUnicode_AsUTF8(s.get());
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

// The pending exception, raised by an exporter or by NumPy, as the layer's
// TypeError "argument '<name>': cannot be viewed as an array (<error>)".
// Exceptions that are not errors (KeyboardInterrupt, ...) pass unchanged.
[[noreturn]] void fail_viewing(const char* name) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_Exception)) throw HostError{};
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  // The first line only: some exporters append their native stack.
  std::string text = value ? text_of(value) : std::string();
  text = text.substr(0, text.find('\n'));
  fail(PyExc_TypeError, name, "cannot be viewed as an array (" + text + ")");
}

[[noreturn]] void fail_malformed(const char* name, const std::string& what) {
  fail(PyExc_TypeError, name, "cannot be viewed as an array (" + what + ")");
}

bool is_masked_array(PyObject* obj) {
  // Masked arrays exist only once numpy.ma is imported.
  static PyObject* module_name = interned("numpy.ma");
  Ref ma(PyImport_GetModule(module_name));
  if (!ma) {
    if (PyErr_Occurred()) throw HostError{};
    return false;
  }
  Ref masked = checked(PyObject_GetAttrString(ma.get(), "MaskedArray"));
  int is = PyObject_IsInstance(obj, masked.get());
  if (is < 0) throw HostError{};
  return is == 1;
}

[[noreturn]] void fail_masked(const char* name) {
  fail(PyExc_TypeError, name, "expected an array without a mask, got a masked array (use .filled() first)");
}

// The attribute, or an empty Ref when there is none.
Ref optional_attr(PyObject* obj, PyObject* attr, const char* name) {
  PyObject* value = PyObject_GetAttr(obj, attr);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail_viewing(name);
    PyErr_Clear();
  }
  return Ref(value);
}

std::int64_t to_int(PyObject* obj, const char* name, const char* what) {
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) fail_malformed(name, std::string(what) + " is not an integer");
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) fail_viewing(name);
  return value;
}

// ---- NumPy ------------------------------------------------------------------

void read_numpy(PyArrayObject* array, View& view) {
  view.source = Source::kNumPy;
  view.data = static_cast<char*>(PyArray_DATA(array));
  view.ndim = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  for (int i = 0; i < view.ndim; ++i) {
    view.shape[i] = dims[i];
    view.strides[i] = strides[i];
  }
  view.itemsize = PyArray_ITEMSIZE(array);
  view.writable = PyArray_ISWRITEABLE(array);
  const int type = PyArray_TYPE(array);
  const bool native = PyArray_ISNBO(PyArray_DESCR(array)->byteorder);
  if (type == NPY_FLOAT32 && native) {
    view.dtype = DType::kFloat32;
  } else if (type == NPY_INT32 && native) {
    view.dtype = DType::kInt32;
  } else if (type == NPY_BOOL) {
    view.dtype = DType::kBool;
  } else {
    view.dtype = DType::kOther;
    view.dtype_name = text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
  }
}

// ---- PyTorch ------------------------------------------------------------------

struct Torch {
  PyTypeObject* tensor = nullptr;
  const dlpack::ExchangeApi* api = nullptr;
  PyObject* float32 = nullptr;
  PyObject* int32 = nullptr;
  PyObject* boolean = nullptr;
  // The C base's own requires_grad getter and is_neg method, called directly:
  // a subclass cannot hide the real flags, and no lookup is repeated.
  PyObject* requires_grad = nullptr;
  PyObject* is_neg = nullptr;
};

// PyTorch's tensor type and dtypes, found once PyTorch has been imported by
// someone else (never imported here).
const Torch* torch_types() {
  static Torch torch;
  if (torch.tensor != nullptr) return &torch;
  static PyObject* module_name = interned("torch");
  Ref module(PyImport_GetModule(module_name));
  if (!module) {
    if (PyErr_Occurred()) throw HostError{};
    return nullptr;
  }
  Ref c = checked(PyObject_GetAttrString(module.get(), "_C"));
  PyObject* base = PyObject_GetAttrString(c.get(), "TensorBase");
  if (base == nullptr) {
    PyErr_Clear();
    base = PyObject_GetAttrString(c.get(), "_TensorBase");
  }
  if (base == nullptr || !PyType_Check(base)) {
    PyErr_Clear();
    Py_XDECREF(base);
    return nullptr;
  }
  torch.float32 = checked(PyObject_GetAttrString(module.get(), "float32")).release();
  torch.int32 = checked(PyObject_GetAttrString(module.get(), "int32")).release();
  torch.boolean = checked(PyObject_GetAttrString(module.get(), "bool")).release();
  torch.requires_grad = checked(PyObject_GetAttrString(base, "requires_grad")).release();
  torch.is_neg = checked(PyObject_GetAttrString(base, "is_neg")).release();
  if (Py_TYPE(torch.requires_grad)->tp_descr_get == nullptr) return nullptr;  // not the PyTorch we know
  // The exchange table is published on torch.Tensor, not on its C base.
  Ref tensor_class = checked(PyObject_GetAttrString(module.get(), "Tensor"));
  if (PyType_Check(tensor_class.get())) torch.api = dlpack::exchange_api(reinterpret_cast<PyTypeObject*>(tensor_class.get()));
  torch.tensor = reinterpret_cast<PyTypeObject*>(base);
  return &torch;
}

Ref call_method(PyObject* obj, PyObject* method, const char* name) {
  PyObject* args[] = {obj};
  PyObject* result = PyObject_VectorcallMethod(method, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (result == nullptr) fail_viewing(name);
  return Ref(result);
}

Ref get_attr(PyObject* obj, PyObject* attr, const char* name) {
  PyObject* result = PyObject_GetAttr(obj, attr);
  if (result == nullptr) fail_viewing(name);
  return Ref(result);
}

[[noreturn]] void fail_device(PyObject* obj, const char* name);
void read_dl_tensor(const dlpack::Tensor& t, bool read_only, const char* name, View& view);
void check_arithmetic(const View& view, const char* name);
void check_address_space(const View& view, const char* name);

void read_tensor(PyObject* obj, const Torch& torch, const char* name, View& view) {
  const Names& n = names();
  view.source = Source::kTensor;
  Ref requires_grad(Py_TYPE(torch.requires_grad)->tp_descr_get(torch.requires_grad, obj,
                                                               reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  if (!requires_grad) fail_viewing(name);
  if (requires_grad.get() == Py_True) {
    fail(PyExc_TypeError, name,
         "cannot be viewed as an array (Can't export tensors that require gradient, use tensor.detach())");
  }
  // A tensor with the negative bit holds the negated values: reading its
  // memory would give the opposite signs.
  PyObject* self[] = {obj};
  Ref is_neg(PyObject_Vectorcall(torch.is_neg, self, 1, nullptr));
  if (!is_neg) fail_viewing(name);
  if (is_neg.get() == Py_True) {
    fail(PyExc_TypeError, name, "expected a tensor without the negative bit, call resolve_neg() first");
  }
  if (torch.api != nullptr) {
    // One C call; the shape and strides it points to are copied at once.
    dlpack::Tensor t;
    if (dlpack::guarded([&] { return torch.api->dltensor_from_py_object_no_sync(obj, &t); }) != 0) fail_viewing(name);
    read_dl_tensor(t, false, name, view);
    view.source = Source::kTensor;
    view.exchange = torch.api;
    return;
  }
  if (get_attr(obj, n.is_cpu, name).get() != Py_True) fail_device(obj, name);
  Ref dtype = get_attr(obj, n.dtype, name);
  if (dtype.get() == torch.float32) {
    view.dtype = DType::kFloat32;
    view.itemsize = 4;
  } else if (dtype.get() == torch.int32) {
    view.dtype = DType::kInt32;
    view.itemsize = 4;
  } else if (dtype.get() == torch.boolean) {
    view.dtype = DType::kBool;
    view.itemsize = 1;
  } else {
    std::string text = text_of(dtype.get());
    view.dtype = DType::kOther;
    view.dtype_name = text.starts_with("torch.") ? text.substr(6) : text;
    return;  // refused by every function: nothing else is needed
  }
  Ref address = call_method(obj, n.data_ptr, name);
  Ref shape = get_attr(obj, n.shape, name);
  Ref strides = call_method(obj, n.stride, name);
  if (!PyTuple_Check(shape.get()) || !PyTuple_Check(strides.get()) ||
      PyTuple_GET_SIZE(shape.get()) != PyTuple_GET_SIZE(strides.get())) {
    fail_malformed(name, "a tensor whose shape and strides are not tuples of one length");
  }
  const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
  if (ndim > kMaxDims) fail(PyExc_ValueError, name, "expected at most 64 dimensions");
  view.ndim = static_cast<int>(ndim);
  for (Py_ssize_t i = 0; i < ndim; ++i) {
    view.shape[i] = PyLong_AsLongLong(PyTuple_GET_ITEM(shape.get(), i));
    view.strides[i] = byte_stride(PyLong_AsLongLong(PyTuple_GET_ITEM(strides.get(), i)), view.itemsize, name);
  }
  if (PyErr_Occurred()) fail_viewing(name);
  check_arithmetic(view, name);
  void* data = PyLong_AsVoidPtr(address.get());
  if (PyErr_Occurred()) fail_viewing(name);
  view.data = static_cast<char*>(data);
  view.writable = true;
}

// ---- DLPack -------------------------------------------------------------------

std::string dlpack_dtype_name(const dlpack::DataType& t) {
  std::string bits = std::to_string(t.bits);
  std::string base;
  switch (t.code) {
    case dlpack::kInt: base = "int" + bits; break;
    case dlpack::kUInt: base = "uint" + bits; break;
    case dlpack::kFloat: base = "float" + bits; break;
    case dlpack::kBfloat: base = "bfloat" + bits; break;
    case dlpack::kComplex: base = "complex" + bits; break;
    case dlpack::kBool: base = t.bits == 8 ? "bool" : "bool of " + bits + (t.bits == 1 ? " bit" : " bits"); break;
    default: base = "DLPack type code " + std::to_string(t.code) + " of " + bits + " bits";
  }
  if (t.lanes != 1) base += " x" + std::to_string(t.lanes);
  return base;
}

void read_dl_tensor(const dlpack::Tensor& t, bool read_only, const char* name, View& view) {
  if (t.device.device_type != dlpack::kCpu) {
    fail(PyExc_TypeError, name,
         "expected memory on the CPU, got DLPack device type " + std::to_string(t.device.device_type));
  }
  if (t.ndim < 0 || t.ndim > kMaxDims) fail_malformed(name, "a DLPack tensor of " + std::to_string(t.ndim) + " dimensions");
  const dlpack::DataType& d = t.dtype;
  if (d.lanes == 1 && d.code == dlpack::kFloat && d.bits == 32) {
    view.dtype = DType::kFloat32;
  } else if (d.lanes == 1 && d.code == dlpack::kInt && d.bits == 32) {
    view.dtype = DType::kInt32;
  } else if (d.lanes == 1 && d.code == dlpack::kBool && d.bits == 8) {
    view.dtype = DType::kBool;
  } else {
    view.dtype = DType::kOther;
    view.dtype_name = dlpack_dtype_name(d);
  }
  view.itemsize = std::max<std::int64_t>(1, d.bits / 8);
  view.ndim = t.ndim;
  std::int64_t step = view.itemsize;
  for (int i = t.ndim - 1; i >= 0; --i) {
    view.shape[i] = t.shape[i];
    if (view.shape[i] < 0) fail_malformed(name, "a DLPack tensor with a negative extent");
    view.strides[i] = t.strides != nullptr ? byte_stride(t.strides[i], view.itemsize, name) : step;
    step = wrapping_mul(step, view.shape[i]);
  }
  check_arithmetic(view, name);
  view.data = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(t.data) + t.byte_offset);
  check_address_space(view, name);
  view.writable = !read_only;
}

void read_dlpack(PyObject* obj, const char* name, View& view) {
  const Names& n = names();
  view.source = Source::kOther;
  // No __dlpack_device__: CPU memory, as in the protocol's first form.
  if (Ref device_method = optional_attr(obj, n.dlpack_device, name)) {
    Ref device(PyObject_CallNoArgs(device_method.get()));
    if (!device) fail_viewing(name);
    if (!PyTuple_Check(device.get()) || PyTuple_GET_SIZE(device.get()) != 2) {
      fail_malformed(name, "__dlpack_device__() returned " + text_of(device.get()) + ", not a pair (type, id)");
    }
    const std::int64_t kind = to_int(PyTuple_GET_ITEM(device.get(), 0), name, "the DLPack device type");
    if (kind != dlpack::kCpu) {
      fail(PyExc_TypeError, name, "expected memory on the CPU, got DLPack device type " + std::to_string(kind));
    }
  }
  // The versioned form first; a producer that takes no max_version gets the
  // unversioned request.
  Ref method = get_attr(obj, n.dlpack, name);
  Ref version = checked(Py_BuildValue("(ii)", 1, 0));
  Ref kwnames = checked(PyTuple_Pack(1, n.max_version));
  PyObject* args[] = {version.get()};
  Ref capsule(PyObject_Vectorcall(method.get(), args, 0, kwnames.get()));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) fail_viewing(name);
    PyErr_Clear();
    capsule = Ref(PyObject_CallNoArgs(method.get()));
    if (!capsule) fail_viewing(name);
  }
  if (PyCapsule_IsValid(capsule.get(), "dltensor_versioned")) {
    auto* managed = static_cast<dlpack::ManagedTensorVersioned*>(PyCapsule_GetPointer(capsule.get(), "dltensor_versioned"));
    if (PyCapsule_SetName(capsule.get(), "used_dltensor_versioned") < 0) throw HostError{};
    view.own_dlpack(managed, [](void* p) {
      auto* m = static_cast<dlpack::ManagedTensorVersioned*>(p);
      if (m->deleter != nullptr) m->deleter(m);
    });
    if (managed->version.major != 1) {
      fail_malformed(name, "DLPack version " + std::to_string(managed->version.major) + " is not supported");
    }
    read_dl_tensor(managed->dl_tensor, (managed->flags & dlpack::kReadOnly) != 0, name, view);
  } else if (PyCapsule_IsValid(capsule.get(), "dltensor")) {
    auto* managed = static_cast<dlpack::ManagedTensor*>(PyCapsule_GetPointer(capsule.get(), "dltensor"));
    if (PyCapsule_SetName(capsule.get(), "used_dltensor") < 0) throw HostError{};
    view.own_dlpack(managed, [](void* p) {
      auto* m = static_cast<dlpack::ManagedTensor*>(p);
      if (m->deleter != nullptr) m->deleter(m);
    });
    read_dl_tensor(managed->dl_tensor, false, name, view);
  } else {
    fail_malformed(name, "__dlpack__() returned " + text_of(capsule.get()) + ", not a DLPack capsule");
  }
}

// ---- Buffers: the buffer protocol and the array interface -----------------------

// The NumPy name of a struct-module format, and its element type.
DType format_dtype(const char* format, std::int64_t itemsize, std::string& name) {
  char order = '@';
  if (format != nullptr && std::strchr("@=<>!", format[0]) != nullptr && format[0] != '\0') order = *format++;
  const std::string code = format != nullptr ? format : "B";
  const bool little = order != '>' && order != '!';
  if (code == "f" && itemsize == 4 && little) return DType::kFloat32;
  if ((code == "i" || (code == "l" && itemsize == 4)) && itemsize == 4 && little) return DType::kInt32;
  if (code == "?" && itemsize == 1) return DType::kBool;
  static const struct {
    const char* code;
    const char* kind;
  } kinds[] = {{"b", "int"}, {"h", "int"}, {"i", "int"}, {"l", "int"}, {"q", "int"}, {"n", "int"},
               {"B", "uint"}, {"H", "uint"}, {"I", "uint"}, {"L", "uint"}, {"Q", "uint"}, {"N", "uint"},
               {"e", "float"}, {"f", "float"}, {"d", "float"}, {"g", "float"}, {"Zf", "complex"}, {"Zd", "complex"}};
  name = "'" + code + "'";
  for (const auto& k : kinds) {
    if (code == k.code) name = std::string(k.kind) + std::to_string(itemsize * 8);
  }
  if (!little) name = ">" + name;
  return DType::kOther;
}

// Refuses a view whose element count or byte reach overflows 64 bits, before
// anything computes with them.
void check_arithmetic(const View& view, const char* name) {
  std::int64_t count = 1, reach = view.itemsize;
  for (int i = 0; i < view.ndim; ++i) {
    std::int64_t span, magnitude = view.strides[i] < 0 ? -view.strides[i] : view.strides[i];
    if (view.strides[i] == INT64_MIN || __builtin_mul_overflow(count, view.shape[i], &count) ||
        (view.shape[i] > 0 && (__builtin_mul_overflow(view.shape[i] - 1, magnitude, &span) ||
                               __builtin_add_overflow(reach, span, &reach)))) {
      fail_overflow(name);
    }
  }
}

// Offsets compared as integers: a pointer moved past the buffer's start by a
// huge negative stride would wrap and seem to lie inside it.
void check_reach(const View& view, std::int64_t offset, const Py_buffer& buffer, const char* name) {
  std::int64_t low, high;
  view.reach(low, high);
  if (low == high) return;
  if (offset + low < 0 || offset + high > buffer.len) {
    fail(PyExc_ValueError, name,
         "the shape and strides reach beyond the exporter's buffer of " + std::to_string(buffer.len) + " bytes");
  }
}

void read_buffer(PyObject* obj, const char* name, View& view) {
  view.source = Source::kNumPy;
  Ref memory(PyMemoryView_FromObject(obj));
  if (!memory) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) fail_viewing(name);
    PyErr_Clear();
    fail(PyExc_TypeError, name, std::string("expected ") + kKinds + ", got " + Py_TYPE(obj)->tp_name);
  }
  const Py_buffer& b = *PyMemoryView_GET_BUFFER(memory.get());
  if (b.suboffsets != nullptr) fail_malformed(name, "a buffer with suboffsets");
  if (b.ndim > kMaxDims) fail(PyExc_ValueError, name, "expected at most 64 dimensions");
  view.ndim = b.ndim;
  view.itemsize = b.itemsize;
  for (int i = 0; i < b.ndim; ++i) {
    view.shape[i] = b.shape[i];
    view.strides[i] = b.strides[i];
  }
  view.data = static_cast<char*>(b.buf);
  view.writable = !b.readonly;
  view.dtype = format_dtype(b.format, b.itemsize, view.dtype_name);
  view.keep = std::move(memory);
}

DType typestr_dtype(const std::string& typestr, std::int64_t& itemsize, std::string& name, const char* arg) {
  // <order><kind><bytes>, e.g. "<f4", "|b1".
  if (typestr.size() < 3 || std::strchr("<>|=", typestr[0]) == nullptr) {
    fail_malformed(arg, "the array interface's typestr '" + typestr + "' is not a data type");
  }
  const char order = typestr[0], kind = typestr[1];
  const std::string digits = typestr.substr(2);
  if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos ||
      std::strchr("biufcmMOSUV", kind) == nullptr) {
    fail_malformed(arg, "the array interface's typestr '" + typestr + "' is not a data type");
  }
  itemsize = std::stoll(digits);
  if (itemsize <= 0) fail_malformed(arg, "the array interface's typestr '" + typestr + "' is not a data type");
  const bool little = order != '>';
  if (kind == 'f' && itemsize == 4 && little) return DType::kFloat32;
  if (kind == 'i' && itemsize == 4 && little) return DType::kInt32;
  if (kind == 'b' && itemsize == 1) return DType::kBool;
  switch (kind) {
    case 'i': name = "int" + std::to_string(itemsize * 8); break;
    case 'u': name = "uint" + std::to_string(itemsize * 8); break;
    case 'f': name = "float" + std::to_string(itemsize * 8); break;
    case 'c': name = "complex" + std::to_string(itemsize * 8); break;
    default: name = typestr;
  }
  if (!little && kind != 'b') name = typestr;
  return DType::kOther;
}

// The dict's entry as a reference of our own (empty when absent): reading an
// integer may run Python code (__index__) that changes the dict.
Ref interface_item(PyObject* interface, PyObject* key, const char* name) {
  PyObject* item = PyDict_GetItemWithError(interface, key);
  if (item == nullptr && PyErr_Occurred()) fail_viewing(name);
  Py_XINCREF(item);
  return Ref(item);
}

void read_interface(PyObject* obj, PyObject* interface, const char* name, View& view) {
  const Names& n = names();
  view.source = Source::kNumPy;
  if (!PyDict_Check(interface)) fail_malformed(name, "__array_interface__ is not a dict");
  Ref mask = interface_item(interface, n.mask, name);
  if (mask && mask.get() != Py_None) fail_masked(name);
  Ref typestr = interface_item(interface, n.typestr, name);
  Ref shape = interface_item(interface, n.shape, name);
  Ref strides = interface_item(interface, n.strides, name);
  Ref data = interface_item(interface, n.data, name);
  Ref offset_item = interface_item(interface, n.offset, name);
  if (!typestr || !PyUnicode_Check(typestr.get())) fail_malformed(name, "the array interface has no typestr string");
  if (!shape || !PyTuple_Check(shape.get())) fail_malformed(name, "the array interface has no shape tuple");
  Py_ssize_t typestr_size;
  const char* typestr_text = PyUnicode_AsUTF8AndSize(typestr.get(), &typestr_size);
  if (typestr_text == nullptr) {
    PyErr_Clear();
    fail_malformed(name, "the array interface's typestr is not valid text");
  }
  const std::string typestr_string(typestr_text, static_cast<std::size_t>(typestr_size));
  if (typestr_string.find('\0') != std::string::npos) {
    fail_malformed(name, "the array interface's typestr holds a NUL character");
  }
  view.dtype = typestr_dtype(typestr_string, view.itemsize, view.dtype_name, name);
  const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
  if (ndim > kMaxDims) fail(PyExc_ValueError, name, "expected at most 64 dimensions");
  view.ndim = static_cast<int>(ndim);
  const bool strided = strides && strides.get() != Py_None;
  if (strided && (!PyTuple_Check(strides.get()) || PyTuple_GET_SIZE(strides.get()) != ndim)) {
    fail_malformed(name, "the array interface's strides do not match its shape");
  }
  std::int64_t step = view.itemsize;
  for (Py_ssize_t i = ndim - 1; i >= 0; --i) {
    view.shape[i] = to_int(PyTuple_GET_ITEM(shape.get(), i), name, "an extent of the array interface");
    if (view.shape[i] < 0) fail_malformed(name, "the array interface's shape has a negative extent");
    view.strides[i] =
        strided ? to_int(PyTuple_GET_ITEM(strides.get(), i), name, "a stride of the array interface") : step;
    step = wrapping_mul(step, view.shape[i]);
  }
  check_arithmetic(view, name);
  if (data && PyTuple_Check(data.get())) {
    // A bare address: nothing says how far the memory reaches.
    if (PyTuple_GET_SIZE(data.get()) != 2) fail_malformed(name, "the array interface's data is not (address, read-only)");
    const std::int64_t address = to_int(PyTuple_GET_ITEM(data.get(), 0), name, "the array interface's address");
    if (address == 0) fail(PyExc_ValueError, name, "the array interface's address is null");
    view.data = reinterpret_cast<char*>(static_cast<std::uintptr_t>(address));
    check_address_space(view, name);
    const int read_only = PyObject_IsTrue(PyTuple_GET_ITEM(data.get(), 1));
    if (read_only < 0) fail_viewing(name);
    view.writable = read_only == 0;
    return;
  }
  // Memory from a buffer (data, or the object itself), whose length bounds
  // what the shape and strides may reach.
  Ref memory(PyMemoryView_FromObject(data && data.get() != Py_None ? data.get() : obj));
  if (!memory) fail_viewing(name);
  const Py_buffer& b = *PyMemoryView_GET_BUFFER(memory.get());
  const std::int64_t offset = offset_item ? to_int(offset_item.get(), name, "the offset") : 0;
  if (offset < 0 || offset > b.len) fail(PyExc_ValueError, name, "the array interface's offset is outside its buffer");
  check_reach(view, offset, b, name);
  view.data = static_cast<char*>(b.buf) + offset;
  view.writable = !b.readonly;
  view.keep = std::move(memory);
}

// A bare address gives no length to check against; its reach must at least
// stay inside the address space, so that addresses can be compared.
void check_address_space(const View& view, const char* name) {
  std::int64_t low, high;
  view.reach(low, high);
  const auto address = reinterpret_cast<std::uintptr_t>(view.data);
  if (static_cast<std::uintptr_t>(-low) > address || static_cast<std::uintptr_t>(high) > UINTPTR_MAX - address) {
    fail(PyExc_ValueError, name, "the shape and strides reach outside the address space");
  }
}

[[noreturn]] void fail_device(PyObject* obj, const char* name) {
  Ref device(PyObject_CallMethod(obj, "__dlpack_device__", nullptr));
  if (!device) fail_viewing(name);
  std::string kind = "?";
  if (PyTuple_Check(device.get()) && PyTuple_GET_SIZE(device.get()) >= 1) kind = text_of(PyTuple_GET_ITEM(device.get(), 0));
  fail(PyExc_TypeError, name, "expected memory on the CPU, got DLPack device type " + kind);
}

}  // namespace

const dlpack::ExchangeApi* dlpack::exchange_api(PyTypeObject* type) {
  Ref capsule(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dlpack_c_exchange_api__"));
  if (!capsule || !PyCapsule_IsValid(capsule.get(), "dlpack_exchange_api")) {
    PyErr_Clear();
    return nullptr;
  }
  // The table lives as long as the process (the protocol's rule).
  const auto* api = static_cast<const ExchangeApi*>(PyCapsule_GetPointer(capsule.get(), "dlpack_exchange_api"));
  if (api == nullptr || api->version.major != 1 || api->dltensor_from_py_object_no_sync == nullptr) return nullptr;
  return api;
}

[[noreturn]] void fail(PyObject* type, const char* name, const std::string& message) {
  throw ModuleError{type, std::string("argument '") + name + "': " + message};
}

View::~View() {
  if (deleter_ != nullptr) deleter_(managed_);
}

std::int64_t View::size() const noexcept {
  std::int64_t n = 1;
  for (int i = 0; i < ndim; ++i) n *= shape[i];
  return n;
}

bool View::contiguous() const noexcept {
  std::int64_t step = itemsize;
  bool empty = false;
  bool packed = true;
  for (int i = ndim - 1; i >= 0; --i) {
    if (shape[i] == 0) empty = true;
    if (shape[i] != 1 && strides[i] != step) packed = false;
    step *= shape[i];
  }
  return packed || empty;
}

void View::reach(std::int64_t& low, std::int64_t& high) const noexcept {
  low = high = 0;
  for (int i = 0; i < ndim; ++i) {
    if (shape[i] == 0) {
      low = high = 0;
      return;
    }
    const std::int64_t span = (shape[i] - 1) * strides[i];
    (span < 0 ? low : high) += span;
  }
  high += itemsize;
}

void View::extent(std::uintptr_t& low, std::uintptr_t& high) const noexcept {
  std::int64_t lo, hi;
  reach(lo, hi);
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  low = address + static_cast<std::uintptr_t>(lo);
  high = address + static_cast<std::uintptr_t>(hi);
}

const char* View::contiguous_data(std::unique_ptr<char[]>& storage) const {
  if (contiguous()) return data;
  const std::int64_t count = size();
  storage.reset(new char[static_cast<std::size_t>(count * itemsize)]);
  char* to = storage.get();
  const ops::OperandWalk<1> walk(static_cast<std::uint64_t>(ndim), shape, {strides});
  const std::int64_t size = itemsize;
  walk.runs(0, static_cast<std::uint64_t>(count), [&to, size, this](const std::array<std::int64_t, 1>& at,
                                                                   const std::array<std::int64_t, 1>& step,
                                                                   std::uint64_t n) {
    // Locals: stores through char pointers could alias anything else.
    char* out = to;
    const char* from = data + at[0];
    const std::int64_t stride = step[0];
    to += n * static_cast<std::uint64_t>(size);
    if (stride == size) return static_cast<void>(std::memcpy(out, from, n * static_cast<std::uint64_t>(size)));
    if (size == 4) {
      for (std::uint64_t j = 0; j < n; ++j, out += 4, from += stride) std::memcpy(out, from, 4);
    } else {
      for (std::uint64_t j = 0; j < n; ++j, out += size, from += stride) std::memcpy(out, from, size);
    }
  });
  return storage.get();
}

void read_view(PyObject* obj, const char* name, View& view, bool as_out) {
  view.object = obj;
  if (PyArray_CheckExact(obj)) return read_numpy(reinterpret_cast<PyArrayObject*>(obj), view);
  if (PyArray_Check(obj)) {
    if (is_masked_array(obj)) fail_masked(name);
    return read_numpy(reinterpret_cast<PyArrayObject*>(obj), view);
  }
  if (PyArray_IsScalar(obj, Generic)) {
    if (as_out) fail(PyExc_TypeError, name, std::string("expected an array, got the NumPy scalar ") + Py_TYPE(obj)->tp_name);
    Ref array = checked(PyArray_FromScalar(obj, nullptr));
    read_numpy(reinterpret_cast<PyArrayObject*>(array.get()), view);
    view.writable = false;
    view.keep = std::move(array);
    return;
  }
  if (const Torch* torch = torch_types(); torch != nullptr && PyObject_TypeCheck(obj, torch->tensor)) {
    return read_tensor(obj, *torch, name, view);
  }
  const Names& n = names();
  if (optional_attr(obj, n.dlpack, name)) return read_dlpack(obj, name, view);
  if (Ref interface = optional_attr(obj, n.array_interface, name)) {
    return read_interface(obj, interface.get(), name, view);
  }
  if (optional_attr(obj, n.array_struct, name)) {
    Ref array(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!array) fail_viewing(name);
    read_numpy(reinterpret_cast<PyArrayObject*>(array.get()), view);
    view.keep = std::move(array);
    return;
  }
  read_buffer(obj, name, view);
}

namespace {
const char* dtype_text(DType d) {
  switch (d) {
    case DType::kFloat32: return "float32";
    case DType::kInt32: return "int32";
    case DType::kBool: return "bool";
    default: return "?";
  }
}

// "expected dtype <wanted>, got <dtype>", and how to convert when float32
// was wanted: float64 is what NumPy and Python floats give by default.
[[noreturn]] void fail_dtype(const View& view, const char* name, const std::string& wanted, bool float32) {
  const std::string got = view.dtype == DType::kOther ? view.dtype_name : dtype_text(view.dtype);
  const char* hint = float32 && view.dtype != DType::kBool ? " (convert with x.astype(np.float32) or t.float())" : "";
  fail(PyExc_TypeError, name, "expected dtype " + wanted + ", got " + got + hint);
}

}  // namespace

void require_dtype(const View& view, const char* name, DType accepted) {
  if (view.dtype != accepted || accepted == DType::kOther) {
    fail_dtype(view, name, dtype_text(accepted), accepted == DType::kFloat32);
  }
}

void require_dtype(const View& view, const char* name, DType accepted, DType also) {
  if (view.dtype != accepted && view.dtype != also) {
    fail_dtype(view, name, std::string(dtype_text(accepted)) + " or " + dtype_text(also),
               accepted == DType::kFloat32 || also == DType::kFloat32);
  }
}

bool overlap(const View& a, const View& b) noexcept {
  std::uintptr_t a_low, a_high, b_low, b_high;
  a.extent(a_low, a_high);
  b.extent(b_low, b_high);
  return a_low < a_high && b_low < b_high && a_low < b_high && b_low < a_high;
}

bool same_elements(const View& a, const View& b) noexcept {
  if (a.data != b.data || a.ndim != b.ndim || a.itemsize != b.itemsize) return false;
  for (int i = 0; i < a.ndim; ++i) {
    if (a.shape[i] != b.shape[i]) return false;
    if (a.shape[i] > 1 && a.strides[i] != b.strides[i]) return false;
  }
  return true;
}

std::string shape_text(const std::int64_t* shape, int ndim) {
  std::string text = "(";
  for (int i = 0; i < ndim; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + (ndim == 1 ? ",)" : ")");
}

}  // namespace zoltra::native
