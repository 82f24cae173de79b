// Thin wrappers over the object protocol, each returning a new reference or
// unwinding with the interpreter's exception. They keep the algorithm files
// free of error plumbing.
#pragma once

#include "compat.hpp"
#include "errors.hpp"

namespace vsk {

inline Ref getattr(PyObject* o, PyObject* name) { return require(PyObject_GetAttr(o, name)); }

// hasattr/getattr-with-default semantics: true with `out` set when present;
// false when the read raised AttributeError (cleared); unwinds otherwise.
inline bool lookup_attr(PyObject* o, PyObject* name, Ref& out) {
    PyObject* v = nullptr;
    int found = compat::lookup_attr(o, name, &v);
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
    return require(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `obj.name` fetched the way the interpreter fetches a method it is about to
// call: before the arguments are evaluated, and without a bound-method object
// where the type allows it.
class Method {
public:
    Method(PyObject* obj, PyObject* name) {
        PyObject* found = nullptr;
        int unbound = compat::get_method(obj, name, &found);
        if (found == nullptr) raise();
        callable_ = Ref::steal(found);
        self_ = unbound ? obj : nullptr;
    }

    template <typename... A>
    Ref operator()(A... args) const {
        PyObject* argv[] = {nullptr, self_, args...};
        PyObject** start = self_ ? argv + 1 : argv + 2;
        size_t n = (self_ ? 1 : 0) + sizeof...(A);
        return require(PyObject_Vectorcall(callable_.get(), start,
                                           n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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
