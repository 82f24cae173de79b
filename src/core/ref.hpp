// Owned references and the single error idiom of the native converters.
//
// A pending interpreter exception travels through C++ code as PyErrOccurred;
// every entry point back into the interpreter catches it once (see
// function.hpp), so the algorithms read top to bottom like the Python they
// mirror. require()/check() turn a failed C-API result into that exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vsk {

// The interpreter already holds the exception; nothing else to carry.
struct PyErrOccurred {};

[[noreturn]] inline void raise() { throw PyErrOccurred{}; }

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

// True once the interpreter has begun to shut down. A daemon thread that
// then wants the interpreter lock is ended by CPython 3.11 with
// pthread_exit(), whose unwinding runs the destructors of our frames on that
// thread without the lock, while the main thread tears objects down. Cleanup
// that touches the interpreter therefore does nothing from then on: the
// process is ending, and the main thread itself only leaks what it skips.
inline bool interpreter_finalizing() noexcept { return _Py_IsFinalizing() != 0; }

// A strong reference: released on destruction, never copied implicitly.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() {
        if (p_ != nullptr && !interpreter_finalizing()) Py_DECREF(p_);
    }

    Ref& operator=(Ref other) noexcept {
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
        if (!interpreter_finalizing()) PyErr_Restore(type_, value_, tb_);
    }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// A constant attribute name, interned on first use and kept for the process
// (held by `slot`; 3.11's interned table does not keep strings alive).
inline PyObject* cached_name(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
        if (slot == nullptr) raise();
    }
    return slot;
}

// --- Thin wrappers over the object protocol, each returning a new reference
// or unwinding. They keep the algorithm files free of error plumbing.

inline Ref getattr(PyObject* o, PyObject* name) { return require(PyObject_GetAttr(o, name)); }

// hasattr/getattr-with-default semantics: true with `out` set when present;
// false when the read raised AttributeError (cleared); unwinds otherwise.
inline bool lookup_attr(PyObject* o, PyObject* name, Ref& out) {
    PyObject* v = nullptr;
    int found = _PyObject_LookupAttr(o, name, &v);
    if (found < 0) raise();
    out = Ref::steal(v);
    return found != 0;
}

inline void setattr(PyObject* o, PyObject* name, PyObject* v) {
    check(PyObject_SetAttr(o, name, v));
}

inline void delattr(PyObject* o, PyObject* name) { check(PyObject_DelAttr(o, name)); }

inline Ref getitem(PyObject* o, PyObject* key) { return require(PyObject_GetItem(o, key)); }

inline Ref getitem(PyObject* o, Py_ssize_t index) {
    Ref key = require(PyLong_FromSsize_t(index));
    return getitem(o, key.get());
}

inline void setitem(PyObject* o, PyObject* key, PyObject* v) { check(PyObject_SetItem(o, key, v)); }

inline Py_ssize_t length(PyObject* o) { return check_size(PyObject_Size(o)); }

inline bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

inline Ref py_int(Py_ssize_t v) { return require(PyLong_FromSsize_t(v)); }

inline Ref add(PyObject* a, PyObject* b) { return require(PyNumber_Add(a, b)); }

inline Ref str(PyObject* o) { return require(PyObject_Str(o)); }

// `a == b` / `a != b` followed by a truth test, as the interpreter does:
// no identity shortcut, so `x != x` still calls __ne__.
inline bool compare(PyObject* a, PyObject* b, int op) {
    Ref r = require(PyObject_RichCompare(a, b, op));
    return truth(r.get());
}

inline bool contains(PyObject* container, PyObject* item) {
    return check(PySequence_Contains(container, item)) != 0;
}

inline bool is_subclass(PyObject* derived, PyObject* cls) {
    return check(PyObject_IsSubclass(derived, cls)) != 0;
}

// Calls with positional arguments only.
template <typename... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return require(PyObject_Vectorcall(callable, argv + 1,
                                       sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...) without creating a bound method where the type allows it.
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[] = {obj, args...};
    return require(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) |
                                                             PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

// `obj.name` fetched the way the interpreter fetches a method it is about to
// call: before the arguments are evaluated, and without a bound-method object
// where the type allows it.
class Method {
public:
    Method(PyObject* obj, PyObject* name) {
        PyObject* found = nullptr;
        int unbound = _PyObject_GetMethod(obj, name, &found);
        if (found == nullptr) raise();
        callable_ = Ref::steal(found);
        self_ = unbound ? obj : nullptr;
    }

    template <typename... A>
    Ref operator()(A... args) const {
        PyObject* argv[] = {nullptr, self_, args...};
        PyObject** start = self_ ? argv + 1 : argv + 2;
        size_t n = (self_ ? 1 : 0) + sizeof...(A);
        return require(
            PyObject_Vectorcall(callable_.get(), start, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

private:
    Ref callable_;
    PyObject* self_ = nullptr;  // borrowed: the caller keeps obj alive
};

// callable(*args, **kwargs) with a tuple and a dict (or null for none).
inline Ref call_with(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return require(PyObject_Call(callable, args, kwargs));
}

}  // namespace vsk
