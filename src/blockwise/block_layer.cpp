// VSKLayer.__init__: one trained neuron as a block. The caller's
// dendrite-to-dendrite list is kept (not copied) and extended in place with
// the last dendrite-to-top entry, so entry i feeds branch i and entry 0 is a
// placeholder; an empty result leaves no skip_weights attribute at all.
#include "blockwise.hpp"

namespace vsk::blockwise {

namespace {

Ref init_body(Frame& f) {
    PyObject* self = f.arg[0];
    PyObject* layer_array = f.arg[1];
    PyObject* processor_array = f.arg[2];
    PyObject* dendrites_to_top = f.arg[3];
    PyObject* dendrites_to_dendrites = f.arg[4];
    PyObject* node_index = f.arg[5];
    PyObject* num_cycles = f.arg[6];
    PyObject* view_tuple = f.arg[7];
    const Names& n = names;

    Ref cls = global(f, n.VSKLayer);
    Ref parent = call(state.super, cls.get(), self);
    call(getattr(parent.get(), n.__init__).get());

    setattr(self, n.layer_array, layer_array);
    call_method(self, n.register_buffer, n.num_cycles, num_cycles);
    Method register_view(self, n.register_buffer);
    Ref torch = global(f, n.torch);
    register_view(n.view_tuple, call_method(torch.get(), n.tensor, view_tuple).get());
    setattr(self, n.processor_array, processor_array);

    if (truth(dendrites_to_dendrites)) {
        setattr(self, n.skip_weights, dendrites_to_dendrites);
    } else {
        Ref parameter_list = getattr(global(f, n.nn).get(), n.ParameterList);
        Ref torch_now = global(f, n.torch);
        Ref zeros = call_method(torch_now.get(), n.zeros, n.one, n.one, n.one);
        Ref items = require(PyList_New(1));
        PyList_SET_ITEM(items.get(), 0, zeros.release());
        setattr(self, n.skip_weights, call(parameter_list.get(), items.get()).get());
    }

    if (truth(dendrites_to_top)) {
        Ref weights = getattr(self, n.skip_weights);
        Method append(weights.get(), n.append);
        append(getitem(dendrites_to_top, length(dendrites_to_top) - 1).get());
    } else {
        Ref parameter_list = getattr(global(f, n.nn).get(), n.ParameterList);
        setattr(self, n.skip_weights, call(parameter_list.get()).get());
    }
    if (length(getattr(self, n.skip_weights).get()) == 0) delattr(self, n.skip_weights);

    setattr(self, n.node_index, node_index);
    Ref settings = getattr(global(f, n.GVS).get(), n.pc);
    setattr(self, n.internal_nonlinearity,
            call_method(settings.get(), n.get_vsk_forward_function).get());
    return Ref::borrow(Py_None);
}

}  // namespace

const FunctionDef init_def = {
    .name = "__init__",
    .qualname = "VSKLayer.__init__",
    .params = params({"self", "layer_array", "processor_array", "dendrites_to_top",
                      "dendrites_to_dendrites", "node_index", "num_cycles", "view_tuple"}),
    .body = init_body,
};

}  // namespace vsk::blockwise
