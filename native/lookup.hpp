// Module-global names, looked up at the moment of use: the defining module's
// namespace first, then the builtins, else NameError. Rebinding or deleting
// a module attribute after import therefore redirects later calls.
#pragma once

#include "ref.hpp"

namespace vsk {

inline Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed; the running frame's
    if (builtins != nullptr) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v != nullptr) return Ref::borrow(v);
        if (PyErr_Occurred()) raise();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

}  // namespace vsk
