#include "ffi/python/args.hpp"

#include "ffi/python/ref.hpp"

#include <algorithm>
#include <limits>
#include <string>

namespace zoltra::ffi {

namespace {

constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

// Out-of-line error builders keep the successful path short.

[[noreturn]] void throw_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw HostError{};
}

[[noreturn]] void fail_too_many_positional(const Signature& signature, Py_ssize_t nargs) {
  std::size_t required = 0;
  for (const Param& p : signature.params) required += p.defaults_to_none ? 0 : 1;
  std::string message = std::string(signature.name) + "() takes ";
  if (required != signature.params.size()) {
    message += "from " + std::to_string(required) + " to ";
  }
  message += std::to_string(signature.params.size()) + " positional arguments but " + std::to_string(nargs) +
             (nargs == 1 ? " was given" : " were given");
  throw_type_error(message);
}

[[noreturn]] void fail_keyword(const Signature& signature, const char* what, PyObject* name) {
  Ref message = checked(PyUnicode_FromFormat("%s() %s '%U'", signature.name, what, name));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw HostError{};
}

[[noreturn]] void fail_missing(const Signature& signature, PyObject** slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (slots[i] == nullptr && !signature.params[i].defaults_to_none) missing.push_back(signature.params[i].name);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) list += ",";
      list += (i + 1 == missing.size()) ? " and " : " ";
    }
    list += "'" + std::string(missing[i]) + "'";
  }
  throw_type_error(std::string(signature.name) + "() missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

// Replaces a pending exception whose type is exactly TypeError by
// TypeError("argument '{P}': {MSG}"), keeping the original's cause. Other
// exceptions pass unchanged.
[[noreturn]] void fail_conversion(const char* param) {
  if (!PyErr_Occurred()) throw HostError{};
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    throw HostError{};
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref text(value != nullptr ? PyObject_Str(value) : nullptr);
  Ref message(text ? PyUnicode_FromFormat("argument '%s': %U", param, text.get()) : nullptr);
  Ref replacement(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
  if (!replacement) {
    // Could not build the replacement: raise the original unchanged.
    PyErr_Clear();
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    throw HostError{};
  }
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);  // steals
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  throw HostError{};
}

[[noreturn]] void fail_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  throw HostError{};
}

// The qualified name of obj's type, as the conversion messages show it.
std::string type_qualname(PyObject* obj) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  std::string result = "<failed to extract type name>";
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      result.assign(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return result;
}

// On LP64 Linux `long` is 64 bits, and the host converts multi-digit ints to
// `long` much faster than to `long long`. On failure the `long long`
// conversion runs again so that the error is the one it raises.
static_assert(sizeof(long) == 8 && sizeof(unsigned long) == 8);

std::uint64_t unsigned_value(PyObject* integer, const char* param) {
  unsigned long value = PyLong_AsUnsignedLong(integer);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    if (PyLong_AsUnsignedLongLong(integer) == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      fail_conversion(param);
    }
    throw HostError{};  // unreachable: both conversions fail together
  }
  return value;
}

long long signed_value(PyObject* integer, const char* param) {
  long value = PyLong_AsLong(integer);
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    if (PyLong_AsLongLong(integer) == -1 && PyErr_Occurred()) fail_conversion(param);
    throw HostError{};  // unreachable: both conversions fail together
  }
  return value;
}

// An int converts directly; any other object goes through its __index__ first.
template <class Convert>
auto via_index(PyObject* obj, const char* param, Convert convert) -> decltype(convert(obj, param)) {
  if (PyLong_Check(obj)) return convert(obj, param);
  Ref index(PyNumber_Index(obj));
  if (!index) fail_conversion(param);
  return convert(index.get(), param);
}

long long to_i64_value(PyObject* obj, const char* param) { return via_index(obj, param, signed_value); }

template <class Item>
std::vector<Item> to_sequence(PyObject* obj, const char* param) {
  if (PyUnicode_Check(obj)) throw_type_error(std::string("argument '") + param + "': Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) {
    throw_type_error(std::string("argument '") + param + "': '" + type_qualname(obj) +
                     "' object cannot be converted to 'Sequence'");
  }
  std::vector<Item> items;
  Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();
  } else {
    // Only a hint: a sequence may claim any length, so never trust it with
    // more than a modest reservation; the list grows as items arrive.
    items.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, kMaxReservedItems)));
  }
  Ref iterator(PyObject_GetIter(obj));
  if (!iterator) fail_conversion(param);
  while (Ref item{PyIter_Next(iterator.get())}) {
    long long value = to_i64_value(item.get(), param);
    if constexpr (sizeof(Item) < sizeof(long long)) {
      if (value < std::numeric_limits<Item>::min() || value > std::numeric_limits<Item>::max()) fail_out_of_range();
    }
    items.push_back(static_cast<Item>(value));
  }
  if (PyErr_Occurred()) fail_conversion(param);
  return items;
}

}  // namespace

void parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) {
  const std::size_t nparams = signature.params.size();
  if (nargs > static_cast<Py_ssize_t>(nparams)) fail_too_many_positional(signature, nargs);
  for (std::size_t i = 0; i < nparams; ++i) slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
      std::size_t found = nparams;
      for (std::size_t i = 0; i < nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.params[i].name) == 0) {
          found = i;
          break;
        }
      }
      if (found == nparams) fail_keyword(signature, "got an unexpected keyword argument", keyword);
      if (slots[found] != nullptr) fail_keyword(signature, "got multiple values for argument", keyword);
      slots[found] = args[nargs + j];
    }
  }
  for (std::size_t i = 0; i < nparams; ++i) {
    if (slots[i] == nullptr && !signature.params[i].defaults_to_none) fail_missing(signature, slots);
  }
}

std::uint64_t to_u64(PyObject* obj, const char* param) { return via_index(obj, param, unsigned_value); }

std::int32_t to_i32(PyObject* obj, const char* param) {
  long long value = to_i64_value(obj, param);
  if (value < INT32_MIN || value > INT32_MAX) fail_out_of_range();
  return static_cast<std::int32_t>(value);
}

std::uint8_t to_u8(PyObject* obj, const char* param) {
  long long value = to_i64_value(obj, param);
  if (value < 0 || value > 255) fail_out_of_range();
  return static_cast<std::uint8_t>(value);
}

std::vector<std::int64_t> to_i64_sequence(PyObject* obj, const char* param) {
  return to_sequence<std::int64_t>(obj, param);
}

std::vector<std::int32_t> to_i32_sequence(PyObject* obj, const char* param) {
  return to_sequence<std::int32_t>(obj, param);
}

std::optional<std::string> to_optional_text(PyObject* obj, const char* param) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  if (!PyUnicode_Check(obj)) {
    throw_type_error(std::string("argument '") + param + "': '" + type_qualname(obj) +
                     "' object cannot be converted to 'PyString'");
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) fail_conversion(param);
  return std::string(utf8, static_cast<std::size_t>(size));
}

PyObject* result_float(float value) {
  PyObject* result = PyFloat_FromDouble(static_cast<double>(value));
  if (result == nullptr) throw HostError{};
  return result;
}

PyObject* result_int(long value) {
  PyObject* result = PyLong_FromLong(value);
  if (result == nullptr) throw HostError{};
  return result;
}

PyObject* result_bool(bool value) noexcept {
  if (value) Py_RETURN_TRUE;
  Py_RETURN_FALSE;
}

PyObject* result_none() noexcept { Py_RETURN_NONE; }

PyObject* result_text(const std::string& text) {
  PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (result == nullptr) throw HostError{};
  return result;
}

}  // namespace zoltra::ffi
