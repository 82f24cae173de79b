// Branch evaluation: each method stores one branch's result into its own
// slot of the caller's per-call list and returns None. Dendrite branches
// process their inputs and outputs; the main branch runs its module's
// forward and processes only the output (its post runs after the merge).
#include "clean.hpp"
#include "caller_modes.hpp"
#include "branch_steps.hpp"

namespace vsk::clean {

namespace {

// args[i] of a *args tuple, IndexError as a tuple subscript raises it.
PyObject* positional(PyObject* args, Py_ssize_t i) {
    if (i >= PyTuple_GET_SIZE(args)) raise(PyExc_IndexError, "tuple index out of range");
    return PyTuple_GET_ITEM(args, i);
}

// process_and_forward(self, c, dendrite_outs, *inputs, **kwinputs)
Ref process_and_forward_body(Frame& f) {
    PyObject* self = f.arg[0];
    PyObject* all = f.varargs.get();
    PyObject* c = positional(all, 0);
    PyObject* dendrite_outs = positional(all, 1);
    Ref args = require(PyTuple_GetSlice(all, 2, PyTuple_GET_SIZE(all)));
    Ref kwargs = f.varkw;
    in_caller_modes(dendrite_outs, c, [&] {
        branch::FreshReads reads{names, self};
        branch::dendrite(reads, c, dendrite_outs, std::move(args), std::move(kwargs));
    });
    return Ref::borrow(Py_None);
}

// process_and_pre(self, dendrite_outs, *inputs, **kwinputs)
Ref process_and_pre_body(Frame& f) {
    PyObject* self = f.arg[0];
    PyObject* all = f.varargs.get();
    PyObject* dendrite_outs = positional(all, 0);
    Ref args = require(PyTuple_GetSlice(all, 1, PyTuple_GET_SIZE(all)));
    in_caller_modes(dendrite_outs, Py_None, [&] {
        branch::FreshReads reads{names, self};
        branch::main(reads, dendrite_outs, args.get(), f.varkw.get());
    });
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionDef process_and_forward_def = {
    .name = "process_and_forward",
    .qualname = "VSKModulePyThread.process_and_forward",
    .params = params({"self"}),
    .varargs = "args2",
    .varkw = "kwargs2",
    .body = process_and_forward_body,
};

const FunctionDef process_and_pre_def = {
    .name = "process_and_pre",
    .qualname = "VSKModulePyThread.process_and_pre",
    .params = params({"self"}),
    .varargs = "args",
    .varkw = "kwargs",
    .body = process_and_pre_body,
};

}  // namespace vsk::clean
