// What the walks learn about a member before they touch it: whether it can
// be read at all (the probe), its type, and its type's name.
#pragma once

#include "module_reads.hpp"

namespace vsk::walk {

// getattr(net, member, None) with the value dropped. True when the read
// succeeded or raised AttributeError; false when it raised anything else,
// which is discarded so the walk moves on. A KeyboardInterrupt or SystemExit
// still stops the walk: a user's Ctrl-C must not be swallowed.
inline bool probe(PyObject* net, PyObject* member) {
    if (shortcut::nn_attr(net, member) || shortcut::is_plain_method(net, member)) return true;
    PyObject* value = nullptr;
    int found = compat::lookup_attr(net, member, &value);
    Py_XDECREF(value);
    if (found >= 0) return true;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit))
        raise();
    PyErr_Clear();
    return false;
}

// type(getattr(net, member, None))
inline Ref member_type(PyObject* net, PyObject* member) {
    if (shortcut::is_plain_method(net, member))
        return Ref::borrow(reinterpret_cast<PyObject*>(&PyMethod_Type));
    Ref value;
    if (!nn_lookup_attr(net, member, value)) value = Ref::borrow(Py_None);
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
}

// `type.__name__ == text`
inline bool type_named(PyObject* type, PyObject* text) {
    if (std::optional<bool> same = shortcut::type_named(type, text)) return *same;
    Ref name = getattr(type, core_state.dunder_name);
    return compare(name.get(), text, Py_EQ);
}

// `type(value).__name__ == text`
inline bool type_name_is(PyObject* value, PyObject* text) {
    // Held: a metaclass's __name__ may reassign value.__class__.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    return type_named(type.get(), text);
}

}  // namespace vsk::walk
