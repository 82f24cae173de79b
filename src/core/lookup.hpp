// Module-global names, looked up at the moment of use: the defining module's
// namespace first, then the builtins module, else NameError. Rebinding or
// deleting a module attribute after import therefore redirects later calls.
#pragma once

#include "ref.hpp"

namespace vsk {

// The builtins module's namespace, as for a function defined in Python in a
// module without its own __builtins__: never the calling frame's builtins.
inline PyObject* builtins_namespace() {
    static PyObject* ns = nullptr;  // kept for the process
    if (ns == nullptr) {
        Ref module = require(PyImport_ImportModule("builtins"));
        ns = Py_NewRef(PyModule_GetDict(module.get()));
    }
    return ns;
}

inline Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    v = PyDict_GetItemWithError(builtins_namespace(), name);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

}  // namespace vsk
