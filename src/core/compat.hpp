// Every use of CPython's private or layout-dependent API, in one place.
//
// These calls and struct fields are not part of the stable interface and
// change between minor versions, so the build refuses any interpreter but
// the ones they were checked against (3.11, 3.12 and 3.13), with one branch
// per minor version where they differ. docs/development.md says what a port
// to 3.14 needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#error "veskari needs CPython 3.11, 3.12 or 3.13; this one is older"
#elif PY_VERSION_HEX >= 0x030E0000
// docs/development.md says what a port to a newer one needs.
#error "veskari is checked against CPython 3.11, 3.12 and 3.13 only; this one is newer"
#elif defined(Py_GIL_DISABLED)
#error "veskari needs CPython's default build, not the free-threaded one"
#endif

#if PY_VERSION_HEX >= 0x030D0000
// Still exported by 3.13, but declared in its internal headers only, which
// would need the interpreter's own build flags.
extern "C" {
PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
PyAPI_FUNC(PyObject*)
    _PyUnicode_JoinArray(PyObject* separator, PyObject* const* items, Py_ssize_t seqlen);
}
#endif

namespace vsk::compat {

// The attribute `name` as found on the type's MRO, borrowed, without running
// descriptors; null (no exception) when absent.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
    return _PyType_Lookup(type, name);
}

// The address of the instance dict pointer, or null when the type has none.
inline PyObject** dict_ptr(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

// getattr(obj, name) with AttributeError turned into 0 (no exception);
// 1 with *out set when found, -1 with an exception set otherwise.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);  // the same function, public from 3.13
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// The interpreter's method load: *out is the unbound function (return 1)
// when the type allows calling it with obj as the first argument, else the
// attribute value itself (return 0); *out is null with an exception set on
// failure.
inline int get_method(PyObject* obj, PyObject* name, PyObject** out) {
    return _PyObject_GetMethod(obj, name, out);
}

// separator.join(items[0:n]) for exact strings, in one allocation.
inline PyObject* join_array(PyObject* separator, PyObject* const* items, Py_ssize_t n) {
    return _PyUnicode_JoinArray(separator, items, n);
}

// The type's own attribute dict (not the MRO), borrowed.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 a static built-in type (object, int ...) leaves tp_dict null
    // and keeps its dict in the interpreter's state, for the interpreter's
    // life; PyType_GetDict finds it there (as a new reference, which that
    // state outlives).
    if (type->tp_dict == nullptr) {
        PyObject* dict = PyType_GetDict(type);
        Py_XDECREF(dict);
        return dict;
    }
#endif
    return type->tp_dict;
}

// The name a heap type was created with (its ht_name field).
inline PyObject* heap_type_name(PyTypeObject* type) {
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
}

// True once the interpreter has begun to shut down (see ref.hpp).
inline bool runtime_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;  // the same function, public from 3.13
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// A Python function's __qualname__, borrowed.
inline PyObject* function_qualname(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
}

// A Python function's attribute dict, borrowed; null while it has none.
inline PyObject* function_dict(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_dict;
}

// The dict's version tag: a counter's value, taken anew by every change of
// the dict (and by a dict made), so that a dict's address with its tag names
// one state of one dict.
//
// 3.12 and 3.13 deprecate the field but keep it with the same meaning: each
// change still stores the interpreter's next version there (the low bits also
// carry the dict's watcher and mutation counts, which can only make a tag
// differ, never make two states look alike). It stays the proof here because
// it costs one load; dict watchers would cost a callback on every change of
// every watched dict, bookkeeping per dict, and one of the interpreter's
// eight watcher slots. 3.14 removes the field (docs/development.md).
inline uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}

// Py_EnterRecursiveCall as 3.11 has it: one count per thread shared with
// Python frames, against sys.getrecursionlimit(); 0, or -1 with
// RecursionError set. From 3.12 the interpreter counts C calls apart, against
// a fixed limit of its own, so each native call is counted against the
// Python frames' budget as well: a module graph nested deeper than the
// recursion limit still ends in RecursionError, as the Python it mirrors does.
inline int enter_recursive_call(const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    if (Py_EnterRecursiveCall(where)) return -1;
    PyThreadState* thread = PyThreadState_Get();
    // While the interpreter handles a RecursionError (its headroom), calls
    // past the limit stay allowed, as 3.11 allows them; the C count above
    // and the stack check still bound them.
    if (thread->py_recursion_remaining-- <= 0 && !thread->recursion_headroom) {
        ++thread->py_recursion_remaining;
        Py_LeaveRecursiveCall();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    return 0;
#else
    return Py_EnterRecursiveCall(where);
#endif
}

// Ends a call that enter_recursive_call() admitted.
inline void leave_recursive_call() {
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#endif
    Py_LeaveRecursiveCall();
}

// The type's version tag while it is valid (it lapses when the type or a
// base changes, and is taken anew at the next attribute lookup); 0 otherwise.
inline unsigned int type_version(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

}  // namespace vsk::compat
