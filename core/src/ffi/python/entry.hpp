#pragma once
// What each function of the table contributes: its name and parameters, its
// C-level entry and calling convention, and the description after its text
// signature in the docstring (nullptr for none).
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

#include "ffi/python/args.hpp"

namespace zoltra::ffi {

struct FunctionEntry {
  const Signature* signature;
  PyCFunction cfunc;
  int flags;
  const char* description;
};

template <class Ptr>
inline PyCFunction as_pyc_function(Ptr fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Buffer addresses arrive as unsigned 64-bit integers.
template <class T>
inline T* address_as(std::uint64_t address) noexcept {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

// Raises ValueError "Null pointer passed to <function>" when an address is 0;
// <function> is the name in `signature`.
template <class... Addresses>
void refuse_null(const Signature& signature, Addresses... addresses) {
  if (((addresses == 0) || ...)) {
    std::string message = "Null pointer passed to ";
    message += signature.name;
    throw_value_error(std::move(message));
  }
}

}  // namespace zoltra::ffi

// Declares NAME_signature for a function whose parameters are the remaining
// arguments (Param initialisers), in text-signature order.
#define ZOLTRA_SIGNATURE(NAME, ...)                                 \
  constexpr ::zoltra::ffi::Param NAME##_params[] = {__VA_ARGS__}; \
  constexpr ::zoltra::ffi::Signature NAME##_signature{#NAME, NAME##_params}

// Defines the table entry NAME_entry for a function with parameters, whose
// body is NAME_body.
#define ZOLTRA_FASTCALL_ENTRY(NAME)                                                             \
  static_assert(std::size(NAME##_params) ==                                                     \
                ::zoltra::ffi::BodyTraits<decltype(&NAME##_body)>::arity);                      \
  extern const ::zoltra::ffi::FunctionEntry NAME##_entry;                                       \
  const ::zoltra::ffi::FunctionEntry NAME##_entry {                                             \
    &NAME##_signature, ::zoltra::ffi::as_pyc_function(&::zoltra::ffi::fastcall_entry<NAME##_signature, &NAME##_body>), \
        METH_FASTCALL | METH_KEYWORDS, nullptr                                                  \
  }

// Defines the table entry NAME_entry for a function without parameters.
#define ZOLTRA_NOARGS_ENTRY(NAME, DESCRIPTION)                                                  \
  constexpr ::zoltra::ffi::Signature NAME##_signature{#NAME, {}};                                 \
  extern const ::zoltra::ffi::FunctionEntry NAME##_entry;                                       \
  const ::zoltra::ffi::FunctionEntry NAME##_entry {                                             \
    &NAME##_signature, ::zoltra::ffi::as_pyc_function(&::zoltra::ffi::noargs_entry<&NAME##_body>), METH_NOARGS, \
        DESCRIPTION                                                                             \
  }
