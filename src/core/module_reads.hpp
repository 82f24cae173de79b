// Attribute reads and indexing of PyTorch modules without the interpreter
// round trips that PyTorch's Python-level protocol costs.
//
// nn.Module keeps sub-modules, parameters and buffers outside the instance
// dict and serves them from a Python-level __getattr__, so every
// `self.layer_array` first raises an AttributeError internally and then runs
// a Python frame; nn.Sequential and nn.ParameterList index in Python as well.
// When an object's type still uses those exact methods (checked on every
// call, so a subclass or a patch that changes them takes the ordinary path)
// and the tables involved are plain dicts, the result is read straight from
// the same tables. No user code can run on this path and every value is the
// one the ordinary protocol would return; anything unusual (a descriptor, a
// missing name, an out-of-range index) takes the ordinary path, which also
// raises the ordinary errors.
#pragma once

#include "ref.hpp"

namespace vsk::fast {

struct TorchProtocol {
    enum class State { unknown, usable, unusable } state = State::unknown;
    PyObject* object_getattribute = nullptr;
    PyObject* module_getattr = nullptr;
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
};

inline TorchProtocol& torch_protocol();

namespace detail {

// A function from a class's own dict, checked to be the one PyTorch defines.
inline PyObject* own_function(PyObject* cls, PyObject* name, const char* qualname) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    PyObject* f = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (f == nullptr || !PyFunction_Check(f)) return nullptr;
    PyObject* actual = reinterpret_cast<PyFunctionObject*>(f)->func_qualname;
    if (!PyUnicode_Check(actual) || PyUnicode_CompareWithASCIIString(actual, qualname) != 0)
        return nullptr;
    return Py_NewRef(f);
}

inline void initialise(TorchProtocol& p) {
    cached_name(p.s_getattr, "__getattr__");
    cached_name(p.s_getattribute, "__getattribute__");
    cached_name(p.s_getitem, "__getitem__");
    cached_name(p.s_len, "__len__");
    cached_name(p.s_item_by_idx, "_get_item_by_idx");
    cached_name(p.s_abs_index, "_get_abs_string_index");
    cached_name(p.s_parameters, "_parameters");
    cached_name(p.s_buffers, "_buffers");
    cached_name(p.s_modules, "_modules");
    cached_name(p.s_size, "_size");
    p.object_getattribute = PyDict_GetItemWithError(PyBaseObject_Type.tp_dict, p.s_getattribute);
    if (p.object_getattribute == nullptr) raise();
    Py_INCREF(p.object_getattribute);

    Ref nn = require(PyImport_ImportModule("torch.nn"));
    Ref module = require(PyObject_GetAttrString(nn.get(), "Module"));
    Ref sequential = require(PyObject_GetAttrString(nn.get(), "Sequential"));
    Ref parameter_list = require(PyObject_GetAttrString(nn.get(), "ParameterList"));
    if (!PyType_Check(module.get()) || !PyType_Check(sequential.get()) ||
        !PyType_Check(parameter_list.get()))
        return;
    p.module_getattr = own_function(module.get(), p.s_getattr, "Module.__getattr__");
    p.sequential_getitem =
        own_function(sequential.get(), p.s_getitem, "Sequential.__getitem__");
    p.sequential_len = own_function(sequential.get(), p.s_len, "Sequential.__len__");
    p.sequential_item_by_idx =
        own_function(sequential.get(), p.s_item_by_idx, "Sequential._get_item_by_idx");
    p.parameter_list_getitem =
        own_function(parameter_list.get(), p.s_getitem, "ParameterList.__getitem__");
    p.parameter_list_len = own_function(parameter_list.get(), p.s_len, "ParameterList.__len__");
    p.parameter_list_abs_index = own_function(parameter_list.get(), p.s_abs_index,
                                              "ParameterList._get_abs_string_index");
    if (PyErr_Occurred()) raise();
    if (!p.module_getattr) return;
    p.sequential = sequential.release();
    p.parameter_list = parameter_list.release();
    p.state = TorchProtocol::State::usable;
}

// The instance dict, if it is a plain dict. Held, like every table below:
// a search runs the __eq__ of a colliding key, which may replace the table
// (`obj.__dict__ = ...`, `obj._parameters = ...`) and so free it mid-search.
inline Ref instance_dict(PyObject* obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
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

// str(index) for the small indices of parameter lists, made once.
inline PyObject* index_text(Py_ssize_t index) {
    static PyObject* texts[64] = {};
    if (index < 0 || index >= 64) return nullptr;
    if (texts[index] == nullptr) {
        texts[index] = PyUnicode_FromFormat("%zd", index);
        if (texts[index] == nullptr) PyErr_Clear();
    }
    return texts[index];
}

}  // namespace detail

inline TorchProtocol& torch_protocol() {
    static TorchProtocol p;
    if (p.state == TorchProtocol::State::unknown) {
        // Importing may switch threads: others take the ordinary path meanwhile.
        p.state = TorchProtocol::State::unusable;
        try {
            detail::initialise(p);
        } catch (const PyErrOccurred&) {
            PyErr_Clear();
        }
    }
    return p;
}

// obj.name for an nn.Module whose type keeps nn.Module's attribute protocol,
// when the value sits in the instance dict or in the module's parameter,
// buffer or sub-module table. Null when the ordinary path must decide. Like
// everything here, it never leaves an exception set.
inline Ref module_attr(PyObject* obj, PyObject* name) {
    TorchProtocol& p = torch_protocol();
    if (p.state != TorchProtocol::State::usable || !PyUnicode_CheckExact(name)) return nullptr;
    PyTypeObject* tp = Py_TYPE(obj);
    if (_PyType_Lookup(tp, p.s_getattr) != p.module_getattr ||
        _PyType_Lookup(tp, p.s_getattribute) != p.object_getattribute ||
        _PyType_Lookup(tp, name) != nullptr)
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
// nobody can observe being made or dropped.
inline bool is_plain_method(PyObject* obj, PyObject* name) {
    TorchProtocol& p = torch_protocol();
    if (p.state != TorchProtocol::State::usable || !PyUnicode_CheckExact(name)) return false;
    PyTypeObject* tp = Py_TYPE(obj);
    if (_PyType_Lookup(tp, p.s_getattribute) != p.object_getattribute) return false;
    PyObject* descr = _PyType_Lookup(tp, name);
    if (descr == nullptr || !PyFunction_Check(descr)) return false;
    PyObject** slot = _PyObject_GetDictPtr(obj);
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

// container[index] for an exact nn.Sequential or nn.ParameterList with an
// in-range integer index. Null (no error) when the ordinary path must decide.
inline Ref module_item(PyObject* container, Py_ssize_t index) {
    TorchProtocol& p = torch_protocol();
    if (p.state != TorchProtocol::State::usable) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(container));
    PyTypeObject* tp = Py_TYPE(container);
    if (_PyType_Lookup(tp, p.s_getattribute) != p.object_getattribute) return nullptr;
    Ref d;
    if (type == p.sequential) {
        if (_PyType_Lookup(tp, p.s_getitem) != p.sequential_getitem ||
            _PyType_Lookup(tp, p.s_len) != p.sequential_len ||
            _PyType_Lookup(tp, p.s_item_by_idx) != p.sequential_item_by_idx ||
            _PyType_Lookup(tp, p.s_modules) != nullptr || p.sequential_getitem == nullptr)
            return nullptr;
        d = detail::instance_dict(container);
        if (!d || detail::lookup(d.get(), p.s_item_by_idx)) return nullptr;
        Ref modules = detail::plain_dict_item(d.get(), p.s_modules);
        if (!modules) return nullptr;
        Py_ssize_t size = PyDict_GET_SIZE(modules.get());
        if (index < -size || index >= size) return nullptr;
        if (index < 0) index += size;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (Py_ssize_t i = 0; PyDict_Next(modules.get(), &pos, &key, &value); ++i)
            if (i == index) return Ref::borrow(value);
        return nullptr;
    }
    if (type == p.parameter_list) {
        if (_PyType_Lookup(tp, p.s_getitem) != p.parameter_list_getitem ||
            _PyType_Lookup(tp, p.s_len) != p.parameter_list_len ||
            _PyType_Lookup(tp, p.s_abs_index) != p.parameter_list_abs_index ||
            _PyType_Lookup(tp, p.s_size) != nullptr || p.parameter_list_getitem == nullptr)
            return nullptr;
        d = detail::instance_dict(container);
        if (!d || detail::lookup(d.get(), p.s_abs_index)) return nullptr;
        Ref size_obj = detail::plain_dict_item(d.get(), p.s_size);
        if (!size_obj || !PyLong_CheckExact(size_obj.get())) return nullptr;
        Py_ssize_t size = PyLong_AsSsize_t(size_obj.get());
        if (size == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
        if (index < -size || index >= size) return nullptr;
        if (index < 0) index += size;
        // getattr(self, str(index)), through the same attribute rules.
        PyObject* key = detail::index_text(index);
        return key ? module_attr(container, key) : nullptr;
    }
    return nullptr;
}

}  // namespace vsk::fast

namespace vsk {

// getattr(obj, name)
inline Ref module_getattr(PyObject* obj, PyObject* name) {
    if (Ref v = fast::module_attr(obj, name)) return v;
    return getattr(obj, name);
}

// hasattr/getattr-with-default semantics, as lookup_attr.
inline bool module_lookup_attr(PyObject* obj, PyObject* name, Ref& out) {
    if (Ref v = fast::module_attr(obj, name)) {
        out = std::move(v);
        return true;
    }
    return lookup_attr(obj, name, out);
}

// container[index]
inline Ref module_getitem(PyObject* container, Py_ssize_t index) {
    if (Ref v = fast::module_item(container, index)) return v;
    return getitem(container, index);
}

}  // namespace vsk
