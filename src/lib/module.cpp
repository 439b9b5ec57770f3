// Module entry point: creates `rivezor` once per process and registers its two classes
// and the index writer function in their fixed order, growing `__all__` as it goes.
#define RIVEZOR_IMPORT_NUMPY
#include "lib/numpy_api.hpp"

#include <cstdlib>

#include "core/messages.hpp"
#include "engine/fingerprint.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"

namespace rivezor::py {
namespace {

PyObject* g_module = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "rivezor",
    "",
    0,  // no per-module state; a size of -1 would let CPython copy the module on re-import
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool add_member(PyObject* module, const char* name, PyObject* object) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, object) == 0;
}

PyMethodDef prepare_def = {
    "py_prepare_bin_from_embeddings",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<prepare_bin_from_embeddings>)),
    METH_VARARGS | METH_KEYWORDS,
    "py_prepare_bin_from_embeddings(embeddings, dims, rows, base_name, level, normalize=False, ann=False, "
    "seed=0, metric=\"cosine\", output_dir=None)\n--\n\n",
};

bool register_members(PyObject* module) {
    PyTypeObject* engine = ensure_search_engine_type();
    if (engine == nullptr || !add_member(module, "PySearchEngine", reinterpret_cast<PyObject*>(engine)))
        return false;
    PyTypeObject* result = ensure_query_result_type();
    if (result == nullptr || !add_member(module, "PyQueryResult", reinterpret_cast<PyObject*>(result)))
        return false;
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(&prepare_def, module, module_name.get()));
    if (!function) return false;
    Ref fn_name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!fn_name) return false;
    if (!PyUnicode_Check(fn_name.get())) {
        PyErr_SetString(PyExc_TypeError, msg::kNameMustBeString);
        return false;
    }
    const char* name = PyUnicode_AsUTF8AndSize(fn_name.get(), nullptr);
    if (name == nullptr || !add_member(module, name, function.get())) return false;
    return true;
}

PyObject* initialize_module() {
    if (g_module != nullptr) {
        PyErr_SetString(PyExc_ImportError, rivezor::msg::kInitializedTwice);
        return nullptr;
    }
    if (PyArray_ImportNumPyAPI() < 0) return nullptr;
    // One-time process set-up while only this thread runs rivezor code: BLAKE3's CPU
    // detection is not thread-safe.
    rivezor::warm_up_hashing();
    g_entry_fault_armed = std::getenv(kEntryFaultVariable) != nullptr;

    Ref module = Ref::steal(PyModule_Create2(&module_def, 3));
    if (!module) return nullptr;
    if (!register_members(module.get())) return nullptr;
    g_module = module.get();
    Py_INCREF(g_module);  // the process-wide slot's own reference, never released
    return module.release();
}

}  // namespace
}  // namespace rivezor::py

extern "C" PyMODINIT_FUNC PyInit_rivezor(void) { return rivezor::py::entry<rivezor::py::initialize_module>(); }
