#pragma once
// A caller's array as the layer reads it: data address, shape, byte strides,
// element type and writability, read from a NumPy array through NumPy's C
// API, from a PyTorch tensor through its own attributes, or from any other
// exporter through DLPack, the array interface or the buffer protocol. The
// view keeps whatever the exporter handed out alive until it is destroyed,
// which happens with the interpreter lock held.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "ffi/python/ref.hpp"

namespace zoltra::native {

using ffi::Ref;

enum class DType : std::uint8_t { kFloat32, kInt32, kBool, kOther };
// Where the result of a call on this view is made.
enum class Source : std::uint8_t { kNumPy, kTensor, kOther };

inline constexpr int kMaxDims = 64;

// Raises `type` with "argument '<name>': <message>".
[[noreturn]] void fail(PyObject* type, const char* name, const std::string& message);

class View {
 public:
  View() = default;
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View();

  char* data = nullptr;
  int ndim = 0;
  std::int64_t itemsize = 0;
  DType dtype = DType::kOther;
  bool writable = false;
  Source source = Source::kNumPy;
  std::int64_t shape[kMaxDims];
  std::int64_t strides[kMaxDims];  // bytes
  PyObject* object = nullptr;      // the caller's argument (borrowed)
  const void* exchange = nullptr;  // the DLPack exchange table it was read through, if any
  Ref keep;                        // what keeps an exporter's memory alive
  std::string dtype_name;          // filled when dtype is kOther

  std::int64_t size() const noexcept;
  // C order without gaps; extents of 1 may have any stride, and an empty
  // view is contiguous (NumPy's rule).
  bool contiguous() const noexcept;
  // Byte offsets from `data` of the lowest and one past the highest byte the
  // view reaches (both 0 when empty); they fit in 64 bits once read_view passed.
  void reach(std::int64_t& low, std::int64_t& high) const noexcept;
  // The same as addresses.
  void extent(std::uintptr_t& low, std::uintptr_t& high) const noexcept;
  // The elements in C order, copied into a new buffer when not contiguous.
  const char* contiguous_data(std::unique_ptr<char[]>& storage) const;

  // Called by the readers: a DLPack tensor to hand back at the end.
  void own_dlpack(void* managed, void (*deleter)(void*)) noexcept {
    managed_ = managed;
    deleter_ = deleter;
  }

 private:
  void* managed_ = nullptr;
  void (*deleter_)(void*) = nullptr;
};

// Fills `view` from `obj`; throws (TypeError or ValueError naming `name`) for
// anything that is not an array the layer can read. `as_out` refuses scalars.
void read_view(PyObject* obj, const char* name, View& view, bool as_out = false);

// TypeError "argument '<name>': expected dtype <expected>, got <dtype>"
// unless the view's dtype is one of the accepted.
void require_dtype(const View& view, const char* name, DType accepted);
void require_dtype(const View& view, const char* name, DType accepted, DType also);

// True when both reach some common byte.
bool overlap(const View& a, const View& b) noexcept;
// The very same elements: one address, shape and stride for every extent
// above 1.
bool same_elements(const View& a, const View& b) noexcept;

std::string shape_text(const std::int64_t* shape, int ndim);

}  // namespace zoltra::native
