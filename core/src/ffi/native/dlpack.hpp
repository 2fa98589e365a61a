#pragma once
// The DLPack exchange structures (ABI 1.x and the unversioned 0.x form), as
// the protocol defines them; only what a CPU consumer reads.
#include <Python.h>

#include <cstdint>

namespace zoltra::native::dlpack {

inline constexpr std::int32_t kCpu = 1;
inline constexpr std::uint64_t kReadOnly = 1;  // DLPACK_FLAG_BITMASK_READ_ONLY

enum Code : std::uint8_t { kInt = 0, kUInt = 1, kFloat = 2, kBfloat = 4, kComplex = 5, kBool = 6 };

struct Device {
  std::int32_t device_type;
  std::int32_t device_id;
};

struct DataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};

struct Tensor {
  void* data;
  Device device;
  std::int32_t ndim;
  DataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in elements; null means C-contiguous
  std::uint64_t byte_offset;
};

struct ManagedTensor {  // capsule "dltensor"
  Tensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(ManagedTensor*);
};

struct Version {
  std::uint32_t major;
  std::uint32_t minor;
};

struct ManagedTensorVersioned {  // capsule "dltensor_versioned"
  Version version;
  void* manager_ctx;
  void (*deleter)(ManagedTensorVersioned*);
  std::uint64_t flags;
  Tensor dl_tensor;
};

// The C exchange table that a tensor type may publish as the capsule
// "dlpack_exchange_api" in its __dlpack_c_exchange_api__ attribute: a tensor
// read and a tensor made by C calls, without Python objects in between.
struct ExchangeApi {
  Version version;
  void* previous;
  int (*managed_tensor_allocator)(Tensor* prototype, ManagedTensorVersioned** out, void* error_context,
                                  void (*set_error)(void* error_context, const char* kind, const char* message));
  int (*managed_tensor_from_py_object_no_sync)(void* object, ManagedTensorVersioned** out);
  int (*managed_tensor_to_py_object_no_sync)(ManagedTensorVersioned* tensor, void** out_object);
  int (*dltensor_from_py_object_no_sync)(void* object, Tensor* out);  // may be null
  int (*current_work_stream)(std::int32_t device_type, std::int32_t device_id, void** out_stream);
};

// The table of `type`, or null when it publishes none of major version 1.
const ExchangeApi* exchange_api(PyTypeObject* type);

// A call through another package's table, whose C++ exceptions must not
// unwind through this module: one becomes a RuntimeError and the result -1.
template <class Call>
int guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "the tensor package's exchange call failed with a C++ exception");
    return -1;
  }
}

}  // namespace zoltra::native::dlpack
