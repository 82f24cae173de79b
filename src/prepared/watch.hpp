// What the attribute reads of one nn.Module depend on, recorded so that a
// later read can tell, in a few loads, that nothing of it changed: the type
// (its version tag, which lapses at any change of the class or a base), the
// instance dict (the same object, its version tag) and the module's tables
// (_parameters, _buffers, _modules: their version tags). Any assignment,
// deletion or replacement that could change what a read answers changes one
// of them. A __getattr__ of the package's (marked in its own dict) is
// watched through that dict too.
//
// Nothing is held: a dict's address with its version tag names one state of
// one dict (every new dict takes a new tag), and a recorded dict is only
// looked into once what holds it is shown unchanged, so it is alive then.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace vsk::prepared {

class Watch {
public:
    // Records `obj` as it stands; false (nothing recorded) when it has no
    // plain instance dict, a table is not a plain dict, or its type has no
    // valid version tag. `hook` is the type's __getattr__, if its own dict
    // is part of what the reads depend on.
    bool record(PyObject* obj, PyObject* const* table_names, int tables, PyObject* hook) {
        recorded_ = false;
        PyObject** slot = compat::dict_ptr(obj);
        type_ = Py_TYPE(obj);
        type_tag_ = compat::type_version(type_);
        if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot) || type_tag_ == 0)
            return false;
        // Held while searched: a colliding key's __eq__ may replace it. An
        // error is dropped, as the table reads drop it: they meet it again.
        Ref dict = Ref::borrow(*slot);
        dict_ = {dict.get(), compat::dict_version(dict.get())};
        for (int i = 0; i < tables; ++i) {
            PyObject* table = PyDict_GetItemWithError(dict.get(), table_names[i]);  // borrowed
            if (table == nullptr && PyErr_Occurred()) PyErr_Clear();
            if (table != nullptr && !PyDict_CheckExact(table)) return false;
            tables_[i] = {table, table ? compat::dict_version(table) : 0};
        }
        tables_count_ = tables;
        hook_ = hook != nullptr && PyFunction_Check(hook) ? hook : nullptr;
        if (hook_ != nullptr) {
            PyObject* hook_dict = compat::function_dict(hook_);
            if (hook_dict == nullptr || !PyDict_CheckExact(hook_dict)) return false;
            hook_dict_ = {hook_dict, compat::dict_version(hook_dict)};
        }
        return recorded_ = true;
    }

    // Whether `obj` still stands as recorded.
    bool unchanged(PyObject* obj) const {
        if (!recorded_ || Py_TYPE(obj) != type_ || compat::type_version(type_) != type_tag_)
            return false;
        PyObject** slot = compat::dict_ptr(obj);
        if (slot == nullptr || !dict_.is(*slot)) return false;
        // The instance dict is as it was, so it still holds every table.
        for (int i = 0; i < tables_count_; ++i)
            if (tables_[i].dict != nullptr && !tables_[i].is(tables_[i].dict)) return false;
        // The type is as it was, so its __getattr__ is still this function.
        return hook_ == nullptr || hook_dict_.is(compat::function_dict(hook_));
    }

    void clear() { recorded_ = false; }

private:
    struct DictState {
        PyObject* dict = nullptr;  // compared, and looked into only when alive
        uint64_t tag = 0;
        // `current` is this very dict, unchanged.
        bool is(PyObject* current) const {
            return current == dict && current != nullptr && compat::dict_version(current) == tag;
        }
    };

    bool recorded_ = false;
    PyTypeObject* type_ = nullptr;
    unsigned int type_tag_ = 0;
    DictState dict_;
    DictState tables_[3];
    int tables_count_ = 0;
    PyObject* hook_ = nullptr;
    DictState hook_dict_;
};

}  // namespace vsk::prepared
