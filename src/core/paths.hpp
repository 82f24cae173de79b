// Path names of the walks (parent + "." + member, parent + "[" + child + "]")
// and the in-place record of visited paths, `converted_list`.
#pragma once

#include "shortcuts.hpp"

namespace vsk::walk {

// parent + "." + member, with the `+` operator throughout.
inline Ref member_path(PyObject* name_so_far, PyObject* member) {
    if (Ref joined = shortcut::join_path(name_so_far, member)) return joined;
    Ref head = add(name_so_far, core_state.dot);
    return add(head.get(), member);
}

// parent + "[" + str(child_name) + "]"
inline Ref child_path(PyObject* name_so_far, PyObject* child_name) {
    Ref head = add(name_so_far, core_state.open_bracket);
    Ref text = str(child_name);
    head = add(head.get(), text.get());
    return add(head.get(), core_state.close_bracket);
}

// converted_list += [path]; the local is rebound to the operator's result.
inline void record(Ref& converted_list, PyObject* path) {
    Ref one = require(PyList_New(1));
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(path));
    converted_list = require(PyNumber_InPlaceAdd(converted_list.get(), one.get()));
}

// `key in converted_list`
inline bool in_list(PyObject* list, PyObject* key) {
    if (std::optional<bool> found = shortcut::in_list(list, key)) return *found;
    return contains(list, key);
}

// The `%` operator with a format string and one operand, for the walks'
// messages about a path.
inline Ref format(const char* fmt, PyObject* operand) {
    Ref f = require(PyUnicode_FromString(fmt));
    return require(PyNumber_Remainder(f.get(), operand));
}

}  // namespace vsk::walk
