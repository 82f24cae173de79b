// The single error idiom of the native converters.
//
// A pending interpreter exception travels through C++ code as PyErrOccurred;
// every entry point back into the interpreter runs its body through
// guarded() once, so the algorithms read top to bottom like the Python they
// mirror. require()/check() turn a failed C-API result into that exception.
#pragma once

#include <cxxabi.h>

#include <cassert>
#include <exception>
#include <new>

#include "ref.hpp"

namespace vsk {

// The interpreter already holds the exception; nothing else to carry.
struct PyErrOccurred {};

// Unwinds with the exception the interpreter holds. Throwing without one
// would end in a result-less return the interpreter reports as SystemError,
// far from the fault: the check build (assertions on) stops here instead.
[[noreturn]] inline void raise() {
    assert(PyErr_Occurred() != nullptr && "raise() without a pending exception");
    throw PyErrOccurred{};
}

// Sets a Python exception and unwinds.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    raise();
}

inline int check(int status) {
    if (status < 0) raise();
    return status;
}

inline Py_ssize_t check_size(Py_ssize_t size) {
    if (size < 0) raise();
    return size;
}

// A new reference from a C-API call, or unwind with the call's exception.
inline Ref require(PyObject* p) {
    if (p == nullptr) raise();
    return Ref::steal(p);
}

// Saves the current exception and puts it back on scope exit, so cleanup
// that calls into the interpreter cannot overwrite it.
class ErrorGuard {
public:
    ErrorGuard() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~ErrorGuard() {
        // Nothing from a thread ended at shutdown (see ref.hpp).
        if (!compat::runtime_finalizing()) PyErr_Restore(type_, value_, tb_);
    }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

    // The saved exception as an object, borrowed (null when none was set);
    // normalising it is what may replace it, by the error of doing so.
    PyObject* exception() {
        if (type_ != nullptr) PyErr_NormalizeException(&type_, &value_, &tb_);
        return value_;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// Runs `body` where C++ code returns to the interpreter (a function call, a
// module's execution): true when it finished, false with an interpreter
// exception set when it threw. No C++ exception crosses into C code: a
// pending interpreter error stays as it is, an allocation failure becomes
// MemoryError, anything else SystemError.
//
// Deliberately not noexcept, and the first handler lets
// abi::__forced_unwind through: CPython (3.11 to 3.13) ends a daemon thread that tries
// to take the interpreter lock during finalisation with pthread_exit(), whose
// forced unwinding runs through these frames. Swallowing it is undefined, and
// a noexcept frame on its way calls std::terminate(). The same holds for
// every frame that can sit across a call which may release the lock (any
// call into Python code): none of them is noexcept, and no destructor calls
// Python code on purpose (grad_mode.hpp leaves a mode from a handler). The
// one destructor that can still get there is Ref's, through a finalizer of
// the object it releases: what a release may do while the runtime finalises
// is decided in ref.hpp.
//
// The forced unwinding carries no C++ object, so its handler binds a null
// reference, which UBSan's null check would report: that check is off here
// (and the function kept out of line, where inlining would bring it back).
#define VSK_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))

template <typename Body>
VSK_CATCHES_FORCED_UNWIND bool guarded(Body&& body) {
    try {
        body();
        return true;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception in a veskari function: %s",
                     error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError,
                        "unexpected C++ exception of unknown type in a veskari function");
    }
    return false;
}

}  // namespace vsk
