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
    Ref parent = call(builtin_super, cls.get(), self);
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

    Ref node_index = getattr(original, n.node_index);
    Ref cloned = call_method(node_index.get(), n.clone);
    Ref detached = call_method(cloned.get(), n.detach);
    call_method(self, n.register_buffer, n.node_index, detached.get());
    Ref cycles = getattr(original, n.num_cycles);
    call_method(self, n.register_buffer, n.num_cycles, cycles.get());
    Ref view = getattr(original, n.view_tuple);
    call_method(self, n.register_buffer, n.view_tuple, view.get());
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionDef init_def = {
    "__init__", "VSKModulePyThread.__init__", "(self, original_module)",
    {"self", "original_module"}, 2, false, false, init_body,
};

}  // namespace vsk::clean
