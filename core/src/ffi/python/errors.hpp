#pragma once
// How failures travel from a call's body to Python. Bodies throw; the
// noexcept boundary (call_boundary) turns every C++ exception into the Python
// exception it stands for, and nothing crosses the C boundary.
#include <Python.h>

#include <new>
#include <source_location>
#include <string>
#include <utility>

#include "common/panic.hpp"
#include "common/unavailable.hpp"

namespace zoltra::ffi {

// One of the module's own errors: an exception type and its message. The
// Python exception is created only when it is raised.
struct ModuleError {
  PyObject* type;  // a built-in exception type, e.g. PyExc_ValueError
  std::string message;
};

// The host reported a failure; its exception is (normally) already set.
struct HostError {};

[[noreturn]] inline void throw_value_error(std::string message) {
  throw ModuleError{PyExc_ValueError, std::move(message)};
}
[[noreturn]] inline void throw_runtime_error(std::string message) {
  throw ModuleError{PyExc_RuntimeError, std::move(message)};
}

// Raises SystemError "attempted to fetch exception but none was set" when the
// host failed without setting an exception.
void ensure_exception_set() noexcept;

// Writes the abort diagnostic to standard error and raises PanicException.
void raise_panic(const char* message, const std::source_location* where) noexcept;

// The exception type "pyo3_runtime.PanicException", created once per process.
PyObject* panic_exception_type() noexcept;

void raise_module_error(const ModuleError& error) noexcept;

// Runs body() -> PyObject* (a new reference, or nullptr with an exception set)
// and maps every escaping C++ exception to its Python exception.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const HostError&) {
    ensure_exception_set();
  } catch (const ModuleError& error) {
    raise_module_error(error);
  } catch (const Panic& panic) {
    raise_panic(panic.what(), &panic.where());
  } catch (const Unavailable& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what(), nullptr);
  } catch (...) {
    raise_panic(nullptr, nullptr);
  }
  return nullptr;
}

}  // namespace zoltra::ffi
