// Pieces shared by the two network walks: path names, the in-place record of
// visited paths, and the attribute probe.
#pragma once

#include <cstring>

#include "module_reads.hpp"
#include "ref.hpp"
#include "unpack.hpp"

namespace vsk::walk {

inline PyObject* dot() {
    static PyObject* s = nullptr;
    return cached_name(s, ".");
}

// parent + "." + member, with the `+` operator throughout. For two exact
// strings the result is known, so it is made in one step.
inline Ref member_path(PyObject* name_so_far, PyObject* member) {
    if (PyUnicode_CheckExact(name_so_far) && PyUnicode_CheckExact(member)) {
        static PyObject* empty = nullptr;
        PyObject* parts[] = {name_so_far, dot(), member};
        return require(_PyUnicode_JoinArray(cached_name(empty, ""), parts, 3));
    }
    Ref head = add(name_so_far, dot());
    return add(head.get(), member);
}

// parent + "[" + str(child_name) + "]"
inline Ref child_path(PyObject* name_so_far, PyObject* child_name) {
    static PyObject* open = nullptr;
    static PyObject* close = nullptr;
    Ref head = add(name_so_far, cached_name(open, "["));
    Ref text = str(child_name);
    head = add(head.get(), text.get());
    return add(head.get(), cached_name(close, "]"));
}

// converted_list += [path]; the local is rebound to the operator's result.
inline void record(Ref& converted_list, PyObject* path) {
    Ref one = require(PyList_New(1));
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(path));
    converted_list = require(PyNumber_InPlaceAdd(converted_list.get(), one.get()));
}

// `key in converted_list`. The walk's own list holds only exact strings, for
// which equality runs no user code, so those items are compared inline;
// anything else goes through the interpreter's comparison, item on the left,
// exactly as list.__contains__ does. The list is re-read at every step, in
// case such a comparison changes it.
inline bool in_list(PyObject* list, PyObject* key) {
    if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(key) || PyUnicode_READY(key) < 0)
        return contains(list, key);
    Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    int kind = PyUnicode_KIND(key);
    const void* data = PyUnicode_DATA(key);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (item == key) return true;
        if (PyUnicode_CheckExact(item) && PyUnicode_IS_READY(item)) {
            if (PyUnicode_GET_LENGTH(item) == length && PyUnicode_KIND(item) == kind &&
                std::memcmp(PyUnicode_DATA(item), data, static_cast<size_t>(length) * kind) == 0)
                return true;
            continue;
        }
        Ref held = Ref::borrow(item);
        if (check(PyObject_RichCompareBool(held.get(), key, Py_EQ))) return true;
    }
    return false;
}

// getattr(net, member, None) with the value dropped. True when the read
// succeeded or raised AttributeError; false when it raised anything else,
// which is discarded so the walk moves on. A KeyboardInterrupt or SystemExit
// still stops the walk: a user's Ctrl-C must not be swallowed.
inline bool probe(PyObject* net, PyObject* member) {
    if (fast::module_attr(net, member) || fast::is_plain_method(net, member))
        return true;
    PyObject* value = nullptr;
    int found = _PyObject_LookupAttr(net, member, &value);
    Py_XDECREF(value);
    if (found >= 0) return true;
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
        PyErr_ExceptionMatches(PyExc_SystemExit))
        raise();
    PyErr_Clear();
    return false;
}

// type(getattr(net, member, None))
inline Ref member_type(PyObject* net, PyObject* member) {
    if (fast::is_plain_method(net, member))
        return Ref::borrow(reinterpret_cast<PyObject*>(&PyMethod_Type));
    Ref value;
    if (!module_lookup_attr(net, member, value)) value = Ref::borrow(Py_None);
    return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
}

// `type.__name__ == text`. For a class whose metaclass is exactly `type`,
// __name__ is type's own data descriptor, so its value is compared in place
// instead of being made as a new string first.
inline bool type_named(PyObject* type, PyObject* text) {
    if (Py_IS_TYPE(type, &PyType_Type) && PyUnicode_CheckExact(text)) {
        auto* tp = reinterpret_cast<PyTypeObject*>(type);
        if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
            PyObject* name = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name;
            if (PyUnicode_CheckExact(name)) return PyUnicode_Compare(name, text) == 0;
        } else {
            const char* dot = std::strrchr(tp->tp_name, '.');
            const char* name = dot ? dot + 1 : tp->tp_name;
            return PyUnicode_CompareWithASCIIString(text, name) == 0;
        }
    }
    static PyObject* dunder_name = nullptr;
    Ref name = getattr(type, cached_name(dunder_name, "__name__"));
    return compare(name.get(), text, Py_EQ);
}

// `type(value).__name__ == text`
inline bool type_name_is(PyObject* value, PyObject* text) {
    // Held: a metaclass's __name__ may reassign value.__class__.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    return type_named(type.get(), text);
}

inline PyObject* one() {
    static PyObject* value = nullptr;
    if (value == nullptr && (value = PyLong_FromLong(1)) == nullptr) raise();
    return value;
}

// setattr(net, key, recurse(target(), depth + 1, path, converted_list)), with
// the recursion read from the module globals (by `lookup`) first.
template <typename Lookup, typename Target>
void descend(PyObject* net, PyObject* key, PyObject* depth, PyObject* path,
             Ref& converted_list, Lookup&& lookup, Target&& target) {
    Ref recurse = lookup();
    Ref value = target();
    Ref next_depth = add(depth, one());
    Ref result = call(recurse.get(), value.get(), next_depth.get(), path, converted_list.get());
    setattr(net, key, result.get());
}

// The container step both walks share: record the child's path, then walk
// the child (fetched afresh, with its path built afresh) and set it back.
template <typename Lookup>
void descend_child(PyObject* net, PyObject* id, PyObject* depth, PyObject* name_so_far,
                   Ref& converted_list, PyObject* get_submodule, Lookup&& lookup) {
    record(converted_list, child_path(name_so_far, id).get());
    Ref recurse = lookup();
    Ref child = call_method(net, get_submodule, id);
    Ref next_depth = add(depth, one());
    Ref path = child_path(name_so_far, id);
    Ref result = call(recurse.get(), child.get(), next_depth.get(), path.get(),
                      converted_list.get());
    setattr(net, id, result.get());
}

// for submodule_id, layer in net.named_children(): visit(submodule_id)
template <typename Visit>
void each_child(PyObject* net, PyObject* named_children, Visit&& visit) {
    Ref children = call_method(net, named_children);
    Ref it = require(PyObject_GetIter(children.get()));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref submodule_id, layer;
        unpack2(item.get(), submodule_id, layer);
        visit(submodule_id.get());
    }
    if (PyErr_Occurred()) raise();
}

// for member in all_members: visit(member)
template <typename Visit>
void each_member(PyObject* all_members, Visit&& visit) {
    Ref it = require(PyObject_GetIter(all_members));
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) visit(member.get());
    if (PyErr_Occurred()) raise();
}

// The `%` operator with a format string and one operand.
inline Ref format(const char* fmt, PyObject* operand) {
    Ref f = require(PyUnicode_FromString(fmt));
    return require(PyNumber_Remainder(f.get(), operand));
}

}  // namespace vsk::walk
