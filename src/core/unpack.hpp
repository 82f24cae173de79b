// Unpacking into exactly two values, and the keyword-argument rules of a
// `**` call, with the texts the converters report.
#pragma once

#include "protocol.hpp"

namespace vsk {

[[noreturn]] inline void raise_need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
    raise();
}

[[noreturn]] inline void raise_too_many_values() {
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

// `a, b = value`
inline void unpack2(PyObject* value, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n > 2) raise_too_many_values();
        if (n < 2) raise_need_more(n);
        a = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
        b = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
        return;
    }
    if (Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(value)->tp_name);
        raise();
    }
    Ref it = require(PyObject_GetIter(value));
    Ref items[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        items[i] = Ref::steal(PyIter_Next(it.get()));
        if (!items[i]) {
            if (PyErr_Occurred()) raise();
            raise_need_more(i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise_too_many_values();
    if (PyErr_Occurred()) raise();
    a = std::move(items[0]);
    b = std::move(items[1]);
}

// The positional arguments of `f(*value)`: a tuple as is, else tuple(value).
inline Ref as_args(PyObject* value) {
    if (PyTuple_CheckExact(value)) return Ref::borrow(value);
    if (Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "argument after * must be an iterable, not %.200s",
                     Py_TYPE(value)->tp_name);
        raise();
    }
    return require(PySequence_Tuple(value));
}

// The keyword arguments of `f(**value)`: a copy of an exact dict, dict(value)
// for anything else, and None refused as the interpreter refuses it. An
// empty exact dict is passed as it is: nobody receives it (kw_or_null).
inline Ref as_kwargs(PyObject* value) {
    if (value == Py_None)
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    if (PyDict_CheckExact(value))
        return PyDict_GET_SIZE(value) ? require(PyDict_Copy(value)) : Ref::borrow(value);
    return call(reinterpret_cast<PyObject*>(&PyDict_Type), value);
}

// Keyword dicts are passed on only when they hold something: an empty dict
// and no dict mean the same to every callee.
inline PyObject* kw_or_null(PyObject* kwargs) {
    return kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0 ? kwargs : nullptr;
}

}  // namespace vsk
