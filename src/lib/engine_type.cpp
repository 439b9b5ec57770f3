// PySearchEngine: the Python face of one opened index. Owns a shared reference to the
// immutable engine; the method table lists the methods in their declaration order.
#include <cstdlib>
#include <memory>

#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"
#include "lib/methods.hpp"
#include "lib/py_values.hpp"
#include "runtime/environment.hpp"

namespace rivezor::py {
namespace {

bool g_environ_mirrored = false;

// The first construction exports the thread count to the C environment; Python's
// os.environ keeps its own copy, so the same values are written there too.
void mirror_thread_vars_into_os_environ() {
    if (g_environ_mirrored || !runtime::configuration_done()) return;
    g_environ_mirrored = true;
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref environ = os ? Ref::steal(PyObject_GetAttrString(os.get(), "environ")) : Ref();
    if (!environ) {
        PyErr_Clear();
        return;
    }
    for (const char* name : runtime::kExportedThreadVars) {
        const char* value = std::getenv(name);
        if (value == nullptr) continue;
        Ref v = Ref::steal(PyUnicode_DecodeFSDefault(value));
        if (!v || PyMapping_SetItemString(environ.get(), name, v.get()) != 0) PyErr_Clear();
    }
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"bin_path", "ann"};
    PyObject* argv[2];
    if (!bind_arguments("PySearchEngine.__new__", args, kwargs, names, 2, 2, argv)) return nullptr;
    std::string path;
    bool ann = false;
    if (!to_path(argv[0], "bin_path", &path) || !to_bool(argv[1], "ann", &ann)) return nullptr;

    Result<EngineRef> opened = open_engine(path, ann);
    mirror_thread_vars_into_os_environ();
    auto engine = std::make_unique<EngineRef>(value_or_raise(std::move(opened)));

    PyObject* self = alloc_instance(type);
    if (self == nullptr) return nullptr;
    reinterpret_cast<EngineObject*>(self)->engine = engine.release();
    return self;
}

void engine_dealloc(PyObject* self) {
    delete reinterpret_cast<EngineObject*>(self)->engine;
    free_instance(self);
}

PyObject* engine_dims(PyObject* self, PyObject*) { return py_value(engine_of(self).dims()).release(); }
PyObject* engine_rows(PyObject* self, PyObject*) { return py_value(engine_of(self).rows()).release(); }

#define RIVEZOR_KW_METHOD(name, fn, sig)                                                                   \
    {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<fn>)), METH_VARARGS | METH_KEYWORDS, \
     sig}

PyMethodDef engine_methods[] = {
    {"dims", entry<engine_dims>, METH_NOARGS, "dims($self)\n--\n\n"},
    {"rows", entry<engine_rows>, METH_NOARGS, "rows($self)\n--\n\n"},
    RIVEZOR_KW_METHOD("query_exact", engine_query_exact, "query_exact($self, query, k)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_exact_arrays", engine_query_exact_arrays, "query_exact_arrays($self, query, k)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_batch", engine_query_batch, "query_batch($self, queries, k)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_batch_arrays", engine_query_batch_arrays, "query_batch_arrays($self, queries, k)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_exact_detailed", engine_query_exact_detailed,
                      "query_exact_detailed($self, query, k)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_exact_certified", engine_query_exact_certified,
                      "query_exact_certified($self, query, k, block_size=64, enable_pruning=True)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_batch_exact_certified", engine_query_batch_exact_certified,
                      "query_batch_exact_certified($self, queries, k, block_size=64, enable_pruning=True)\n--\n\n"),
    RIVEZOR_KW_METHOD("query_batch_detailed", engine_query_batch_detailed,
                      "query_batch_detailed($self, queries, k)\n--\n\n"),
    RIVEZOR_KW_METHOD("compare", engine_compare, "compare($self, query, idx_a, idx_b, block_size, top_blocks)\n--\n\n"),
    RIVEZOR_KW_METHOD("explain", engine_explain, "explain($self, query, idx, block_size, top_blocks)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<engine_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry<engine_dealloc>)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>("PySearchEngine(bin_path, ann)\n--\n\n")},
    {0, nullptr},
};
PyType_Spec engine_spec = {"builtins.PySearchEngine", sizeof(EngineObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, engine_slots};

PyObject* g_engine_type = nullptr;

}  // namespace

PyTypeObject* ensure_search_engine_type() {
    if (g_engine_type == nullptr) g_engine_type = PyType_FromSpec(&engine_spec);
    return reinterpret_cast<PyTypeObject*>(g_engine_type);
}

}  // namespace rivezor::py
