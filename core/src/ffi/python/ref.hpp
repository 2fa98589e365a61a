#pragma once
// Ref: owns one new reference (or none) and gives it back when it goes out of
// scope, so that every early exit and every exception releases it.
#include <Python.h>

#include <utility>

#include "ffi/python/errors.hpp"

namespace zoltra::ffi {

class Ref {
 public:
  // Takes over `object`, which may be nullptr (nothing owned).
  explicit Ref(PyObject* object = nullptr) noexcept : object_(object) {}
  ~Ref() { Py_XDECREF(object_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  void swap(Ref& other) noexcept { std::swap(object_, other.object_); }
  PyObject* object_;
};

// A Ref of a host call's new reference; throws HostError when it failed.
inline Ref checked(PyObject* object) {
  if (object == nullptr) throw HostError{};
  return Ref(object);
}

}  // namespace zoltra::ffi
