// The query methods of PySearchEngine, each defined in the binding file of its feature;
// engine_type.cpp places them in the method table in declaration order.
#pragma once

#include <Python.h>

namespace rivezor::py {

// Single-query search (query_single.cpp).
PyObject* engine_query_exact(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace rivezor::py
