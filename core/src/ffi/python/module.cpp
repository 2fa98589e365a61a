// Module initialisation: one module object per process (single-phase), bound
// to the first interpreter that imports it, with the functions of the table
// added in table order.
#include <Python.h>

#include <array>
#include <atomic>
#include <string>

#include "ffi/python/entry.hpp"
#include "ffi/python/ref.hpp"

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
constexpr auto kFunctionTable = std::to_array<const FunctionEntry*>({ZOLTRA_FUNCTIONS(ZOLTRA_ENTRY_ADDRESS)});
constexpr std::size_t kFunctionCount = kFunctionTable.size();
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
const std::array<PyMethodDef, kFunctionCount>& method_definitions() {
  static const std::array<std::string, kFunctionCount> docs = [] {
    std::array<std::string, kFunctionCount> texts;
    for (std::size_t i = 0; i < kFunctionTable.size(); ++i) texts[i] = docstring(*kFunctionTable[i]);
    return texts;
  }();
  static const std::array<PyMethodDef, kFunctionCount> defs = [] {
    std::array<PyMethodDef, kFunctionCount> records{};
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
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError{};
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw HostError{};
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    throw HostError{};
  }
  return all.get();  // the module keeps it alive
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Ref function = checked(PyCMethod_New(def, module, module_name, nullptr));
  Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
  PyObject* all = all_list(module);
  if (PyList_Append(all, name.get()) < 0 || PyObject_SetAttr(module, name.get(), function.get()) < 0) {
    throw HostError{};
  }
}

void register_functions(PyObject* module) {
  Ref module_name = checked(PyModule_GetNameObject(module));
  for (const PyMethodDef& def : method_definitions()) {
    add_function(module, module_name.get(), const_cast<PyMethodDef*>(&def));
  }
}

std::atomic<std::int64_t> bound_interpreter{-1};
PyObject* module_cache = nullptr;  // read and written with the interpreter lock held

PyObject* initialise() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) throw HostError{};
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_zoltra_rust does not support sub-interpreters: it can only be imported once per process, "
                    "in the interpreter that imported it first");
    return nullptr;
  }
  if (module_cache != nullptr) return Py_NewRef(module_cache);
  Ref module = checked(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  register_functions(module.get());
  if (module_cache != nullptr) return Py_NewRef(module_cache);  // filled by a nested import meanwhile
  module_cache = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace zoltra::ffi

PyMODINIT_FUNC PyInit__zoltra_rust(void) {
  return zoltra::ffi::call_boundary([] { return zoltra::ffi::initialise(); });
}
