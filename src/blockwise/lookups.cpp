// The pretrained-dendrite lookups of this module; get_pretrained_vsk_var
// here indexes the network (item access), unlike the clean module's.
#include "blockwise.hpp"
#include "pretrained.hpp"

namespace vsk::blockwise {

namespace {

Ref get_pretrained_vsk_var_body(Frame& f) {
    PyObject* net = f.arg[0];
    if (net == Py_None) return Ref::borrow(Py_None);
    return getitem(net, f.arg[1]);
}

}  // namespace

const FunctionDef get_pretrained_vsk_attr_def = get_pretrained_vsk_attr_def_for;

const FunctionDef get_pretrained_vsk_var_def = {
    .name = "get_pretrained_vsk_var",
    .qualname = "get_pretrained_vsk_var",
    .params = params({"pretrained_dendrite", "submodule_id"}),
    .body = get_pretrained_vsk_var_body,
};

}  // namespace vsk::blockwise
