// Test-only module: each function aborts inside the native code in a different
// way, through the same boundary as the real module's functions.
#include <Python.h>

#include "common/panic.hpp"
#include "ffi/python/errors.hpp"
#include "scheduler/arena.hpp"
#include "scheduler/pool.hpp"

namespace {

using zoltra::ffi::call_boundary;

PyObject* panic_with_message(PyObject*, PyObject*) noexcept {
  return call_boundary([]() -> PyObject* { throw zoltra::Panic("probe abort"); });
}

PyObject* panic_without_message(PyObject*, PyObject*) noexcept {
  return call_boundary([]() -> PyObject* { throw 42; });
}

// A second use of the thread's arena while it is held.
PyObject* nested_arena(PyObject*, PyObject*) noexcept {
  return call_boundary([]() -> PyObject* {
    zoltra::scheduler::with_arena([](zoltra::scheduler::ThreadArena&) {
      zoltra::scheduler::with_arena([](zoltra::scheduler::ThreadArena&) {});
    });
    Py_RETURN_NONE;
  });
}

// An abort inside a chunk on the worker pool.
PyObject* panic_on_pool(PyObject*, PyObject*) noexcept {
  return call_boundary([]() -> PyObject* {
    auto body = [](std::size_t i) {
      if (i == 1) throw zoltra::Panic("probe abort on a pool thread");
    };
    zoltra::scheduler::run_chunks(4, body);
    Py_RETURN_NONE;
  });
}

PyObject* arena_is_free(PyObject*, PyObject*) noexcept {
  return call_boundary([]() -> PyObject* {
    zoltra::scheduler::with_arena([](zoltra::scheduler::ThreadArena&) {});
    Py_RETURN_TRUE;
  });
}

PyMethodDef methods[] = {
    {"panic_with_message", panic_with_message, METH_NOARGS, nullptr},
    {"panic_without_message", panic_without_message, METH_NOARGS, nullptr},
    {"nested_arena", nested_arena, METH_NOARGS, nullptr},
    {"panic_on_pool", panic_on_pool, METH_NOARGS, nullptr},
    {"arena_is_free", arena_is_free, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_zoltra_panic_probe", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zoltra_panic_probe(void) { return PyModule_Create(&definition); }
