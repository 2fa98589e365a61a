// get_system_capabilities, get_capabilities_summary.
#include "backend/capabilities.hpp"
#include "ffi/python/entry.hpp"
#include "ffi/python/ref.hpp"

namespace zoltra::ffi {

namespace {

void set_item(PyObject* dict, const char* key, PyObject* value_ref) {
  Ref value = checked(value_ref);
  Ref name = checked(PyUnicode_FromString(key));
  if (PyDict_SetItem(dict, name.get(), value.get()) < 0) throw HostError{};
}

PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* get_system_capabilities_body() {
  const backend::SystemCapabilities& caps = backend::capabilities();
  Ref cpu = checked(PyDict_New());
  set_item(cpu.get(), "arch", PyUnicode_FromString(backend::cpu_arch_name(caps.cpu.arch)));
  set_item(cpu.get(), "cores", PyLong_FromUnsignedLongLong(caps.cpu.cores));
  set_item(cpu.get(), "has_avx2", new_bool(caps.cpu.has_avx2));
  set_item(cpu.get(), "has_avx512", new_bool(caps.cpu.has_avx512));
  set_item(cpu.get(), "has_fma", new_bool(caps.cpu.has_fma));
  set_item(cpu.get(), "has_neon", new_bool(caps.cpu.has_neon));
  set_item(cpu.get(), "best_simd", PyUnicode_FromString(backend::best_simd(caps.cpu)));
  Ref gpu = checked(PyDict_New());
  set_item(gpu.get(), "metal_available", new_bool(caps.gpu.metal_available));
  set_item(gpu.get(), "cuda_available", new_bool(caps.gpu.cuda_available));
  set_item(gpu.get(), "rocm_available", new_bool(caps.gpu.rocm_available));
  if (const char* best = backend::best_gpu(caps.gpu)) set_item(gpu.get(), "best_gpu", PyUnicode_FromString(best));
  Ref result = checked(PyDict_New());
  set_item(result.get(), "cpu", cpu.release());
  set_item(result.get(), "gpu", gpu.release());
  return result.release();
}

PyObject* get_capabilities_summary_body() {
  return result_text(backend::capabilities_summary(backend::capabilities()));
}

}  // namespace

ZOLTRA_NOARGS_ENTRY(get_system_capabilities, "Get system capabilities as a Python dict");
ZOLTRA_NOARGS_ENTRY(get_capabilities_summary, "Get a human-readable summary of system capabilities");

}  // namespace zoltra::ffi
