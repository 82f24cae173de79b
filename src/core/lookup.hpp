// Module-global names, looked up at the moment of use: the defining module's
// namespace first, then the builtins module, else NameError. Rebinding or
// deleting a module attribute after import therefore redirects later calls.
#pragma once

#include "state.hpp"

namespace vsk {

inline Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(globals, name);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    assert(core_state.ready);
    v = PyDict_GetItemWithError(core_state.builtins, name);
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

// A built-in by name, as a new reference; NameError if it is missing.
inline Ref fetch_builtin(PyObject* builtins, const char* name) {
    Ref key = require(PyUnicode_FromString(name));
    PyObject* v = PyDict_GetItemWithError(builtins, key.get());
    if (v != nullptr) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    raise();
}

// The builtins namespace and the two built-ins a module body fetches once,
// first thing at execution: a missing one fails the import before anything
// is imported.
struct FirstBuiltins {
    Ref builtins;  // the builtins module's namespace
    Ref print;
    Ref super;
};

inline FirstBuiltins fetch_first_builtins() {
    FirstBuiltins first;
    Ref module = require(PyImport_ImportModule("builtins"));
    first.builtins = Ref::borrow(PyModule_GetDict(module.get()));
    first.print = fetch_builtin(first.builtins.get(), "print");
    first.super = fetch_builtin(first.builtins.get(), "super");
    return first;
}

}  // namespace vsk
