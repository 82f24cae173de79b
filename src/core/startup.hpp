// What both modules' start-up needs: the once-per-process create and execute
// rules, the making of the process state, the import statements, and class
// creation by the interpreter's class-creation protocol.
#pragma once

#include <initializer_list>
#include <utility>

#include "function.hpp"
#include "lookup.hpp"
#include "shortcuts.hpp"

namespace vsk {

// Per-process start-up record of one extension module.
struct ModuleOnce {
    const char* short_name;      // "clean_veskari"
    int64_t interpreter = -1;    // the interpreter that first created it
    PyObject* module = nullptr;  // the module object, once created (strong)
    bool executed = false;
};

// The create step (an entry point that throws nothing: C-API calls only):
// refuse a second interpreter before anything is imported, and hand back the
// module already created in this process, if any.
inline PyObject* create_once(ModuleOnce& once, PyObject* spec) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id < 0) return nullptr;
    if (once.interpreter == -1) {
        once.interpreter = id;
    } else if (once.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (once.module != nullptr) return Py_NewRef(once.module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    once.module = Py_NewRef(module);
    return module;
}

// The execute step: 1 to run the body, 0 when this very module already ran
// it, -1 (RuntimeError set) for a different module object.
inline int begin_exec(ModuleOnce& once, PyObject* module) {
    if (once.executed) {
        if (module == once.module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     once.short_name);
        return -1;
    }
    if (once.module == nullptr) once.module = Py_NewRef(module);
    return 1;
}

// After a failed body the half-built module is released, so that a later
// import (for example once a missing dependency is installed) starts afresh.
inline void end_exec(ModuleOnce& once, bool ok) {
    if (ok) {
        once.executed = true;
        return;
    }
    Py_CLEAR(once.module);
}

// The execute step around a module body: runs it once per process, and
// releases the half-built module when it raises.
inline int exec_once(ModuleOnce& once, PyObject* module, void (*body)(PyObject*)) {
    int state = begin_exec(once, module);
    if (state <= 0) return state;
    bool ok = guarded([&] { body(module); });
    end_exec(once, ok);
    return ok ? 0 : -1;
}

// The definition of one extension module: its create and execute slots,
// and the plain C functions it has besides what its body binds, if any.
template <ModuleOnce& once, void (*body)(PyObject*), PyMethodDef* methods = nullptr>
struct ModuleSlots {
    static PyObject* create(PyObject* spec, PyModuleDef*) { return create_once(once, spec); }
    static int exec(PyObject* module) { return exec_once(once, module, body); }
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static inline PyModuleDef definition = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = once.short_name,
        .m_doc = nullptr,
        .m_size = 0,
        .m_methods = methods,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
};

// Makes a module's process state once (state.hpp): the core constants, the
// shortcut tables and the module's own constants (by `make_own`), all
// through one maker, published together only when every one exists.
template <typename State, typename MakeOwn>
void init_state_once(State& state, const FirstBuiltins& first, MakeOwn&& make_own) {
    if (state.ready) return;
    ConstantMaker make;
    CoreState core = make_core_state(make, first.builtins.get());
    shortcut::ShortcutState shortcuts = shortcut::make_state(make);
    State own = make_own(make, core);
    make.commit();
    core_state = core;
    core_state.ready = true;
    shortcut::publish(shortcuts);
    state = own;
    state.ready = true;
}

// ---- import statements

inline Ref import_level0(PyObject* globals, const char* name, PyObject* fromlist) {
    Ref n = require(PyUnicode_FromString(name));
    return require(PyImport_ImportModuleLevelObject(n.get(), globals, nullptr, fromlist, 0));
}

// package.attr, else the module table entry "package.attr", else ImportError.
inline Ref attribute_or_submodule(PyObject* package, const char* package_name, PyObject* attr) {
    PyObject* v = PyObject_GetAttr(package, attr);
    if (v != nullptr) return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    Ref full = require(PyUnicode_FromFormat("%s.%U", package_name, attr));
    v = PyImport_GetModule(full.get());
    if (v != nullptr) return Ref::steal(v);
    if (PyErr_Occurred()) raise();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attr);
    raise();
}

// `from package import attr`
inline Ref import_from(PyObject* globals, const char* package, const char* attr) {
    Ref name = require(PyUnicode_FromString(attr));
    Ref fromlist = require(PyTuple_Pack(1, name.get()));
    Ref pkg = import_level0(globals, package, fromlist.get());
    return attribute_or_submodule(pkg.get(), package, name.get());
}

// `import package.attr as alias`: import the dotted name, then take the
// attribute from the top-level package.
inline Ref import_dotted(PyObject* globals, const char* package, const char* attr) {
    Ref full = require(PyUnicode_FromFormat("%s.%s", package, attr));
    Ref top = require(PyImport_ImportModuleLevelObject(full.get(), globals, nullptr, nullptr, 0));
    Ref name = require(PyUnicode_FromString(attr));
    return attribute_or_submodule(top.get(), package, name.get());
}

// `import name`
inline Ref import_module(PyObject* globals, const char* name) {
    return import_level0(globals, name, nullptr);
}

inline void bind(PyObject* globals, const char* name, PyObject* value) {
    check(PyDict_SetItemString(globals, name, value));
}

inline void bind_function(PyObject* globals, PyObject* type, PyObject* module_name,
                          const FunctionDef& def) {
    Ref f = make_function(type, def, module_name, globals);
    bind(globals, def.name, f.get());
}

// ---- class creation

// Replaces bases that are not types but offer __mro_entries__, as the
// interpreter's class statement does. Returns whether anything changed.
inline bool resolve_bases(PyObject* bases, Ref& resolved) {
    Ref out = require(PyList_New(0));
    bool changed = false;
    Ref entries_name = require(PyUnicode_FromString("__mro_entries__"));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        if (!PyType_Check(base)) {
            Ref m;
            if (lookup_attr(base, entries_name.get(), m)) {
                Ref entries = call(m.get(), bases);
                if (!PyTuple_Check(entries.get()))
                    raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j)
                    check(PyList_Append(out.get(), PyTuple_GET_ITEM(entries.get(), j)));
                changed = true;
                continue;
            }
        }
        check(PyList_Append(out.get(), base));
    }
    resolved = require(PyList_AsTuple(out.get()));
    return changed;
}

// The most derived metaclass of the bases.
inline PyObject* calculate_metaclass(PyObject* bases) {
    PyTypeObject* winner =
        PyTuple_GET_SIZE(bases) ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return reinterpret_cast<PyObject*>(winner);
}

// class <name>(base): with the given methods, created by the metaclass.
inline Ref make_class(PyObject* globals, PyObject* function_type, PyObject* module_name,
                      const char* name, PyObject* base,
                      std::initializer_list<const FunctionDef*> methods) {
    Ref bases = require(PyTuple_Pack(1, base));
    Ref resolved;
    bool changed = resolve_bases(bases.get(), resolved);
    PyObject* meta = calculate_metaclass(resolved.get());
    Ref cls_name = require(PyUnicode_FromString(name));
    Ref ns;
    Ref prepare_name = require(PyUnicode_FromString("__prepare__"));
    Ref prepare;
    if (lookup_attr(meta, prepare_name.get(), prepare)) {
        ns = call(prepare.get(), cls_name.get(), resolved.get());
    } else {
        ns = require(PyDict_New());
    }
    Ref key = require(PyUnicode_FromString("__module__"));
    setitem(ns.get(), key.get(), module_name);
    key = require(PyUnicode_FromString("__qualname__"));
    setitem(ns.get(), key.get(), cls_name.get());
    if (changed) {
        key = require(PyUnicode_FromString("__orig_bases__"));
        setitem(ns.get(), key.get(), bases.get());
    }
    for (const FunctionDef* def : methods) {
        Ref f = make_function(function_type, *def, module_name, globals);
        key = require(PyUnicode_FromString(def->name));
        setitem(ns.get(), key.get(), f.get());
    }
    return call(meta, cls_name.get(), resolved.get(), ns.get());
}

}  // namespace vsk
