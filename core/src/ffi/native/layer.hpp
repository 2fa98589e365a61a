#pragma once
// What every function of the layer shares: its entry (argument parsing as the
// raw module does it, every C++ exception turned into its Python exception),
// the interpreter lock given up around long kernels, and the method tables
// that module.cpp joins.
#include <Python.h>

#include <cstdint>
#include <span>

#include "ffi/python/args.hpp"
#include "ffi/python/errors.hpp"

namespace zoltra::native {

using ffi::Param;
using ffi::Signature;

// Whether every parameter from `first` on defaults to None.
template <const Signature& Sig>
constexpr bool trailing_defaults(Py_ssize_t first) noexcept {
  for (std::size_t i = static_cast<std::size_t>(first); i < Sig.params.size(); ++i)
    if (!Sig.params[i].defaults_to_none) return false;
  return true;
}

// The C-level entry of a function whose body takes its arguments as slots in
// parameter order (nullptr for an omitted one with a default).
template <const Signature& Sig, PyObject* (*Body)(PyObject* const*)>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return ffi::call_boundary([&]() -> PyObject* {
    PyObject* slots[ffi::kMaxParams];
    const std::size_t count = Sig.params.size();
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count)) return Body(args);
    if (kwnames == nullptr && nargs < static_cast<Py_ssize_t>(count) && trailing_defaults<Sig>(nargs)) {
      for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
      for (std::size_t i = static_cast<std::size_t>(nargs); i < count; ++i) slots[i] = nullptr;
      return Body(slots);
    }
    ffi::parse_arguments(Sig, args, nargs, kwnames, slots);
    return Body(slots);
  });
}

// Releases the interpreter lock for its lifetime when `release` is true, so
// that other Python threads run while a long kernel does. Nothing in its
// scope may touch a Python object.
class WithoutGil {
 public:
  explicit WithoutGil(bool release) noexcept : state_(release ? PyEval_SaveThread() : nullptr) {}
  ~WithoutGil() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// Sizes from which a call gives up the lock. Giving it up and taking it back
// uncontended costs under 0.05 us (the step in a call's time at the
// threshold is within noise on a 2-core Zen 3); the bounds keep it under a
// few percent: 16,384 elements take about 2 us to add, sum or multiply-add
// there, and a product of 65,536 multiply-adds (40 x 40 x 40) about 2 us.
// Below them another thread would gain little and a contended lock could
// cost more than the call.
inline constexpr std::uint64_t kReleaseGilElements = 16384;
inline constexpr std::uint64_t kReleaseGilMultiplyAdds = 65536;

// Each file's functions, joined by module.cpp in this order.
std::span<const PyMethodDef> elementwise_methods();
std::span<const PyMethodDef> reduction_methods();
std::span<const PyMethodDef> product_methods();
std::span<const PyMethodDef> profile_methods();
// maximum/minimum, comparisons, where, argmax/argmin.
std::span<const PyMethodDef> extremum_methods();
std::span<const PyMethodDef> comparison_methods();
std::span<const PyMethodDef> where_methods();
std::span<const PyMethodDef> argextremum_methods();
std::span<const PyMethodDef> unary_math_methods();

}  // namespace zoltra::native

// A method record: name, entry, docstring (text signature first).
#define ZOLTRA_NATIVE_METHOD(NAME, BODY, DOC)                                                              \
  PyMethodDef {                                                                                              \
    NAME##_signature.name,                                                                                   \
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<NAME##_signature, &BODY>)),      \
        METH_FASTCALL | METH_KEYWORDS, DOC                                                                   \
  }
