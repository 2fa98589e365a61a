#pragma once
// Argument handling shared by every function: the parser that maps positional
// and keyword arguments onto a fixed parameter list, and the conversion of
// each argument to its native type, in parameter order. The native type of a
// parameter is the type of the corresponding parameter of the body:
//   std::uint64_t                unsigned 64-bit integer
//   std::int32_t                 signed 32-bit integer
//   std::uint8_t                 unsigned 8-bit integer
//   std::vector<std::int64_t>    sequence of signed 64-bit integers
//   std::vector<std::int32_t>    sequence of signed 32-bit integers
//   std::optional<std::string>   optional text (None or absent -> nullopt)
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ffi/python/errors.hpp"

namespace zoltra::ffi {

struct Param {
  const char* name;
  bool defaults_to_none = false;
};

struct Signature {
  const char* name;
  std::span<const Param> params;
};

inline constexpr std::size_t kMaxParams = 10;

// Fills slots[i] with a borrowed reference to the argument of parameter i, or
// nullptr for an omitted parameter that has a default. Throws HostError with
// the parser's TypeError set.
void parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots);

// Conversions. Each throws HostError with the Python exception set, already
// carrying the "argument '{P}': " prefix when it is exactly a TypeError.
std::uint64_t to_u64(PyObject* obj, const char* param);
std::int32_t to_i32(PyObject* obj, const char* param);
std::uint8_t to_u8(PyObject* obj, const char* param);
std::vector<std::int64_t> to_i64_sequence(PyObject* obj, const char* param);
std::vector<std::int32_t> to_i32_sequence(PyObject* obj, const char* param);
std::optional<std::string> to_optional_text(PyObject* obj, const char* param);

template <class T>
struct Converter;
template <>
struct Converter<std::uint64_t> {
  static std::uint64_t convert(PyObject* o, const char* p) { return to_u64(o, p); }
};
template <>
struct Converter<std::int32_t> {
  static std::int32_t convert(PyObject* o, const char* p) { return to_i32(o, p); }
};
template <>
struct Converter<std::uint8_t> {
  static std::uint8_t convert(PyObject* o, const char* p) { return to_u8(o, p); }
};
template <>
struct Converter<std::vector<std::int64_t>> {
  static std::vector<std::int64_t> convert(PyObject* o, const char* p) { return to_i64_sequence(o, p); }
};
template <>
struct Converter<std::vector<std::int32_t>> {
  static std::vector<std::int32_t> convert(PyObject* o, const char* p) { return to_i32_sequence(o, p); }
};
template <>
struct Converter<std::optional<std::string>> {
  static std::optional<std::string> convert(PyObject* o, const char* p) { return to_optional_text(o, p); }
};

template <class Fn>
struct BodyTraits;
template <class... Ts>
struct BodyTraits<PyObject* (*)(Ts...)> {
  using Args = std::tuple<std::remove_cvref_t<Ts>...>;
  static constexpr std::size_t arity = sizeof...(Ts);
};

// Converts the slots in parameter order (braced initialisation evaluates left
// to right, and the first failure throws) and calls the body.
template <auto Body, std::size_t... I>
PyObject* convert_and_call(const Signature& signature, PyObject** slots, std::index_sequence<I...>) {
  using Args = typename BodyTraits<decltype(Body)>::Args;
  Args converted{Converter<std::tuple_element_t<I, Args>>::convert(slots[I], signature.params[I].name)...};
  return Body(std::move(std::get<I>(converted))...);
}

// The C-level entry of a function with parameters (METH_FASTCALL | METH_KEYWORDS).
template <const Signature& Sig, auto Body>
PyObject* fastcall_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&]() -> PyObject* {
    constexpr std::size_t arity = BodyTraits<decltype(Body)>::arity;
    static_assert(arity <= kMaxParams);
    PyObject* slots[kMaxParams];
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(arity)) {
      for (std::size_t i = 0; i < arity; ++i) slots[i] = args[i];
    } else {
      parse_arguments(Sig, args, nargs, kwnames, slots);
    }
    return convert_and_call<Body>(Sig, slots, std::make_index_sequence<arity>{});
  });
}

// The C-level entry of a function without parameters (METH_NOARGS).
template <PyObject* (*Body)()>
PyObject* noargs_entry(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return call_boundary([] { return Body(); });
}

// Result conversions; each returns a new reference or throws HostError.
PyObject* result_float(float value);
PyObject* result_int(long value);
PyObject* result_bool(bool value) noexcept;
PyObject* result_none() noexcept;
PyObject* result_text(const std::string& text);

}  // namespace zoltra::ffi
