// The Python edge's ownership and lock helpers: one move-only owning reference, one guard
// that releases the interpreter lock, and the signal that a Python exception is already set.
#pragma once

#include <Python.h>

#include <utility>

namespace rivezor::py {

// Thrown by binding code once it has set a Python exception; the entry wrapper turns it
// into the failure value CPython expects and leaves the exception as it is.
struct PythonErrorSet {};

// Owns one strong reference (or none).
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    // Takes a new reference from a CPython call that returns nullptr with an exception set.
    static Ref checked(PyObject* o) {
        if (o == nullptr) throw PythonErrorSet{};
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
// may run inside. Only the index writer uses it, on its own working copy.
//
// The searches never release the lock, on purpose: they read the query straight from the
// caller's NumPy buffer (copied only when unaligned), so with the lock held no other Python
// thread can write into that array while it is scored and fingerprinted, and the reported
// query hash always describes the data that was searched. A search already spreads over
// every worker of the one process-wide pool, so letting two run at once would only
// interleave them, not finish either sooner.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace rivezor::py
