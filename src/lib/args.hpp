// Argument binding and conversion for every Python-callable entry: positional or keyword
// binding with CPython's wording, and the typed converters with their exact messages.
#pragma once

#include "lib/numpy_api.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rivezor::py {

// Binds args/kwargs to `count` named parameters, the first `required` mandatory. Fills
// out[i] with borrowed references (nullptr when an optional one is absent).
// `callable` is the name used in messages, e.g. "PySearchEngine.query_exact".
bool bind_arguments(const char* callable, PyObject* args, PyObject* kwargs, const char* const* names,
                    std::size_t count, std::size_t required, PyObject** out);

// Each converter sets a Python exception and returns false on failure.
bool to_u64(PyObject* value, const char* name, std::uint64_t* out);
bool to_bool(PyObject* value, const char* name, bool* out);
// Text as UTF-8; a str subclass is accepted.
bool to_text(PyObject* value, const char* name, std::string* out);
// A path in the file-system encoding (lone surrogates map back to their bytes).
bool to_path(PyObject* value, const char* name, std::string* out);
// A NumPy ndarray with exactly `ndim` dimensions and a float32-equivalent dtype (borrowed).
bool to_float32_array(PyObject* value, const char* name, int ndim, PyArrayObject** out);

// Contiguity check shared by every method: TypeError "The given array is not contiguous".
bool require_c_contiguous(PyArrayObject* array);

// Float32 data of a checked array; copies into `scratch` only when the data is unaligned.
const float* float_data(PyArrayObject* array, std::vector<float>& scratch);

// Raises TypeError "argument '{name}': {message}".
void raise_argument_error(const char* name, const std::string& message);

std::string type_name(PyObject* value);

}  // namespace rivezor::py
