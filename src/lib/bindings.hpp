// Declarations shared by the binding files: the class objects, the engine object layout,
// and the builders that turn engine outcomes into Python results.
#pragma once

#include "lib/numpy_api.hpp"

#include <optional>
#include <string>

#include "engine/engine.hpp"
#include "core/hits.hpp"

namespace rivezor::py {

// Class objects, created on first demand and cached for the process (nullptr on failure).
PyTypeObject* ensure_search_engine_type();
PyTypeObject* ensure_query_result_type();
PyTypeObject* ensure_query_item_type();

// A new, zeroed instance of one of our heap types, and its release (which also drops the
// instance's reference to its type).
PyObject* alloc_instance(PyTypeObject* type);
void free_instance(PyObject* self);

struct EngineObject {
    PyObject_HEAD
    EngineRef* engine;
};

inline const SearchEngine& engine_of(PyObject* self) { return **reinterpret_cast<EngineObject*>(self)->engine; }

// The optional description a full (detailed) result carries.
struct FullInfo {
    std::string index_hash;
    std::string query_hash;
    std::string metric;
    bool normalized;
    std::uint64_t dims;
    std::uint64_t rows;
    std::string index_path;
};

// Description of `engine` for a full result whose query fingerprint is `query_hash`.
FullInfo full_info(const SearchEngine& engine, std::string query_hash);

// A new PyQueryResult taking the outcome by move; plain when `full` is empty.
PyObject* make_query_result(QueryOutcome&& outcome, std::optional<FullInfo> full);

// Module function of the index writer (defined with the writer binding).
PyObject* prepare_bin_from_embeddings(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace rivezor::py
