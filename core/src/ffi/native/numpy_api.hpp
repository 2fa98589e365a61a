#pragma once
// NumPy's C API for the layer's translation units: one table of functions,
// filled by module.cpp (the only file that defines ZOLTRA_NATIVE_IMPORTS_NUMPY).
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL zoltra_native_ARRAY_API
#ifndef ZOLTRA_NATIVE_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
