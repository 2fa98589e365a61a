// Module initialisation: one module object per process (single-phase), bound
// to the first interpreter that imports it, with the 39 functions added in
// table order.
#include <Python.h>

#include <array>
#include <atomic>
#include <string>

#include "ffi/python/entry.hpp"

namespace zoltra::ffi {

// Table order is part of the interface: it is the order of __all__.
#define ZOLTRA_FUNCTIONS(X)                                                                                        \
  X(tensor_all) X(tensor_any) X(tensor_sum_f32) X(tensor_sum_i32) X(tensor_mean_f32) X(tensor_matmul_f32)        \
  X(tensor_matmul_2d_f32) X(tensor_dot_product_f32) X(tensor_sum_f32_strided) X(tensor_mean_f32_strided)         \
  X(tensor_max_f32_strided) X(tensor_min_f32_strided) X(set_backend_policy) X(get_backend_policy)                \
  X(explain_last_dispatch) X(tensor_add_f32) X(tensor_sub_f32) X(tensor_mul_f32) X(tensor_div_f32)               \
  X(enable_profiling) X(disable_profiling) X(clear_profile) X(get_profile_report) X(set_profile_context)          \
  X(metal_is_available) X(metal_sum_f32) X(metal_mean_f32) X(metal_max_f32) X(metal_min_f32) X(metal_matmul_f32) \
  X(metal_add_f32) X(metal_sub_f32) X(metal_mul_f32) X(metal_div_f32) X(metal_transpose_f32)                     \
  X(metal_broadcast_op) X(get_system_capabilities) X(get_capabilities_summary) X(sum_as_string)

#define ZOLTRA_DECLARE_ENTRY(NAME) extern const FunctionEntry NAME##_entry;
ZOLTRA_FUNCTIONS(ZOLTRA_DECLARE_ENTRY)
#undef ZOLTRA_DECLARE_ENTRY

namespace {

#define ZOLTRA_ENTRY_ADDRESS(NAME) &NAME##_entry,
const std::array<const FunctionEntry*, 39> kFunctionTable = {ZOLTRA_FUNCTIONS(ZOLTRA_ENTRY_ADDRESS)};
#undef ZOLTRA_ENTRY_ADDRESS

constexpr const char kModuleDoc[] =
    "Python module with a native C++ implementation.\n"
    "\n"
    "Exports the module's native functions to Python through its binding layer.\n"
    "All function signatures use raw pointers for zero-copy performance.";

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_zoltra_rust", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// "name(p1, p2, context=None)\n--\n\n" followed by the description, if any.
std::string docstring(const FunctionEntry& entry) {
  std::string doc = entry.signature->name;
  doc += '(';
  for (std::size_t i = 0; i < entry.signature->params.size(); ++i) {
    if (i > 0) doc += ", ";
    doc += entry.signature->params[i].name;
    if (entry.signature->params[i].defaults_to_none) doc += "=None";
  }
  doc += ")\n--\n\n";
  if (entry.description != nullptr) doc += entry.description;
  return doc;
}

// Method records live as long as the process: function objects point at them.
const std::array<PyMethodDef, 39>& method_definitions() {
  static const std::array<std::string, 39> docs = [] {
    std::array<std::string, 39> texts;
    for (std::size_t i = 0; i < kFunctionTable.size(); ++i) texts[i] = docstring(*kFunctionTable[i]);
    return texts;
  }();
  static const std::array<PyMethodDef, 39> defs = [] {
    std::array<PyMethodDef, 39> records{};
    for (std::size_t i = 0; i < kFunctionTable.size(); ++i) {
      const FunctionEntry& entry = *kFunctionTable[i];
      records[i] = PyMethodDef{entry.signature->name, entry.cfunc, entry.flags, docs[i].c_str()};
    }
    return records;
  }();
  return defs;
}

// The module's __all__ list (a borrowed reference), created when missing.
PyObject* all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return nullptr;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return nullptr;
    }
  }
  if (!PyList_Check(all)) {
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return nullptr;
  }
  Py_DECREF(all);  // the module keeps it alive
  return all;
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
  if (function == nullptr) return -1;
  int status = -1;
  PyObject* name = PyObject_GetAttrString(function, "__name__");
  if (name != nullptr) {
    PyObject* all = all_list(module);
    if (all != nullptr && PyList_Append(all, name) == 0 && PyObject_SetAttr(module, name, function) == 0) status = 0;
    Py_DECREF(name);
  }
  Py_DECREF(function);
  return status;
}

int register_functions(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return -1;
  int status = 0;
  for (const PyMethodDef& def : method_definitions()) {
    if (add_function(module, module_name, const_cast<PyMethodDef*>(&def)) < 0) {
      status = -1;
      break;
    }
  }
  Py_DECREF(module_name);
  return status;
}

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_cache = nullptr;  // read and written with the interpreter lock held

PyObject* initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    ensure_exception_set();
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_zoltra_rust does not support sub-interpreters: it can only be imported once per process, "
                    "in the interpreter that imported it first");
    return nullptr;
  }
  if (module_cache != nullptr) return Py_NewRef(module_cache);
  PyObject* module = PyModule_Create2(&module_definition, 1013);
  if (module == nullptr) {
    ensure_exception_set();
    return nullptr;
  }
  if (register_functions(module) < 0) {
    ensure_exception_set();
    Py_DECREF(module);
    return nullptr;
  }
  if (module_cache != nullptr) {  // filled by a nested import meanwhile
    Py_DECREF(module);
    return Py_NewRef(module_cache);
  }
  module_cache = Py_NewRef(module);
  return module;
}

}  // namespace

}  // namespace zoltra::ffi

PyMODINIT_FUNC PyInit__zoltra_rust(void) {
  return zoltra::ffi::call_boundary([] { return zoltra::ffi::initialise(); });
}
