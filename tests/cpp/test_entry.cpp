// The binding's entry wrapper inside an embedded interpreter: each C++ failure an entry can
// raise reaches CPython as the matching Python exception, never as an abort.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "lib/entry.hpp"

// The embedded interpreter keeps its own objects until exit, which leak checking would
// report; leaks of Python objects are measured by the Python suite instead.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3"; }

namespace rivezor::py {
namespace {

PyObject* throws_bad_alloc(PyObject*, PyObject*) { throw std::bad_alloc(); }
PyObject* throws_runtime_error(PyObject*, PyObject*) { throw std::runtime_error("kernel table missing"); }
PyObject* throws_int(PyObject*, PyObject*) { throw 7; }
PyObject* raises_engine_message(PyObject*, PyObject*) {
    return value_or_raise(Result<PyObject*>(fail("queries.len() não é múltiplo de dims")));
}
PyObject* sets_error_then_throws(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_KeyError, "seed");
    throw PythonErrorSet{};
}
PyObject* answers(PyObject*, PyObject*) { return PyLong_FromLong(42); }
int status_throws(PyObject*, PyObject*, void*) { throw std::bad_alloc(); }
void dealloc_throws(PyObject*) { throw std::bad_alloc(); }

class EntryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!Py_IsInitialized()) Py_InitializeEx(0);
    }

    // Calls `method` the way CPython calls a method-table entry; returns the exception's type
    // name and message, or "ok".
    static std::string call(PyCFunction method) {
        PyMethodDef def = {"entry", method, METH_NOARGS, nullptr};
        Ref function = Ref::steal(PyCFunction_New(&def, nullptr));
        Ref result = Ref::steal(PyObject_CallNoArgs(function.get()));
        if (result) return "ok";
        return fetch_error();
    }

    static std::string fetch_error() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(traceback);
        if (!t) return "no exception";
        Ref text = Ref::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
        return std::string(reinterpret_cast<PyTypeObject*>(t.get())->tp_name) + ": " + PyUnicode_AsUTF8(text.get());
    }
};

TEST_F(EntryTest, EachFailureBecomesItsPythonException) {
    const struct {
        PyCFunction method;
        const char* expected;
    } cases[] = {
        {entry<throws_bad_alloc>, "MemoryError: "},
        {entry<throws_runtime_error>, "RuntimeError: kernel table missing"},
        {entry<throws_int>, "RuntimeError: unexpected internal error"},
        {entry<raises_engine_message>, "ValueError: queries.len() não é múltiplo de dims"},
        {entry<sets_error_then_throws>, "KeyError: seed"},
        {entry<answers>, "ok"},
    };
    for (const auto& c : cases) EXPECT_EQ(call(c.method), c.expected);
}

TEST_F(EntryTest, StatusAndDeallocEntriesFailWithoutUnwinding) {
    EXPECT_EQ(entry<status_throws>(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(fetch_error(), "MemoryError: ");
    entry<dealloc_throws>(nullptr);  // reported as unraisable, then cleared
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
}  // namespace rivezor::py
