// Owned references: the one ownership type of the native converters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "compat.hpp"

namespace vsk {

// A strong reference: released on destruction, never copied implicitly.
//
// Releasing a reference can run a finalizer (__del__), and with it any
// Python code, which may give up the interpreter lock; so nothing that
// releases one is declared noexcept except the destructor itself (see
// errors.hpp on forced unwinding).
//
// Once the runtime is finalizing, a release does nothing. A daemon thread
// that then wants the interpreter lock is ended by CPython (3.11 to 3.13) with
// pthread_exit(), whose unwinding runs these destructors on that thread
// without the lock while the main thread tears objects down; the process is
// ending, and the main thread itself only leaks what it skips.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() {
        if (p_ != nullptr && !compat::runtime_finalizing()) Py_DECREF(p_);
    }

    Ref& operator=(Ref other) {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed one (may be null).
    static Ref borrow(PyObject* p) noexcept { return steal(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to a caller that steals it.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace vsk
