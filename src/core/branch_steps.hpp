// The steps of a converted layer's forward around the merge: one dendrite
// branch, the main branch, and the main processor's post. The native
// methods (process_and_forward, process_and_pre, forward) run them, and so
// does the inference layer's eager forward, which calls them directly
// instead of through the bound methods when its class keeps the native ones.
// `Names` is a module's interned names; every read is the native forward's.
#pragma once

#include "module_reads.hpp"
#include "unpack.hpp"

namespace vsk::branch {

template <class Names>
Ref processor_at(const Names& names, PyObject* self, PyObject* index) {
    Ref processors = nn_getattr(self, names.processor_array);
    return getitem(processors.get(), index);
}

// `self.processor_array[c] != None`: a rich comparison, then its truth.
template <class Names>
bool has_processor(const Names& names, PyObject* self, PyObject* c) {
    return compare(processor_at(names, self, c).get(), Py_None, Py_NE);
}

// dendrite_outs[c] = the branch's output: its processor's pre on the inputs,
// the layer, then its processor's post.
template <class Names>
void dendrite(const Names& names, PyObject* self, PyObject* c, PyObject* dendrite_outs, Ref args,
              Ref kwargs) {
    if (has_processor(names, self, c)) {
        Ref pre = getattr(processor_at(names, self, c).get(), names.pre);
        Ref result = call_with(pre.get(), args.get(), kw_or_null(kwargs.get()));
        unpack2(result.get(), args, kwargs);
    }

    Ref layers = nn_getattr(self, names.layer_array);
    Ref layer = nn_getitem(layers.get(), c);
    Ref call_args = as_args(args.get());
    Ref call_kwargs = as_kwargs(kwargs.get());
    Ref out = call_with(layer.get(), call_args.get(), kw_or_null(call_kwargs.get()));

    if (has_processor(names, self, c)) {
        Ref processor = processor_at(names, self, c);
        out = call_method(processor.get(), names.post, out.get());
    }
    setitem(dendrite_outs, c, out.get());
}

// dendrite_outs[-1] = the main layer's forward (its hooks bypassed), through
// its processor's pre when it has one; the post waits for the merge.
template <class Names>
void main(const Names& names, PyObject* self, PyObject* dendrite_outs, PyObject* args,
          PyObject* kwargs) {
    Ref layers = nn_getattr(self, names.layer_array);
    Ref main = nn_getitem(layers.get(), -1);
    Ref forward = getattr(main.get(), names.forward);
    Ref out = call_with(forward.get(), args, kw_or_null(kwargs));

    if (processor_at(names, self, names.minus_one).get() != Py_None) {
        Ref processor = processor_at(names, self, names.minus_one);
        out = call_method(processor.get(), names.pre, out.get());
    }
    Py_ssize_t last = length(nn_getattr(self, names.layer_array).get()) - 1;
    Ref slot = py_int(last);
    setitem(dendrite_outs, slot.get(), out.get());
}

[[noreturn]] inline void raise_unbound_current_out() {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                 "current_out");
    raise();
}

// Phase 5 of the forward: the main processor's post on the merged value.
template <class Names>
Ref main_post(const Names& names, PyObject* self, Ref current_out) {
    Ref main_processor = processor_at(names, self, names.minus_one);
    if (main_processor.get() != Py_None) {
        Ref processor = processor_at(names, self, names.minus_one);
        Ref post = getattr(processor.get(), names.post);
        if (!current_out) raise_unbound_current_out();
        current_out = call(post.get(), current_out.get());
    }
    if (!current_out) raise_unbound_current_out();
    return current_out;
}

}  // namespace vsk::branch
