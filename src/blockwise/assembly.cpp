// convert_to_vsk_layer_block: one trained neuron module becomes one VSKLayer.
// Every attribute is read afresh at each use, as the training side may hand
// out computed values; the layers and processing objects are shared, and the
// processing objects are rebound to the block's pre/post in place.
#include "blockwise.hpp"

namespace vsk::blockwise {

namespace {

// pretrained_dendrite.dendrite_module.<name>
Ref holder_attr(PyObject* neuron, PyObject* name) {
    return getattr(getattr(neuron, names.dendrite_module).get(), name);
}

// pretrained_dendrite.dendrite_module.processors[i]
Ref dendrite_processor(PyObject* neuron, PyObject* index) {
    return getitem(holder_attr(neuron, names.processors).get(), index);
}

// pretrained_dendrite.dendrite_module.dendrite_values[0].<name>
Ref first_values_attr(PyObject* neuron, PyObject* name) {
    Ref values = holder_attr(neuron, names.dendrite_values);
    return getattr(getitem(values.get(), Py_ssize_t{0}).get(), name);
}

void gather_dendrites(PyObject* neuron, PyObject* layer_array, PyObject* processor_array) {
    Py_ssize_t count = length(holder_attr(neuron, names.layers).get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref index = py_int(i);
        Ref layer = getitem(holder_attr(neuron, names.layers).get(), index.get());
        check(PyList_Append(layer_array, layer.get()));

        Ref empty = require(PyList_New(0));
        if (compare(holder_attr(neuron, names.processors).get(), empty.get(), Py_EQ)) {
            check(PyList_Append(processor_array, Py_None));
            continue;
        }
        if (dendrite_processor(neuron, index.get()).get() != Py_None) {
            Ref pre = getattr(dendrite_processor(neuron, index.get()).get(), names.pre_d);
            setattr(dendrite_processor(neuron, index.get()).get(), names.pre, pre.get());
            Ref post = getattr(dendrite_processor(neuron, index.get()).get(), names.post_d);
            setattr(dendrite_processor(neuron, index.get()).get(), names.post, post.get());
        }
        check(PyList_Append(processor_array, dendrite_processor(neuron, index.get()).get()));
    }
}

void gather_main(PyObject* neuron, PyObject* layer_array, PyObject* processor_array) {
    check(PyList_Append(layer_array, getattr(neuron, names.main_module).get()));
    if (getattr(neuron, names.processor).get() != Py_None) {
        Ref pre = getattr(getattr(neuron, names.processor).get(), names.post_n1);
        setattr(getattr(neuron, names.processor).get(), names.pre, pre.get());
        Ref post = getattr(getattr(neuron, names.processor).get(), names.post_n2);
        setattr(getattr(neuron, names.processor).get(), names.post, post.get());
    }
    check(PyList_Append(processor_array, getattr(neuron, names.processor).get()));
}

// 1 at every output axis, -1 at the neuron axis.
Ref view_shape(PyObject* neuron) {
    Ref shape = require(PyList_New(0));
    Py_ssize_t dims = length(first_values_attr(neuron, names.this_output_dimensions).get());
    for (Py_ssize_t d = 0; d < dims; ++d) {
        Ref dim = py_int(d);
        Ref axis = first_values_attr(neuron, names.this_node_index);
        bool at_axis = compare(dim.get(), axis.get(), Py_EQ);
        check(PyList_Append(shape.get(), at_axis ? names.minus_one : names.one));
    }
    return shape;
}

Ref convert_body(Frame& f) {
    PyObject* neuron = f.arg[0];
    call(global(f, names.unWrap_params).get(), neuron);

    Ref layer_array = require(PyList_New(0));
    Ref processor_array = require(PyList_New(0));
    gather_dendrites(neuron, layer_array.get(), processor_array.get());
    gather_main(neuron, layer_array.get(), processor_array.get());
    Ref view_tuple = view_shape(neuron);

    Ref block_cls = global(f, names.VSKLayer);
    Ref sequential_cls = getattr(global(f, names.nn).get(), names.Sequential);
    Ref layers = require(PyList_AsTuple(layer_array.get()));
    Ref sequential = call_with(sequential_cls.get(), layers.get(), nullptr);
    Ref to_top = getattr(neuron, names.dendrites_to_top);
    Ref to_dendrites = holder_attr(neuron, names.dendrites_to_dendrites);
    Ref node_index = getattr(neuron, names.this_node_index);
    Ref cycles = holder_attr(neuron, names.num_cycles);
    return call(block_cls.get(), sequential.get(), processor_array.get(), to_top.get(),
                to_dendrites.get(), node_index.get(), cycles.get(), view_tuple.get());
}

}  // namespace

const FunctionDef convert_def = {
    .name = "convert_to_vsk_layer_block",
    .qualname = "convert_to_vsk_layer_block",
    .params = params({"pretrained_dendrite"}),
    .body = convert_body,
};

}  // namespace vsk::blockwise
