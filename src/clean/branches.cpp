// Branch evaluation: each method stores one branch's result into its own
// slot of the caller's per-call list and returns None. Dendrite branches
// process their inputs and outputs; the main branch runs its module's
// forward and processes only the output (its post runs after the merge).
#include "clean.hpp"
#include "caller_modes.hpp"
#include "module_reads.hpp"
#include "unpack.hpp"

namespace vsk::clean {

namespace {

// args[i] of a *args tuple, IndexError as a tuple subscript raises it.
PyObject* positional(PyObject* args, Py_ssize_t i) {
    if (i >= PyTuple_GET_SIZE(args)) raise(PyExc_IndexError, "tuple index out of range");
    return PyTuple_GET_ITEM(args, i);
}

// `self.processor_array[c] != None`: a rich comparison, then its truth.
bool has_processor(PyObject* self, PyObject* c) {
    Ref processors = nn_getattr(self, names.processor_array);
    Ref processor = getitem(processors.get(), c);
    return compare(processor.get(), Py_None, Py_NE);
}

Ref processor_at(PyObject* self, PyObject* index) {
    Ref processors = nn_getattr(self, names.processor_array);
    return getitem(processors.get(), index);
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
        if (has_processor(self, c)) {
            Ref pre = getattr(processor_at(self, c).get(), names.pre);
            Ref result = call_with(pre.get(), args.get(), kw_or_null(kwargs.get()));
            unpack2(result.get(), args, kwargs);
        }

        Ref layers = nn_getattr(self, names.layer_array);
        Ref layer = nn_getitem(layers.get(), c);
        Ref call_args = as_args(args.get());
        Ref call_kwargs = as_kwargs(kwargs.get());
        Ref out = call_with(layer.get(), call_args.get(), kw_or_null(call_kwargs.get()));

        if (has_processor(self, c)) {
            Ref processor = processor_at(self, c);
            out = call_method(processor.get(), names.post, out.get());
        }
        setitem(dendrite_outs, c, out.get());
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
        Ref layers = nn_getattr(self, names.layer_array);
        Ref main = nn_getitem(layers.get(), -1);
        Ref forward = getattr(main.get(), names.forward);
        Ref out = call_with(forward.get(), args.get(), kw_or_null(f.varkw.get()));

        if (processor_at(self, names.minus_one).get() != Py_None) {
            Ref processor = processor_at(self, names.minus_one);
            out = call_method(processor.get(), names.pre, out.get());
        }
        Py_ssize_t last = length(nn_getattr(self, names.layer_array).get()) - 1;
        Ref slot = py_int(last);
        setitem(dendrite_outs, slot.get(), out.get());
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
