// Every use of CPython's private or layout-dependent API, in one place.
//
// These calls and struct fields are not part of the stable interface and
// change between minor versions, so the build refuses any interpreter but
// the one they were checked against.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "veskari's native modules use CPython 3.11 internals (see compat.hpp); build with 3.11"
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
    return _PyObject_LookupAttr(obj, name, out);
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

// The type's own attribute dict (not the MRO); 3.12 leaves it null for
// static built-in types.
inline PyObject* type_dict(PyTypeObject* type) { return type->tp_dict; }

// The name a heap type was created with (its ht_name field).
inline PyObject* heap_type_name(PyTypeObject* type) {
    return reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
}

// True once the interpreter has begun to shut down (see ref.hpp).
inline bool runtime_finalizing() noexcept { return _Py_IsFinalizing() != 0; }

// A Python function's __qualname__, borrowed.
inline PyObject* function_qualname(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
}

// A Python function's attribute dict, borrowed; null while it has none.
inline PyObject* function_dict(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->func_dict;
}

// The dict's version tag: a process-wide counter's value, taken anew by
// every change of the dict (3.11 keeps it; 3.12 drops it).
inline uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// The type's version tag while it is valid (it lapses when the type or a
// base changes, and is taken anew at the next attribute lookup); 0 otherwise.
inline unsigned int type_version(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

}  // namespace vsk::compat
