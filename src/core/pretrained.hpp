// get_pretrained_vsk_attr, the same in both modules: an attribute of a
// network that may be absent (None in, None out; identity, not truth).
#pragma once

#include "function.hpp"

namespace vsk {

inline Ref get_pretrained_vsk_attr_body(Frame& f) {
    PyObject* net = f.arg[0];
    if (net == Py_None) return Ref::borrow(Py_None);
    return getattr(net, f.arg[1]);
}

inline const FunctionDef get_pretrained_vsk_attr_def_for = {
    .name = "get_pretrained_vsk_attr",
    .qualname = "get_pretrained_vsk_attr",
    .params = params({"pretrained_dendrite", "member"}),
    .body = get_pretrained_vsk_attr_body,
};

}  // namespace vsk
