// The one wrapper every function CPython calls goes through, and the one mapping from C++
// failures to Python exceptions: no C++ exception may unwind into the interpreter.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <type_traits>

#include "core/messages.hpp"
#include "core/result.hpp"
#include "lib/py_ref.hpp"

namespace rivezor::py {

// Test-only fault switch: when this variable is set as the module initialises, every entry
// reads it on each call and, while it holds "1", fails with std::bad_alloc inside the
// wrapper. The test suite uses it to prove that no entry bypasses the wrapper; unset, the
// cost is one predictable branch per call.
inline constexpr const char* kEntryFaultVariable = "RIVEZOR_TEST_ENTRY_FAULT";
inline bool g_entry_fault_armed = false;

inline void inject_entry_fault() {
    if (!g_entry_fault_armed) return;
    const char* value = std::getenv(kEntryFaultVariable);
    if (value != nullptr && value[0] == '1' && value[1] == '\0') throw std::bad_alloc();
}

// Sets the Python exception for the C++ exception being handled; call only from a catch
// block. An allocation failure is MemoryError; a Python exception already set stays.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, msg::kUnexpectedInternalError);
    }
}

// An engine or writer message becomes ValueError with the text unchanged; returns nullptr
// so callers can `return raise_engine_error(...)`.
inline PyObject* raise_engine_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

// The value of an engine result, or its message raised as ValueError.
template <class T>
T value_or_raise(Result<T>&& result) {
    if (!result) {
        raise_engine_error(result.error());
        throw PythonErrorSet{};
    }
    return std::move(result).value();
}

template <auto Impl>
struct Entry;

template <class R, class... A, R (*Impl)(A...)>
struct Entry<Impl> {
    static R call(A... args) noexcept {
        if constexpr (std::is_void_v<R>) {
            // Deallocation: nothing to fail with, so a failure is reported and swallowed.
            try {
                Impl(args...);
            } catch (...) {
                raise_current_exception();
                PyErr_WriteUnraisable(nullptr);
            }
        } else {
            static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>, "entries return an object or a status");
            try {
                inject_entry_fault();
                return Impl(args...);
            } catch (...) {
                raise_current_exception();
                if constexpr (std::is_pointer_v<R>)
                    return nullptr;
                else
                    return -1;
            }
        }
    }
};

// `entry<f>` is `f` behind the wrapper, with the same signature: the only form in which a
// binding function may be handed to CPython (method tables, slots, getters, module init).
template <auto Impl>
inline constexpr auto entry = &Entry<Impl>::call;

}  // namespace rivezor::py
