// NumPy C API for the binding files: one shared API table, imported once in module.cpp.
// Include this before any other NumPy header.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL rivezor_ARRAY_API
#ifndef RIVEZOR_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
