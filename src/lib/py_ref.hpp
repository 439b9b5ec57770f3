// The Python edge's ownership and lock helpers: one move-only owning reference, one guard
// that releases the interpreter lock, and the mapping of engine errors to exceptions.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "core/messages.hpp"

namespace rivezor::py {

// Owns one strong reference (or none).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for its lifetime; only code that touches no Python object
// may run inside.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// An engine or writer message becomes ValueError with the text unchanged; returns nullptr
// so callers can `return raise_engine_error(...)`.
PyObject* raise_engine_error(const std::string& message);

// Runs engine work that may throw (allocation failure) and turns exceptions into Python
// errors; no C++ exception crosses into CPython. Returns false with an exception set.
template <class F>
bool guard_engine_call(F&& f) {
    try {
        f();
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, msg::kUnexpectedInternalError);
    }
    return false;
}

}  // namespace rivezor::py
