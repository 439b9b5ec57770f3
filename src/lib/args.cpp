// Binding of Python call arguments to named parameters and their typed conversion, with the
// messages callers see for missing, surplus, duplicated and ill-typed arguments.
#include "lib/args.hpp"

#include <cstring>
#include <vector>

#include "core/messages.hpp"
#include "lib/py_ref.hpp"

namespace rivezor::py {
namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

std::string str_of(PyObject* o) {
    Ref s = Ref::steal(PyObject_Str(o));
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(utf8, static_cast<std::size_t>(n));
}

}  // namespace

std::string type_name(PyObject* value) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    return str_of(name.get());
}

void raise_argument_error(const char* name, const std::string& message) {
    PyErr_Format(PyExc_TypeError, msg::kFmtArgument, name, message.c_str());
}

bool bind_arguments(const char* callable, PyObject* args, PyObject* kwargs, const char* const* names,
                    std::size_t count, std::size_t required, PyObject** out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > count) {
        if (required == count)
            PyErr_Format(PyExc_TypeError, msg::kFmtTooManyPositional, callable,
                         count, count == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, msg::kFmtTooManyPositionalRange,
                         callable, required, count, given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);
    if (kwargs != nullptr) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, msg::kFmtKeywordsMustBeStrings, callable);
                return false;
            }
            const char* key_text = PyUnicode_AsUTF8AndSize(key, nullptr);
            if (key_text == nullptr) return false;
            std::size_t slot = count;
            for (std::size_t i = 0; i < count; ++i)
                if (std::strcmp(names[i], key_text) == 0) slot = i;
            if (slot == count) {
                PyErr_Format(PyExc_TypeError, msg::kFmtUnexpectedKeyword, callable, key_text);
                return false;
            }
            if (out[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, msg::kFmtMultipleValues, callable, key_text);
                return false;
            }
            out[slot] = value;
        }
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (out[i] == nullptr) missing.push_back(names[i]);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, msg::kFmtMissingPositional, callable,
                     missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t* out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        // Not an integer at all: CPython's message behind the argument prefix.
        PyObject *type, *val, *tb;
        PyErr_Fetch(&type, &val, &tb);
        PyErr_NormalizeException(&type, &val, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(val), b = Ref::steal(tb);
        if (t && PyErr_GivenExceptionMatches(t.get(), PyExc_TypeError)) {
            raise_argument_error(name, v ? str_of(v.get()) : std::string(msg::kIntegerRequired));
        } else {
            PyErr_Restore(t.release(), v.release(), b.release());
        }
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError as is
    *out = static_cast<std::uint64_t>(v);
    return true;
}

bool to_bool(PyObject* value, const char* name, bool* out) {
    if (!PyBool_Check(value)) {
        raise_argument_error(name, msg::cannot_convert(type_name(value), "PyBool"));
        return false;
    }
    *out = value == Py_True;
    return true;
}

bool to_text(PyObject* value, const char* name, std::string* out) {
    if (!PyUnicode_Check(value)) {
        raise_argument_error(name, msg::cannot_convert(type_name(value), "PyString"));
        return false;
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &n);
    if (utf8 == nullptr) return false;
    out->assign(utf8, static_cast<std::size_t>(n));
    return true;
}

bool to_path(PyObject* value, const char* name, std::string* out) {
    if (!PyUnicode_Check(value)) {
        raise_argument_error(name, msg::cannot_convert(type_name(value), "PyString"));
        return false;
    }
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(value));
    if (!encoded) return false;
    char* bytes = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &n) != 0) return false;
    out->assign(bytes, static_cast<std::size_t>(n));
    return true;
}

bool to_float32_array(PyObject* value, const char* name, int ndim, PyArrayObject** out) {
    if (!PyArray_Check(value)) {
        raise_argument_error(name, msg::cannot_convert(type_name(value), "PyArray<T, D>"));
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) != ndim) {
        raise_argument_error(name, msg::dimensionality_mismatch(PyArray_NDIM(array), ndim));
        return false;
    }
    PyArray_Descr* want = PyArray_DescrFromType(NPY_FLOAT32);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), want);
    Py_DECREF(reinterpret_cast<PyObject*>(want));
    if (!same) {
        raise_argument_error(name, msg::dtype_mismatch(str_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)))));
        return false;
    }
    *out = array;
    return true;
}

bool require_c_contiguous(PyArrayObject* array) {
    if (!PyArray_IS_C_CONTIGUOUS(array)) {
        PyErr_SetString(PyExc_TypeError, msg::kNotContiguous);
        return false;
    }
    return true;
}

const float* float_data(PyArrayObject* array, std::vector<float>& scratch) {
    const auto* data = static_cast<const char*>(PyArray_DATA(array));
    if (PyArray_ISALIGNED(array)) return reinterpret_cast<const float*>(data);
    scratch.resize(static_cast<std::size_t>(PyArray_SIZE(array)));
    std::memcpy(scratch.data(), data, scratch.size() * sizeof(float));
    return scratch.data();
}

}  // namespace rivezor::py
