// A function object that behaves like an interpreter-level function.
//
// It binds arguments by parameter name with the interpreter's own TypeError
// texts, collects *args/**kwargs, binds an instance as `self` through
// __get__ (through the class it stays the plain function), reports
// __name__/__qualname__/__module__, a None __doc__, and a
// __text_signature__ that inspect.signature() reads. Calls go through
// vectorcall; the method-descriptor flag lets `obj.method(...)` skip the bound
// method object where the interpreter would too.
//
// The body of each function is a C++ callable that receives a Frame and
// returns a new reference or throws PyErrOccurred; the trampoline here is the
// single place where C++ errors turn back into a NULL return.
#pragma once

#include <array>
#include <cstddef>

#include "errors.hpp"
#include "protocol.hpp"
#include "stack_guard.hpp"

#include <structmember.h>

namespace vsk {

inline constexpr int kMaxParams = 8;

// The named parameters of one function, in order; the count follows from
// the list, which may not exceed kMaxParams.
struct Params {
    std::array<const char*, kMaxParams> names{};
    int count = 0;
};

template <std::size_t N>
consteval Params params(const char* const (&names)[N]) {
    static_assert(N <= kMaxParams, "more named parameters than a Frame holds");
    Params p;
    for (std::size_t i = 0; i < N; ++i) p.names[i] = names[i];
    p.count = static_cast<int>(N);
    return p;
}

// What a body sees of one call: bound named parameters (borrowed for the
// call's duration), the collected *args tuple and the new **kwargs dict
// (null when the function takes none), and the defining module's globals.
struct Frame {
    std::array<PyObject*, kMaxParams> arg{};
    Ref varargs;
    Ref varkw;
    PyObject* globals = nullptr;
};

using Body = Ref (*)(Frame&);

// The static description of one function; lives as long as the module. Its
// __text_signature__ is made from the same declaration: "(a, b, *args,
// **kwargs)".
struct FunctionDef {
    const char* name = nullptr;
    const char* qualname = nullptr;
    Params params = {};
    const char* varargs = nullptr;  // the name of *args, or null for none
    const char* varkw = nullptr;    // the name of **kwargs, or null for none
    Body body = nullptr;

    int nparams() const { return params.count; }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module_name;  // str: __module__
    PyObject* globals;      // dict of the defining module
    PyObject* param_names;  // tuple of interned str
    PyObject* dict;         // per-function attribute dict, created on demand
    PyObject* weakrefs;     // weak references, as interpreter functions allow
};

namespace detail {

inline Ref param_names_repr(FunctionObject* f, const Frame& frame) {
    // The names of missing arguments, repr'd, in order.
    Ref missing = require(PyList_New(0));
    for (int i = 0; i < f->def->nparams(); ++i) {
        if (frame.arg[i] == nullptr) {
            Ref r = require(PyObject_Repr(PyTuple_GET_ITEM(f->param_names, i)));
            check(PyList_Append(missing.get(), r.get()));
        }
    }
    return missing;
}

// "f() missing 2 required positional arguments: 'a' and 'b'", joined the way
// the interpreter joins them.
[[noreturn]] inline void raise_missing(FunctionObject* f, const Frame& frame) {
    Ref names = param_names_repr(f, frame);
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref joined;
    if (n == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (n == 2) {
        joined = require(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                              PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = require(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), n - 2),
                                                PyList_GET_ITEM(names.get(), n - 1)));
        check(PyList_SetSlice(names.get(), n - 2, n, nullptr));
        Ref comma = require(PyUnicode_FromString(", "));
        Ref head = require(PyUnicode_Join(comma.get(), names.get()));
        joined = require(PyUnicode_Concat(head.get(), tail.get()));
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 f->qualname, n, n == 1 ? "" : "s", joined.get());
    raise();
}

[[noreturn]] inline void raise_too_many(FunctionObject* f, Py_ssize_t given) {
    int n = f->def->nparams();
    PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given",
                 f->qualname, n, n == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    raise();
}

inline int find_param(FunctionObject* f, PyObject* key) {
    // Keyword names are almost always interned: try identity first.
    for (int i = 0; i < f->def->nparams(); ++i)
        if (PyTuple_GET_ITEM(f->param_names, i) == key) return i;
    for (int i = 0; i < f->def->nparams(); ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->param_names, i), key, Py_EQ);
        if (eq < 0) raise();
        if (eq) return i;
    }
    return -1;
}

// Binds one call the way the interpreter binds a Python function:
// keywords first, then the positional count, then the missing names.
inline void bind(FunctionObject* f, Frame& frame, PyObject* const* args, size_t nargsf,
                 PyObject* kwnames) {
    const FunctionDef* def = f->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t npos = nargs < def->nparams() ? nargs : def->nparams();
    for (Py_ssize_t i = 0; i < npos; ++i) frame.arg[i] = args[i];
    if (def->varargs) {
        frame.varargs = require(PyTuple_New(nargs - npos));
        for (Py_ssize_t i = npos; i < nargs; ++i)
            PyTuple_SET_ITEM(frame.varargs.get(), i - npos, Py_NewRef(args[i]));
    }
    if (def->varkw) frame.varkw = require(PyDict_New());
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            raise();
        }
        int i = find_param(f, key);
        if (i < 0) {
            if (!def->varkw) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, key);
                raise();
            }
            check(PyDict_SetItem(frame.varkw.get(), key, value));
            continue;
        }
        if (frame.arg[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         key);
            raise();
        }
        frame.arg[i] = value;
    }
    if (nargs > def->nparams() && !def->varargs) raise_too_many(f, nargs);
    for (int i = 0; i < def->nparams(); ++i)
        if (frame.arg[i] == nullptr) raise_missing(f, frame);
}

inline PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    // Every native function counts against the recursion limit, so a cyclic
    // or very deep module graph ends in RecursionError, not a stack overflow.
    if (!stack_has_room()) return nullptr;
    if (compat::enter_recursive_call(" while calling a veskari function")) return nullptr;
    PyObject* result = nullptr;
    guarded([&] {
        Frame frame;
        frame.globals = f->globals;
        bind(f, frame, args, nargsf, kwnames);
        result = f->def->body(frame).release();
    });
    compat::leave_recursive_call();
    if (result == nullptr && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "veskari function failed without an exception");
    return result;
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject* repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

inline int clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

inline void dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->param_names);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}
inline PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}
inline PyObject* get_module_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->module_name);
}
inline PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->globals);
}
inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
// "(" + ", ".join(named + ["*" + varargs] + ["**" + varkw]) + ")"
inline PyObject* get_text_signature(PyObject* self, void*) {
    const FunctionDef* def = reinterpret_cast<FunctionObject*>(self)->def;
    PyObject* result = nullptr;
    guarded([&] {
        Ref parts = require(PyList_New(0));
        auto append = [&](PyObject* part) {
            Ref owned = require(part);
            check(PyList_Append(parts.get(), owned.get()));
        };
        for (int i = 0; i < def->nparams(); ++i) append(PyUnicode_FromString(def->params.names[i]));
        if (def->varargs) append(PyUnicode_FromFormat("*%s", def->varargs));
        if (def->varkw) append(PyUnicode_FromFormat("**%s", def->varkw));
        Ref separator = require(PyUnicode_FromString(", "));
        Ref inner = require(PyUnicode_Join(separator.get(), parts.get()));
        result = PyUnicode_FromFormat("(%U)", inner.get());
    });
    return result;
}

// Pickled and deep-copied by reference, as interpreter functions are.
inline PyObject* reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module_name, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(FunctionObject, dict)),
     READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(FunctionObject, weakrefs)),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace detail

// Creates the function type of one extension module; `type_name` is the
// dotted name reported by type(f).
inline Ref make_function_type(PyObject* extension, const char* type_name) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(detail::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(detail::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(detail::clear)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(detail::descr_get)},
        {Py_tp_repr, reinterpret_cast<void*>(detail::repr)},
        {Py_tp_getset, detail::getset},
        {Py_tp_members, detail::members},
        {Py_tp_methods, detail::methods},
        {0, nullptr},
    };
    PyType_Spec spec = {
        type_name,
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return require(PyType_FromModuleAndSpec(extension, &spec, nullptr));
}

// A new function object for `def`, defined in the module whose name is
// `module_name` and whose namespace is `globals`.
inline Ref make_function(PyObject* type, const FunctionDef& def, PyObject* module_name,
                         PyObject* globals) {
    Ref names = require(PyTuple_New(def.nparams()));
    for (int i = 0; i < def.nparams(); ++i) {
        PyObject* s = PyUnicode_InternFromString(def.params.names[i]);
        if (s == nullptr) raise();
        PyTuple_SET_ITEM(names.get(), i, s);
    }
    Ref name = require(PyUnicode_InternFromString(def.name));
    Ref qualname = require(PyUnicode_FromString(def.qualname));
    auto* f = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(type));
    if (f == nullptr) raise();
    f->vectorcall = detail::vectorcall;
    f->def = &def;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_name = Py_NewRef(module_name);
    f->globals = Py_NewRef(globals);
    f->param_names = names.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace vsk
