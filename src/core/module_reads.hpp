// Reads of nn.Module objects (attributes, container items) as the algorithms
// write them: through the ordinary object protocol, or straight from
// PyTorch's tables where shortcuts.hpp shows the result is the same.
#pragma once

#include "shortcuts.hpp"

namespace vsk {

// getattr(module, name)
inline Ref nn_getattr(PyObject* module, PyObject* name) {
    if (Ref v = shortcut::nn_attr(module, name)) return v;
    return getattr(module, name);
}

// hasattr/getattr-with-default semantics, as lookup_attr.
inline bool nn_lookup_attr(PyObject* module, PyObject* name, Ref& out) {
    if (Ref v = shortcut::nn_attr(module, name)) {
        out = std::move(v);
        return true;
    }
    return lookup_attr(module, name, out);
}

// len(container)
inline Py_ssize_t nn_length(PyObject* container) {
    if (std::optional<Py_ssize_t> n = shortcut::nn_len(container)) return *n;
    return length(container);
}

// container[index]
inline Ref nn_getitem(PyObject* container, Py_ssize_t index) {
    if (Ref v = shortcut::nn_item(container, index)) return v;
    return getitem(container, index);
}

// container[key]
inline Ref nn_getitem(PyObject* container, PyObject* key) {
    if (Ref v = shortcut::nn_item(container, key)) return v;
    return getitem(container, key);
}

}  // namespace vsk
