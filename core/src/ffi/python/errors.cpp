#include "ffi/python/errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace zoltra::ffi {

namespace {

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python aborts.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it will typically "
    "propagate all the way up and end the interpreter.";

constexpr const char kAbortWithoutMessage[] = "native code aborted without a message";

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void ensure_exception_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

void raise_module_error(const ModuleError& error) noexcept {
  PyErr_SetString(error.type, error.message.c_str());
}

PyObject* panic_exception_type() noexcept {
  // Created under the interpreter lock; kept for the life of the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_panic(const char* message, const std::source_location* where) noexcept {
  try {
    const char* text = message != nullptr ? message : kAbortWithoutMessage;
    if (where != nullptr) {
      std::fprintf(stderr, "_zoltra_rust: internal abort at %s:%u:%u:\n%s\n", where->file_name(),
                   static_cast<unsigned>(where->line()), static_cast<unsigned>(where->column()), text);
    } else {
      std::fprintf(stderr, "_zoltra_rust: internal abort:\n%s\n", text);
    }
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_at_boundary();
    PyErr_SetString(type, text);
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace zoltra::ffi
