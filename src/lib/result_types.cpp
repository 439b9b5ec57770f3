// PyQueryResult and PyQueryItem: immutable value objects that own their hits outright, so
// they outlive the engine; every property read builds a fresh Python object.
#include <cstdio>
#include <new>
#include <vector>

#include "core/messages.hpp"
#include "core/version.hpp"
#include "lib/bindings.hpp"
#include "lib/entry.hpp"
#include "lib/py_values.hpp"

namespace rivezor::py {
namespace {

struct ResultRecord {
    QueryOutcome outcome;
    std::optional<FullInfo> full;
};

struct ResultObject {
    PyObject_HEAD
    ResultRecord* record;
};

struct ItemObject {
    PyObject_HEAD
    std::uint64_t idx;
    float score;
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, msg::kNoConstructor);
    return nullptr;
}

void result_dealloc(PyObject* self) {
    delete reinterpret_cast<ResultObject*>(self)->record;
    free_instance(self);
}

const ResultRecord& record_of(PyObject* self) { return *reinterpret_cast<ResultObject*>(self)->record; }

// A full result's description field, or None for a plain result.
template <class Field>
PyObject* full_field(PyObject* self, Field field) {
    const std::optional<FullInfo>& full = record_of(self).full;
    if (!full) Py_RETURN_NONE;
    return py_value(field(*full)).release();
}

PyObject* make_item(const Hit& hit) {
    PyTypeObject* type = ensure_query_item_type();
    if (type == nullptr) return nullptr;
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) return nullptr;
    auto* item = reinterpret_cast<ItemObject*>(obj);
    item->idx = hit.idx;
    item->score = hit.score;
    return obj;
}

PyObject* get_results(PyObject* self, void*) {
    return list_of(record_of(self).outcome.hits, [](const Hit& hit) { return Ref::checked(make_item(hit)); }).release();
}
PyObject* get_time(PyObject* self, void*) { return py_value(record_of(self).outcome.query_time_ms).release(); }
PyObject* get_method(PyObject* self, void*) { return py_value(record_of(self).outcome.method_used).release(); }
PyObject* get_index_hash(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.index_hash; });
}
PyObject* get_query_hash(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.query_hash; });
}
PyObject* get_engine_version(PyObject* self, void*) {
    return full_field(self, [](const FullInfo&) { return kEngineVersion; });
}
PyObject* get_metric(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.metric; });
}
PyObject* get_normalized(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.normalized; });
}
PyObject* get_dims(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.dims; });
}
PyObject* get_rows(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.rows; });
}
PyObject* get_index_path(PyObject* self, void*) {
    return full_field(self, [](const FullInfo& f) { return f.index_path; });
}

PyObject* result_repr(PyObject* self) {
    const QueryOutcome& o = record_of(self).outcome;
    char time_text[64];
    std::snprintf(time_text, sizeof(time_text), "%.3f", o.query_time_ms);
    const std::string text = "<PyQueryResult results=" + std::to_string(o.hits.size()) + " time=" + time_text +
                             "ms method=" + o.method_used + ">";
    return py_value(text).release();
}

PyGetSetDef result_getset[] = {
    {"results", entry<get_results>, nullptr, nullptr, nullptr},
    {"query_time_ms", entry<get_time>, nullptr, nullptr, nullptr},
    {"method_used", entry<get_method>, nullptr, nullptr, nullptr},
    {"index_hash", entry<get_index_hash>, nullptr, nullptr, nullptr},
    {"query_hash", entry<get_query_hash>, nullptr, nullptr, nullptr},
    {"engine_version", entry<get_engine_version>, nullptr, nullptr, nullptr},
    {"metric", entry<get_metric>, nullptr, nullptr, nullptr},
    {"normalized", entry<get_normalized>, nullptr, nullptr, nullptr},
    {"dims", entry<get_dims>, nullptr, nullptr, nullptr},
    {"rows", entry<get_rows>, nullptr, nullptr, nullptr},
    {"index_path", entry<get_index_path>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* get_idx(PyObject* self, void*) { return py_value(reinterpret_cast<ItemObject*>(self)->idx).release(); }
PyObject* get_score(PyObject* self, void*) { return py_value(reinterpret_cast<ItemObject*>(self)->score).release(); }

PyGetSetDef item_getset[] = {
    {"idx", entry<get_idx>, nullptr, nullptr, nullptr},
    {"score", entry<get_score>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<no_constructor>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry<result_dealloc>)},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<result_repr>)},
    {0, nullptr},
};
PyType_Spec result_spec = {"builtins.PyQueryResult", sizeof(ResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, result_slots};

PyType_Slot item_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(entry<no_constructor>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry<free_instance>)},
    {Py_tp_getset, item_getset},
    {0, nullptr},
};
PyType_Spec item_spec = {"builtins.PyQueryItem", sizeof(ItemObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, item_slots};

PyTypeObject* ensure_type(PyObject*& slot, PyType_Spec& spec) {
    if (slot == nullptr) slot = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(slot);
}

PyObject* g_result_type = nullptr;
PyObject* g_item_type = nullptr;

}  // namespace

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyTypeObject* ensure_query_result_type() { return ensure_type(g_result_type, result_spec); }
PyTypeObject* ensure_query_item_type() { return ensure_type(g_item_type, item_spec); }

FullInfo full_info(const SearchEngine& engine, std::string query_hash) {
    return FullInfo{engine.index_hash_hex(), std::move(query_hash), engine.metric_name(), engine.normalized(),
                    engine.dims(),           engine.rows(),         engine.index_path()};
}

PyObject* make_query_result(QueryOutcome&& outcome, std::optional<FullInfo> full) {
    PyTypeObject* type = ensure_query_result_type();
    if (type == nullptr) return nullptr;
    ResultRecord* record = new (std::nothrow) ResultRecord{std::move(outcome), std::move(full)};
    if (record == nullptr) return PyErr_NoMemory();
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) {
        delete record;
        return nullptr;
    }
    reinterpret_cast<ResultObject*>(obj)->record = record;
    return obj;
}

}  // namespace rivezor::py
