// Every speed shortcut of the native converters, in one place and behind one
// build switch: compiled with VESKARI_NO_SHORTCUTS, each of them answers
// "not taken" and the caller takes the ordinary path. The parity tests run
// against such a build too, which shows the shortcuts change nothing
// observable.
//
// The shortcuts:
// - direct reads of nn.Module attributes and nn.Sequential/nn.ParameterList
//   items from PyTorch's own tables. nn.Module keeps sub-modules, parameters
//   and buffers outside the instance dict and serves them from a
//   Python-level __getattr__, so every `self.layer_array` first raises an
//   AttributeError internally and then runs a Python frame; nn.Sequential and
//   nn.ParameterList index in Python as well. When an object's type still
//   uses those exact methods (checked on every call, so a subclass or a
//   patch that changes them takes the ordinary path) and the tables involved
//   are plain dicts, the result is read straight from the same tables. No
//   user code can run on this path and every value is the one the ordinary
//   protocol would return; anything unusual (a descriptor, a missing name,
//   an out-of-range index) takes the ordinary path, which also raises the
//   ordinary errors;
// - recognising a plain method read, whose bound method nobody can observe;
// - `key in converted_list` with exact strings compared in place;
// - `type.__name__ == text` compared in place for classes of metaclass type;
// - a member's path joined in one step when both parts are exact strings.
// None of them leaves an exception set when it answers "not taken".
#pragma once

#include <cstring>
#include <optional>

#include "state.hpp"

namespace vsk::shortcut {

#if !defined(VESKARI_NO_SHORTCUTS)

inline constexpr Py_ssize_t kIndexTexts = 64;

// PyTorch's own methods and the names the direct reads test, made at the
// module's start-up (after torch is imported).
struct ShortcutState {
    bool usable = false;  // false: every read takes the ordinary path
    PyObject* object_getattribute = nullptr;
    PyObject* nn_module_getattr = nullptr;
    PyObject* sequential = nullptr;
    PyObject* sequential_getitem = nullptr;
    PyObject* sequential_len = nullptr;
    PyObject* sequential_item_by_idx = nullptr;
    PyObject* parameter_list = nullptr;
    PyObject* parameter_list_getitem = nullptr;
    PyObject* parameter_list_len = nullptr;
    PyObject* parameter_list_abs_index = nullptr;
    // Interned names.
    PyObject* s_getattr = nullptr;
    PyObject* s_getattribute = nullptr;
    PyObject* s_getitem = nullptr;
    PyObject* s_len = nullptr;
    PyObject* s_item_by_idx = nullptr;
    PyObject* s_abs_index = nullptr;
    PyObject* s_parameters = nullptr;
    PyObject* s_buffers = nullptr;
    PyObject* s_modules = nullptr;
    PyObject* s_size = nullptr;
    PyObject* s_extends_getattr = nullptr;
    // str(index) for the small indices of parameter lists.
    PyObject* index_text[kIndexTexts] = {};
};

inline ShortcutState state;

namespace detail {

// A function from a class's own dict, checked to be the one PyTorch defines;
// a new reference, or null (no exception) when it is something else.
inline PyObject* own_function(PyObject* cls, PyObject* name, const char* qualname) {
    PyObject* dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(cls));
    PyObject* f = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (f == nullptr) {
        if (PyErr_Occurred()) raise();
        return nullptr;
    }
    if (!PyFunction_Check(f)) return nullptr;
    PyObject* actual = compat::function_qualname(f);
    if (!PyUnicode_Check(actual) || PyUnicode_CompareWithASCIIString(actual, qualname) != 0)
        return nullptr;
    return Py_NewRef(f);
}

inline ShortcutState make(ConstantMaker& make) {
    ShortcutState p;
    p.s_getattr = make.intern("__getattr__");
    p.s_getattribute = make.intern("__getattribute__");
    p.s_getitem = make.intern("__getitem__");
    p.s_len = make.intern("__len__");
    p.s_item_by_idx = make.intern("_get_item_by_idx");
    p.s_abs_index = make.intern("_get_abs_string_index");
    p.s_parameters = make.intern("_parameters");
    p.s_buffers = make.intern("_buffers");
    p.s_modules = make.intern("_modules");
    p.s_size = make.intern("_size");
    p.s_extends_getattr = make.intern("__vsk_module_getattr_first__");
    for (Py_ssize_t i = 0; i < kIndexTexts; ++i)
        p.index_text[i] = make.keep(PyUnicode_FromFormat("%zd", i));
    PyObject* object_dict = compat::type_dict(&PyBaseObject_Type);
    PyObject* found =
        object_dict ? PyDict_GetItemWithError(object_dict, p.s_getattribute) : nullptr;
    if (found == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "object.__getattribute__ missing");
        raise();
    }
    p.object_getattribute = make.keep(Py_NewRef(found));

    Ref nn = require(PyImport_ImportModule("torch.nn"));
    Ref nn_module_cls = require(PyObject_GetAttrString(nn.get(), "Module"));
    Ref sequential = require(PyObject_GetAttrString(nn.get(), "Sequential"));
    Ref parameter_list = require(PyObject_GetAttrString(nn.get(), "ParameterList"));
    if (!PyType_Check(nn_module_cls.get()) || !PyType_Check(sequential.get()) ||
        !PyType_Check(parameter_list.get()))
        return p;
    auto own = [&](PyObject* cls, PyObject* name, const char* qualname) -> PyObject* {
        PyObject* f = own_function(cls, name, qualname);
        return f ? make.keep(f) : nullptr;
    };
    p.nn_module_getattr = own(nn_module_cls.get(), p.s_getattr, "Module.__getattr__");
    p.sequential_getitem = own(sequential.get(), p.s_getitem, "Sequential.__getitem__");
    p.sequential_len = own(sequential.get(), p.s_len, "Sequential.__len__");
    p.sequential_item_by_idx =
        own(sequential.get(), p.s_item_by_idx, "Sequential._get_item_by_idx");
    p.parameter_list_getitem = own(parameter_list.get(), p.s_getitem, "ParameterList.__getitem__");
    p.parameter_list_len = own(parameter_list.get(), p.s_len, "ParameterList.__len__");
    p.parameter_list_abs_index =
        own(parameter_list.get(), p.s_abs_index, "ParameterList._get_abs_string_index");
    if (!p.nn_module_getattr) return p;
    p.sequential = make.keep(sequential.release());
    p.parameter_list = make.keep(parameter_list.release());
    p.usable = true;
    return p;
}

// The instance dict, if it is a plain dict. Held, like every table below:
// a search runs the __eq__ of a colliding key, which may replace the table
// (`obj.__dict__ = ...`, `obj._parameters = ...`) and so free it mid-search.
inline Ref instance_dict(PyObject* obj) {
    PyObject** slot = compat::dict_ptr(obj);
    if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) return nullptr;
    return Ref::borrow(*slot);
}

// d[key], or null. An error (a key whose __eq__ raised) is dropped: the
// ordinary path then meets it again and reports it.
inline Ref lookup(PyObject* d, PyObject* key) {
    Ref held = Ref::borrow(d);
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (v == nullptr && PyErr_Occurred()) PyErr_Clear();
    return Ref::borrow(v);
}

// d[key] when d is a plain dict holding key; null otherwise.
inline Ref plain_dict_item(PyObject* d, PyObject* key) {
    if (d == nullptr || !PyDict_CheckExact(d)) return nullptr;
    return lookup(d, key);
}

}  // namespace detail

// The shortcut state of a module, made at its start-up. Torch tables that
// are not what the shortcuts expect (a stand-in torch, a patched class) turn
// the shortcuts off; an allocation failure fails the start-up instead, so a
// retried import can still have them.
inline ShortcutState make_state(ConstantMaker& make) {
    ConstantMaker mine;
    try {
        ShortcutState made = detail::make(mine);
        make.adopt(mine);
        return made;
    } catch (const PyErrOccurred&) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
        return {};
    }
}

inline void publish(const ShortcutState& made) { state = made; }

// Whether the direct table reads can be taken at all (PyTorch's tables are
// what they expect).
inline bool enabled() { return state.usable; }

namespace detail {

// A __getattr__ that answers every name in the instance dict and the three
// tables exactly as Module.__getattr__ does, and only then does more (the
// package's wrappers, which forward other names to their main layer) says
// so with a function attribute set to True; the direct reads below stay
// valid for it, since they only ever answer such names.
inline bool module_getattr_first(PyObject* f) {
    if (f == nullptr || !PyFunction_Check(f)) return false;
    PyObject* dict = compat::function_dict(f);
    if (dict == nullptr || !PyDict_CheckExact(dict)) return false;
    Ref held = Ref::borrow(dict);  // a colliding key's __eq__ may replace it
    PyObject* mark = PyDict_GetItemWithError(held.get(), state.s_extends_getattr);
    if (mark == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return mark == Py_True;
}

}  // namespace detail

// obj.name for an nn.Module whose type keeps nn.Module's attribute protocol,
// when the value sits in the instance dict or in the module's parameter,
// buffer or sub-module table. Null when the ordinary path must decide.
inline Ref nn_attr(PyObject* obj, PyObject* name) {
    const ShortcutState& p = state;
    if (!p.usable || !PyUnicode_CheckExact(name)) return nullptr;
    PyTypeObject* tp = Py_TYPE(obj);
    PyObject* getattr_hook = compat::type_lookup(tp, p.s_getattr);
    if ((getattr_hook != p.nn_module_getattr && !detail::module_getattr_first(getattr_hook)) ||
        compat::type_lookup(tp, p.s_getattribute) != p.object_getattribute ||
        compat::type_lookup(tp, name) != nullptr)
        return nullptr;
    Ref d = detail::instance_dict(obj);
    if (!d) return nullptr;
    if (Ref v = detail::lookup(d.get(), name)) return v;
    // Module.__getattr__: parameters, then buffers, then sub-modules.
    for (PyObject* table_name : {p.s_parameters, p.s_buffers, p.s_modules}) {
        Ref table = detail::lookup(d.get(), table_name);
        if (!table) continue;
        if (!PyDict_CheckExact(table.get())) return nullptr;
        if (Ref v = detail::lookup(table.get(), name)) return v;
    }
    return nullptr;
}

// True when obj.name is a plain function defined on obj's type that the
// instance does not shadow: the read would only make a bound method, which
// nobody can observe being made or dropped. False when the ordinary read
// must decide.
inline bool is_plain_method(PyObject* obj, PyObject* name) {
    const ShortcutState& p = state;
    if (!p.usable || !PyUnicode_CheckExact(name)) return false;
    PyTypeObject* tp = Py_TYPE(obj);
    if (compat::type_lookup(tp, p.s_getattribute) != p.object_getattribute) return false;
    PyObject* descr = compat::type_lookup(tp, name);
    if (descr == nullptr || !PyFunction_Check(descr)) return false;
    PyObject** slot = compat::dict_ptr(obj);
    if (slot == nullptr || *slot == nullptr) return true;
    if (!PyDict_CheckExact(*slot)) return false;
    Ref dict = Ref::borrow(*slot);  // a colliding key's __eq__ may replace it
    PyObject* shadow = PyDict_GetItemWithError(dict.get(), name);
    if (shadow == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return shadow == nullptr;
}

namespace detail {

// The instance dict of a container of exactly the class `cls` whose
// __getitem__, __len__ and index helper are PyTorch's own, `table` not a
// class attribute and the helper not shadowed; null otherwise.
inline Ref container_dict(PyObject* container, PyObject* cls, PyObject* getitem, PyObject* len,
                          PyObject* helper_name, PyObject* helper, PyObject* table) {
    const ShortcutState& p = state;
    PyTypeObject* tp = Py_TYPE(container);
    if (!p.usable || reinterpret_cast<PyObject*>(tp) != cls || getitem == nullptr ||
        compat::type_lookup(tp, p.s_getattribute) != p.object_getattribute ||
        compat::type_lookup(tp, p.s_getitem) != getitem ||
        compat::type_lookup(tp, p.s_len) != len || compat::type_lookup(tp, helper_name) != helper ||
        compat::type_lookup(tp, table) != nullptr)
        return nullptr;
    Ref d = instance_dict(container);
    return d && !lookup(d.get(), helper_name) ? d : nullptr;
}

// The _modules table of an exact nn.Sequential whose class keeps PyTorch's
// __getitem__ and __len__ (both read that table only); null otherwise.
inline Ref sequential_table(PyObject* container) {
    const ShortcutState& p = state;
    Ref d = container_dict(container, p.sequential, p.sequential_getitem, p.sequential_len,
                           p.s_item_by_idx, p.sequential_item_by_idx, p.s_modules);
    return d ? plain_dict_item(d.get(), p.s_modules) : nullptr;
}

}  // namespace detail

// len() of an exact nn.ParameterList whose class keeps PyTorch's
// __getitem__ and __len__ (both read its _size); -1 otherwise.
inline Py_ssize_t parameter_list_size(PyObject* container) {
    const ShortcutState& p = state;
    Ref d = detail::container_dict(container, p.parameter_list, p.parameter_list_getitem,
                                   p.parameter_list_len, p.s_abs_index, p.parameter_list_abs_index,
                                   p.s_size);
    if (!d) return -1;
    Ref size_obj = detail::plain_dict_item(d.get(), p.s_size);
    if (!size_obj || !PyLong_CheckExact(size_obj.get())) return -1;
    Py_ssize_t size = PyLong_AsSsize_t(size_obj.get());
    if (size == -1 && PyErr_Occurred()) PyErr_Clear();
    return size;
}

// len(container) for an exact nn.Sequential; empty when the ordinary path
// must decide.
inline std::optional<Py_ssize_t> nn_len(PyObject* container) {
    Ref modules = detail::sequential_table(container);
    if (!modules) return std::nullopt;
    return PyDict_GET_SIZE(modules.get());
}

// str(index) for the first indices of a parameter list, made at start-up;
// null beyond them.
inline PyObject* index_text(Py_ssize_t index) {
    return index >= 0 && index < kIndexTexts ? state.index_text[index] : nullptr;
}

// container[index] for an exact nn.ParameterList whose size the caller
// read with parameter_list_size(), index in range: getattr(container,
// str(index)) through the same attribute rules. Null when the ordinary path
// must decide.
inline Ref parameter_list_item(PyObject* container, Py_ssize_t index) {
    if (index >= kIndexTexts) return nullptr;
    return nn_attr(container, state.index_text[index]);
}

// The sub-module table an exact nn.Sequential indexes and measures, when its
// class keeps PyTorch's methods; null otherwise. Good until Python code runs.
inline Ref sequential_modules(PyObject* container) { return detail::sequential_table(container); }

// sequential[index] from its table, for an in-range integer index; null
// otherwise.
inline Ref sequential_item(PyObject* modules, Py_ssize_t index) {
    Py_ssize_t size = PyDict_GET_SIZE(modules);
    if (index < -size || index >= size) return nullptr;
    if (index < 0) index += size;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (Py_ssize_t i = 0; PyDict_Next(modules, &pos, &key, &value); ++i)
        if (i == index) return Ref::borrow(value);
    return nullptr;
}

// container[index] for an exact nn.Sequential or nn.ParameterList with an
// in-range integer index. Null (no error) when the ordinary path must decide.
inline Ref nn_item(PyObject* container, Py_ssize_t index) {
    if (Ref modules = detail::sequential_table(container))
        return sequential_item(modules.get(), index);
    Py_ssize_t size = parameter_list_size(container);
    if (size < 0 || index < -size || index >= size) return nullptr;
    return parameter_list_item(container, index < 0 ? index + size : index);
}

// container[key] for an exact int key; null (no error) when the ordinary
// path must decide.
inline Ref nn_item(PyObject* container, PyObject* key) {
    if (!PyLong_CheckExact(key)) return nullptr;
    Py_ssize_t index = PyLong_AsSsize_t(key);
    if (index == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    return nn_item(container, index);
}

// `key in list`. The walks' own list holds only exact strings, for which
// equality runs no user code, so those items are compared in place;
// anything else goes through the interpreter's comparison, item on the
// left, exactly as list.__contains__ does. The list is re-read at every
// step, in case such a comparison changes it. Empty when the list or the
// key is not exact and the ordinary `in` must decide.
inline std::optional<bool> in_list(PyObject* list, PyObject* key) {
    if (!PyList_CheckExact(list) || !PyUnicode_CheckExact(key) || PyUnicode_READY(key) < 0)
        return std::nullopt;
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

// `type.__name__ == text` for a class whose metaclass is exactly `type`:
// __name__ is then type's own data descriptor, so its value is compared in
// place instead of being made as a new string first. Empty otherwise.
inline std::optional<bool> type_named(PyObject* type, PyObject* text) {
    if (!Py_IS_TYPE(type, &PyType_Type) || !PyUnicode_CheckExact(text)) return std::nullopt;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* name = compat::heap_type_name(tp);
        if (!PyUnicode_CheckExact(name)) return std::nullopt;
        return PyUnicode_Compare(name, text) == 0;
    }
    const char* dot = std::strrchr(tp->tp_name, '.');
    const char* name = dot ? dot + 1 : tp->tp_name;
    return PyUnicode_CompareWithASCIIString(text, name) == 0;
}

// head + "." + member in one step when both are exact strings (the `+`
// operator could then do nothing else); null otherwise.
inline Ref join_path(PyObject* head, PyObject* member) {
    if (!PyUnicode_CheckExact(head) || !PyUnicode_CheckExact(member)) return nullptr;
    PyObject* parts[] = {head, core_state.dot, member};
    return require(compat::join_array(core_state.empty, parts, 3));
}

#else  // VESKARI_NO_SHORTCUTS: every shortcut answers "not taken".

struct ShortcutState {};
inline ShortcutState make_state(ConstantMaker&) { return {}; }
inline void publish(const ShortcutState&) {}
inline bool enabled() { return false; }
inline Ref nn_attr(PyObject*, PyObject*) { return nullptr; }
inline bool is_plain_method(PyObject*, PyObject*) { return false; }
inline std::optional<Py_ssize_t> nn_len(PyObject*) { return std::nullopt; }
inline Py_ssize_t parameter_list_size(PyObject*) { return -1; }
inline PyObject* index_text(Py_ssize_t) { return nullptr; }
inline Ref parameter_list_item(PyObject*, Py_ssize_t) { return nullptr; }
inline Ref sequential_modules(PyObject*) { return nullptr; }
inline Ref sequential_item(PyObject*, Py_ssize_t) { return nullptr; }
inline Ref nn_item(PyObject*, Py_ssize_t) { return nullptr; }
inline Ref nn_item(PyObject*, PyObject*) { return nullptr; }
inline std::optional<bool> in_list(PyObject*, PyObject*) { return std::nullopt; }
inline std::optional<bool> type_named(PyObject*, PyObject*) { return std::nullopt; }
inline Ref join_path(PyObject*, PyObject*) { return nullptr; }

#endif

}  // namespace vsk::shortcut
