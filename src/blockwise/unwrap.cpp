// unWrap_params: removes the training side's `wrapped` marker from every
// parameter that lists it in its own __dir__(); the value is never read.
#include "blockwise.hpp"

namespace vsk::blockwise {

namespace {

Ref unwrap_params_body(Frame& f) {
    Ref params = call_method(f.arg[0], names.parameters);
    Ref it = require(PyObject_GetIter(params.get()));
    while (Ref p = Ref::steal(PyIter_Next(it.get()))) {
        Ref listing = call_method(p.get(), names.__dir__);
        if (contains(listing.get(), names.wrapped)) delattr(p.get(), names.wrapped);
    }
    if (PyErr_Occurred()) raise();
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionDef unwrap_params_def = {
    .name = "unWrap_params",
    .qualname = "unWrap_params",
    .params = params({"model"}),
    .body = unwrap_params_body,
};

}  // namespace vsk::blockwise
