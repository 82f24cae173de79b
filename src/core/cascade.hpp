// The cascade merge of a converted layer's branch outputs, written once for
// both forwards that run it: the native VSKModulePyThread.forward and the
// inference layer's eager forward. What differs between them is where a
// skip-weight row comes from, so the loop takes a row source:
//
//   merging()           whether the merge runs for this target at all
//   row(out, in, cur)   the row that weighs branch `in` into target `out`,
//                       on the device of `cur`, the target's running value
//   last_index()        the main branch's index (it is not activated)
//   activate(value)     the dendrite nonlinearity applied to `value`
//
// NativeRows reads every one of them afresh, at the moment and in the order
// the native forward is laid down to; a faster source must give the same
// values or hand over to it.
#pragma once

#include "lookup.hpp"
#include "module_reads.hpp"

namespace vsk::cascade {

// outs[i] held, as the interpreter holds an operand: a `*` or `+` may run
// code that drops the list's own reference. IndexError if the list shrank.
inline Ref item(PyObject* outs, Py_ssize_t i) {
    Ref held = Ref::borrow(PyList_GetItem(outs, i));
    if (!held) raise();
    return held;
}

// Phase 4 of the forward: each target in order, plus every earlier branch
// weighed by its row, then the nonlinearity for dendrite targets; the merged
// value replaces the target's slot. `current_out` stays unbound when there
// is no branch.
template <class Rows>
void merge(PyObject* outs, Py_ssize_t count, Rows& rows, Ref& current_out) {
    for (Py_ssize_t out_index = 0; out_index < count; ++out_index) {
        current_out = item(outs, out_index);
        if (rows.merging()) {
            for (Py_ssize_t in_index = 0; in_index < out_index; ++in_index) {
                Ref row = rows.row(out_index, in_index, current_out.get());
                Ref source = item(outs, in_index);
                Ref term = require(PyNumber_Multiply(row.get(), source.get()));
                current_out = add(current_out.get(), term.get());
            }
            // Dendrite branches go through the nonlinearity; the main one does not.
            if (out_index < rows.last_index()) current_out = rows.activate(current_out.get());
        }
        Ref slot = py_int(out_index);
        setitem(outs, slot.get(), current_out.get());
    }
}

// GVS.pc.get_vsk_forward_function(), looked up in `globals` at each use.
template <class Names>
Ref activation(const Names& names, PyObject* globals) {
    Ref settings = getattr(lookup_global(globals, names.GVS).get(), names.pc);
    return call_method(settings.get(), names.get_vsk_forward_function);
}

// (in_index, :), the subscript of a row; the keys of the first rows are made
// once, at start-up, in the module's state.
template <class State>
Ref row_key(const State& s, Py_ssize_t in_index) {
    if (in_index >= 0 && in_index < State::kRowKeys) return Ref::borrow(s.row_keys[in_index]);
    Ref index = py_int(in_index);
    return require(PyTuple_Pack(2, index.get(), s.names.full_slice));
}

// The rows as the native forward reads them: for every row,
// self.skip_weights[out - 1][in, :].view(self.view_tuple.tolist())
//     .to(current_out.device)
// `State` is a module's state: its names and its (i, :) subscripts.
template <class State>
class NativeRows {
public:
    NativeRows(const State& state, PyObject* self, PyObject* globals)
        : s_(state), self_(self), globals_(globals) {}

    // len(self.layer_array) > 1 and hasattr(self, "skip_weights")
    bool merging() {
        Ref probe;
        return branch_count() > 1 && nn_lookup_attr(self_, s_.names.skip_weights, probe);
    }

    Py_ssize_t last_index() { return branch_count() - 1; }

    Ref row(Py_ssize_t out_index, Py_ssize_t in_index, PyObject* current_out) {
        Ref weights = nn_getattr(self_, s_.names.skip_weights);
        Ref entry = nn_getitem(weights.get(), out_index - 1);
        Ref row = getitem(entry.get(), cascade::row_key(s_, in_index).get());
        // The method is fetched before its argument is evaluated.
        Method view(row.get(), s_.names.view);
        Ref shape = call_method(nn_getattr(self_, s_.names.view_tuple).get(), s_.names.tolist);
        row = view(shape.get());
        Method to(row.get(), s_.names.to);
        return to(getattr(current_out, s_.names.device).get());
    }

    Ref activate(PyObject* value) {
        Ref act = activation(s_.names, globals_);
        return call(act.get(), value);
    }

private:
    Py_ssize_t branch_count() { return nn_length(nn_getattr(self_, s_.names.layer_array).get()); }

    const State& s_;
    PyObject* self_;     // borrowed: the forward's frame holds it
    PyObject* globals_;  // borrowed: the module holds it
};

}  // namespace vsk::cascade
