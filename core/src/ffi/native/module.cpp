// zoltra_native._native: the array layer's functions, one method table per
// source file, joined here. The kernels, pool, profiler and dispatch record
// are those of the shared runtime library that _zoltra_rust loads too.
#define ZOLTRA_NATIVE_IMPORTS_NUMPY
#include "ffi/native/numpy_api.hpp"

#include <vector>

#include "ffi/native/layer.hpp"
#include "ffi/python/ref.hpp"

namespace zoltra::native {

namespace {

PyMethodDef* method_table() {
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> all;
    for (auto part : {elementwise_methods(), reduction_methods(), product_methods(), profile_methods(),
                      unary_math_methods(), extremum_methods(), comparison_methods(), where_methods(),
                      argextremum_methods()}) {
      all.insert(all.end(), part.begin(), part.end());
    }
    all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return all;
  }();
  return table.data();
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "zoltra_native._native",
    "The compiled functions of zoltra_native (see the package's documentation).", -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace zoltra::native

PyMODINIT_FUNC PyInit__native(void) {
  return zoltra::ffi::call_boundary([]() -> PyObject* {
    if (_import_array() < 0) throw zoltra::ffi::HostError{};
    zoltra::native::module_definition.m_methods = zoltra::native::method_table();
    return PyModule_Create(&zoltra::native::module_definition);
  });
}
