// The converter's entry points: refresh_net starts the walk at the root;
// make_module converts one block through whatever ModuleType is bound to.
// get_pretrained_vsk_var here asks the network for a sub-module by path.
#include "clean.hpp"
#include "pretrained.hpp"

namespace vsk::clean {

namespace {

Ref refresh_net_body(Frame& f) {
    Ref walk = global(f, names.refresh_vsk);
    Ref converted_list = require(PyList_New(0));
    Ref depth = py_int(0);
    return call(walk.get(), f.arg[0], depth.get(), names.empty, converted_list.get());
}

Ref make_module_body(Frame& f) {
    Ref module_type = global(f, names.ModuleType);
    return call(module_type.get(), f.arg[0]);
}

Ref get_pretrained_vsk_var_body(Frame& f) {
    PyObject* net = f.arg[0];
    if (net == Py_None) return Ref::borrow(Py_None);
    return call_method(net, names.get_submodule, f.arg[1]);
}

}  // namespace

const FunctionDef refresh_net_def = {
    .name = "refresh_net",
    .qualname = "refresh_net",
    .params = params({"pretrained_dendrite"}),
    .body = refresh_net_body,
};

const FunctionDef make_module_def = {
    .name = "make_module",
    .qualname = "make_module",
    .params = params({"module"}),
    .body = make_module_body,
};

const FunctionDef get_pretrained_vsk_attr_def = get_pretrained_vsk_attr_def_for;

const FunctionDef get_pretrained_vsk_var_def = {
    .name = "get_pretrained_vsk_var",
    .qualname = "get_pretrained_vsk_var",
    .params = params({"pretrained_dendrite", "submodule_id"}),
    .body = get_pretrained_vsk_var_body,
};

}  // namespace vsk::clean
