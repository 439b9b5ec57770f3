// The one place Python values are built from C++ ones: scalars and text, lists, result
// dictionaries with the engine's description keys, and the hit arrays of the array forms.
// Every builder throws PythonErrorSet with the Python exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/engine.hpp"
#include "core/hits.hpp"
#include "lib/py_ref.hpp"

namespace rivezor::py {

inline Ref py_value(Ref&& value) { return std::move(value); }

// bool, unsigned integers, floating point (float widened to double) or UTF-8 text.
template <class T>
Ref py_value(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return Ref::checked(PyBool_FromLong(value));
    } else if constexpr (std::is_integral_v<T>) {
        static_assert(std::is_unsigned_v<T>, "counts and indices are unsigned");
        return Ref::checked(PyLong_FromUnsignedLongLong(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        return Ref::checked(PyFloat_FromDouble(static_cast<double>(value)));
    } else {
        const std::string_view text(value);
        return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
}

// A list of make(item) for each item of an indexable range, in order.
template <class Items, class Make>
Ref list_of(Items&& items, Make make) {
    const std::size_t count = std::size(items);
    Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
        Ref item = make(items[i]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

template <class T>
Ref py_value(const std::vector<T>& values) {
    return list_of(values, [](const T& v) { return py_value(v); });
}

// A dictionary filled key by key; keys keep the order they are set in.
class Dict {
public:
    Dict() : dict_(Ref::checked(PyDict_New())) {}

    template <class V>
    Dict& set(const char* key, V&& value) {
        Ref item = py_value(std::forward<V>(value));
        if (PyDict_SetItemString(dict_.get(), key, item.get()) != 0) throw PythonErrorSet{};
        return *this;
    }
    // The description of `engine` every result dictionary ends with: metric, normalized,
    // dims, rows and index_path.
    Dict& set_engine_description(const SearchEngine& engine);

    Ref take() { return std::move(dict_); }

private:
    Ref dict_;
};

// The indices (uint64) and scores (float32) of the outcomes' hits, as NumPy arrays of shape
// (m) when `rank` is 1 (one outcome) or (n, m) when it is 2, m being the first outcome's hit
// count; every outcome must hold m hits. Each array takes over a buffer filled here, so
// results never point into the engine.
struct HitArrays {
    Ref indices;
    Ref scores;
};
HitArrays hit_arrays(std::span<const QueryOutcome> outcomes, int rank);

}  // namespace rivezor::py
