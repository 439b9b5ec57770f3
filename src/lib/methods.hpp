// The query methods of PySearchEngine, each defined in the binding file of its feature;
// engine_type.cpp places them in the method table in declaration order.
#pragma once

#include <Python.h>

namespace rivezor::py {

// Single-query search (query_single.cpp).
PyObject* engine_query_exact(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_exact_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_exact_detailed(PyObject* self, PyObject* args, PyObject* kwargs);

// Batch search (query_batch.cpp).
PyObject* engine_query_batch(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_batch_detailed(PyObject* self, PyObject* args, PyObject* kwargs);

// Certified search (query_certified.cpp).
PyObject* engine_query_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_query_batch_exact_certified(PyObject* self, PyObject* args, PyObject* kwargs);

// Score diagnostics (diagnostics_binding.cpp).
PyObject* engine_compare(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_explain(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace rivezor::py
