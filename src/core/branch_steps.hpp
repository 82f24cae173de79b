// The steps of a converted layer's forward around the merge: one dendrite
// branch, the main branch, and the main processor's post. The native
// methods (process_and_forward, process_and_pre, forward) run them, and so
// does the inference layer's eager forward, which calls them directly
// instead of through the bound methods when its class keeps the native ones.
//
// The layer's two tables are read through a `Reads` policy, which marks the
// points where Python code may have run since (ran_code()): FreshReads reads
// them afresh every time, as the native methods do; a policy may instead
// reuse a value read since the last such point, which is the same value.
#pragma once

#include "module_reads.hpp"
#include "unpack.hpp"

namespace vsk::branch {

// self.processor_array and self.layer_array, read afresh at every use.
template <class Names>
struct FreshReads {
    const Names& names;  // a module's interned names
    PyObject* self;      // borrowed: the caller's frame holds it

    Ref processors() { return nn_getattr(self, names.processor_array); }
    Ref layers() { return nn_getattr(self, names.layer_array); }
    Ref layer(PyObject* index) { return nn_getitem(layers().get(), index); }
    Py_ssize_t layer_count() { return nn_length(layers().get()); }
    void ran_code() {}
};

template <class Reads>
Ref processor_at(Reads& reads, PyObject* index) {
    Ref processors = reads.processors();
    Ref processor = getitem(processors.get(), index);
    // An item of a list runs nothing; of anything else, its __getitem__.
    if (!PyList_CheckExact(processors.get())) reads.ran_code();
    return processor;
}

// `self.processor_array[c] != None`: a rich comparison, then its truth
// (which runs the processor's own __ne__ unless it is None).
template <class Reads>
bool has_processor(Reads& reads, PyObject* c) {
    Ref processor = processor_at(reads, c);
    bool has = compare(processor.get(), Py_None, Py_NE);
    if (processor.get() != Py_None) reads.ran_code();
    return has;
}

// dendrite_outs[c] = the branch's output: its processor's pre on the inputs,
// the layer, then its processor's post.
template <class Reads>
void dendrite(Reads& reads, PyObject* c, PyObject* dendrite_outs, Ref args, Ref kwargs) {
    const auto& names = reads.names;
    if (has_processor(reads, c)) {
        Ref pre = getattr(processor_at(reads, c).get(), names.pre);
        reads.ran_code();
        Ref result = call_with(pre.get(), args.get(), kw_or_null(kwargs.get()));
        unpack2(result.get(), args, kwargs);
    }

    Ref layer = reads.layer(c);
    Ref call_args = as_args(args.get());
    Ref call_kwargs = as_kwargs(kwargs.get());
    reads.ran_code();
    Ref out = call_with(layer.get(), call_args.get(), kw_or_null(call_kwargs.get()));
    reads.ran_code();

    if (has_processor(reads, c)) {
        Ref processor = processor_at(reads, c);
        out = call_method(processor.get(), names.post, out.get());
        reads.ran_code();
    }
    setitem(dendrite_outs, c, out.get());
}

// dendrite_outs[-1] = the main layer's forward (its hooks bypassed), through
// its processor's pre when it has one; the post waits for the merge.
template <class Reads>
void main(Reads& reads, PyObject* dendrite_outs, PyObject* args, PyObject* kwargs) {
    const auto& names = reads.names;
    Ref main = reads.layer(names.minus_one);
    reads.ran_code();
    Ref forward = getattr(main.get(), names.forward);
    Ref out = call_with(forward.get(), args, kw_or_null(kwargs));
    reads.ran_code();

    if (processor_at(reads, names.minus_one).get() != Py_None) {
        Ref processor = processor_at(reads, names.minus_one);
        out = call_method(processor.get(), names.pre, out.get());
        reads.ran_code();
    }
    Py_ssize_t last = reads.layer_count() - 1;
    Ref slot = py_int(last);
    setitem(dendrite_outs, slot.get(), out.get());
}

[[noreturn]] inline void raise_unbound_current_out() {
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
                 "current_out");
    raise();
}

// Phase 5 of the forward: the main processor's post on the merged value.
template <class Reads>
Ref main_post(Reads& reads, Ref current_out) {
    const auto& names = reads.names;
    Ref main_processor = processor_at(reads, names.minus_one);
    if (main_processor.get() != Py_None) {
        Ref processor = processor_at(reads, names.minus_one);
        Ref post = getattr(processor.get(), names.post);
        if (!current_out) raise_unbound_current_out();
        current_out = call(post.get(), current_out.get());
    }
    if (!current_out) raise_unbound_current_out();
    return current_out;
}

}  // namespace vsk::branch
