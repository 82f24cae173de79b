// VSKModulePyThread.__init__: takes over a block layer's branches, their
// processors, the cascade weights past the unused first entry, and the three
// bookkeeping tensors (the neuron axis as a private copy).
#include "clean.hpp"

namespace vsk::clean {

namespace {

Ref init_body(Frame& f) {
    PyObject* self = f.arg[0];
    PyObject* original = f.arg[1];
    const Names& n = names;

    // nn.Module's tables must exist before any attribute assignment.
    Ref cls = global(f, n.VSKModulePyThread);
    Ref parent = call(state.super, cls.get(), self);
    Ref base_init = getattr(parent.get(), n.__init__);
    call(base_init.get());

    setattr(self, n.layer_array, getattr(original, n.layer_array).get());
    setattr(self, n.processor_array, getattr(original, n.processor_array).get());

    // hasattr, then a fresh read for len, then another for the slice.
    Ref probe;
    if (lookup_attr(original, n.skip_weights, probe) &&
        length(getattr(original, n.skip_weights).get()) > 1) {
        // Entry 0 of the block's list never feeds a branch: drop it.
        Ref tail = getitem(getattr(original, n.skip_weights).get(), n.slice_from_one);
        setattr(self, n.skip_weights, tail.get());
    }

    // self.register_buffer is fetched before its argument is read.
    Method register_node_index(self, n.register_buffer);
    Ref node_index = getattr(original, n.node_index);
    Ref cloned = call_method(node_index.get(), n.clone);
    Ref detached = call_method(cloned.get(), n.detach);
    register_node_index(n.node_index, detached.get());
    Method register_cycles(self, n.register_buffer);
    register_cycles(n.num_cycles, getattr(original, n.num_cycles).get());
    Method register_view(self, n.register_buffer);
    register_view(n.view_tuple, getattr(original, n.view_tuple).get());
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionDef init_def = {
    .name = "__init__",
    .qualname = "VSKModulePyThread.__init__",
    .params = params({"self", "original_module"}),
    .body = init_body,
};

}  // namespace vsk::clean
