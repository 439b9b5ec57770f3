// PyQueryResult and PyQueryItem: immutable value objects that own their hits outright, so
// they outlive the engine; every property read builds a fresh Python object.
#include <cstdio>
#include <new>
#include <vector>

#include "core/messages.hpp"
#include "core/version.hpp"
#include "lib/bindings.hpp"
#include "lib/py_ref.hpp"

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

template <class Obj>
void dealloc_plain(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

void result_dealloc(PyObject* self) {
    delete reinterpret_cast<ResultObject*>(self)->record;
    dealloc_plain<ResultObject>(self);
}

PyObject* alloc_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return alloc(type, 0);
}

const ResultRecord& rec(PyObject* self) { return *reinterpret_cast<ResultObject*>(self)->record; }

PyObject* text_or_none(bool present, const std::string& text) {
    if (!present) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* make_item(const Hit& hit) {
    PyTypeObject* type = query_item_type();
    if (type == nullptr) return nullptr;
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) return nullptr;
    auto* item = reinterpret_cast<ItemObject*>(obj);
    item->idx = hit.idx;
    item->score = hit.score;
    return obj;
}

PyObject* get_results(PyObject* self, void*) {
    const std::vector<Hit>& hits = rec(self).outcome.hits;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        PyObject* item = make_item(hits[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}
PyObject* get_time(PyObject* self, void*) { return PyFloat_FromDouble(rec(self).outcome.query_time_ms); }
PyObject* get_method(PyObject* self, void*) { return text_or_none(true, rec(self).outcome.method_used); }
PyObject* get_index_hash(PyObject* self, void*) {
    const auto& f = rec(self).full;
    return text_or_none(f.has_value(), f ? f->index_hash : std::string());
}
PyObject* get_query_hash(PyObject* self, void*) {
    const auto& f = rec(self).full;
    return text_or_none(f.has_value(), f ? f->query_hash : std::string());
}
PyObject* get_engine_version(PyObject* self, void*) {
    return text_or_none(rec(self).full.has_value(), kEngineVersion);
}
PyObject* get_metric(PyObject* self, void*) {
    const auto& f = rec(self).full;
    return text_or_none(f.has_value(), f ? f->metric : std::string());
}
PyObject* get_normalized(PyObject* self, void*) {
    const auto& f = rec(self).full;
    if (!f) Py_RETURN_NONE;
    return PyBool_FromLong(f->normalized);
}
PyObject* get_dims(PyObject* self, void*) {
    const auto& f = rec(self).full;
    if (!f) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(f->dims);
}
PyObject* get_rows(PyObject* self, void*) {
    const auto& f = rec(self).full;
    if (!f) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(f->rows);
}
PyObject* get_index_path(PyObject* self, void*) {
    const auto& f = rec(self).full;
    return text_or_none(f.has_value(), f ? f->index_path : std::string());
}

PyObject* result_repr(PyObject* self) {
    const QueryOutcome& o = rec(self).outcome;
    char time_text[64];
    std::snprintf(time_text, sizeof(time_text), "%.3f", o.query_time_ms);
    const std::string text = "<PyQueryResult results=" + std::to_string(o.hits.size()) + " time=" + time_text +
                             "ms method=" + o.method_used + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef result_getset[] = {
    {"results", get_results, nullptr, nullptr, nullptr},
    {"query_time_ms", get_time, nullptr, nullptr, nullptr},
    {"method_used", get_method, nullptr, nullptr, nullptr},
    {"index_hash", get_index_hash, nullptr, nullptr, nullptr},
    {"query_hash", get_query_hash, nullptr, nullptr, nullptr},
    {"engine_version", get_engine_version, nullptr, nullptr, nullptr},
    {"metric", get_metric, nullptr, nullptr, nullptr},
    {"normalized", get_normalized, nullptr, nullptr, nullptr},
    {"dims", get_dims, nullptr, nullptr, nullptr},
    {"rows", get_rows, nullptr, nullptr, nullptr},
    {"index_path", get_index_path, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* get_idx(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ItemObject*>(self)->idx);
}
PyObject* get_score(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(reinterpret_cast<ItemObject*>(self)->score));
}

PyGetSetDef item_getset[] = {
    {"idx", get_idx, nullptr, nullptr, nullptr},
    {"score", get_score, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {0, nullptr},
};
PyType_Spec result_spec = {"builtins.PyQueryResult", sizeof(ResultObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, result_slots};

PyType_Slot item_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_plain<ItemObject>)},
    {Py_tp_getset, item_getset},
    {0, nullptr},
};
PyType_Spec item_spec = {"builtins.PyQueryItem", sizeof(ItemObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, item_slots};

PyTypeObject* cached_type(PyObject*& slot, PyType_Spec& spec) {
    if (slot == nullptr) slot = PyType_FromSpec(&spec);
    return reinterpret_cast<PyTypeObject*>(slot);
}

PyObject* g_result_type = nullptr;
PyObject* g_item_type = nullptr;

}  // namespace

PyTypeObject* query_result_type() { return cached_type(g_result_type, result_spec); }
PyTypeObject* query_item_type() { return cached_type(g_item_type, item_spec); }

FullInfo full_info(const SearchEngine& engine, std::string query_hash) {
    return FullInfo{engine.index_hash_hex(), std::move(query_hash), engine.metric_name(), engine.normalized(),
                    engine.dims(),           engine.rows(),         engine.index_path()};
}

PyObject* make_query_result(QueryOutcome&& outcome, std::optional<FullInfo> full) {
    PyTypeObject* type = query_result_type();
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
