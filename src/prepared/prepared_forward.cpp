// veskari._prepared.run: the eager forward of an InferenceLayer.
//
// It is the native VSKModulePyThread.forward in sequential mode, step for
// step (the same branch steps, reads, calls and merge loop, shared with it
// through the core headers), with two differences that change nothing a
// caller can see:
// - the branch steps run directly instead of through the bound methods
//   process_and_forward/process_and_pre, which is only done while the
//   layer's class and instance keep the native ones;
// - the merge takes its rows from the layer's plan (plan.cpp) while the
//   plan proves they are what the native forward would read; otherwise,
//   and from any point where that proof lapses, the rows are read afresh.
// Threaded mode and the older tracers (which would record the rows as
// constants) take the native forward itself.
//
// Besides what plan.cpp proves of the weights, the plan holds for a call
// only with no autograd graph to record through the rows (grad enabled and
// a trainable skip weight), no tangent to carry (tangents.cpp), no torch
// function or dispatch mode, and no tensor subclass among the branch
// outputs. The proof is taken again after each activation written in
// Python, not around other code the merge may run (a finalizer, another
// thread): the call answers for the weights as they stood when its merge
// began. The rows hold their weights' storage, not the weights: a replaced
// weight or branch module is freed at once, its old storage at the layer's
// next call.
#include <optional>
#include <vector>

#include "branch_steps.hpp"
#include "cascade.hpp"
#include "prepared.hpp"
#include "shortcuts.hpp"
#include "stack_guard.hpp"
#include "watch.hpp"

namespace vsk::prepared {

namespace {

using NativeRows = cascade::NativeRows<State>;

// GVS.pc.get_vsk_forward_function(), as the native forward calls it; when the
// getter is the package's own, unchanged, on the package's settings class,
// the attribute it returns is read instead (the call has no other effect).
// Its `self._vsk_forward_function` finds the instance dict's value only
// while the class has no attribute of that name (a property there would
// answer first), so then the getter is called.
Ref fetched_activation() {
    Ref settings = getattr(lookup_global(state.clean_globals, names.GVS).get(), names.pc);
    PyTypeObject* type = Py_TYPE(settings.get());
    PyObject** slot = compat::dict_ptr(settings.get());
    if (reinterpret_cast<PyObject*>(type) == state.settings_type &&
        type->tp_getattro == PyObject_GenericGetAttr &&
        compat::type_lookup(type, names.get_vsk_forward_function) == state.activation_getter &&
        compat::type_lookup(type, names._vsk_forward_function) == nullptr &&
        PyFunction_GET_CODE(state.activation_getter) == state.activation_getter_code &&
        slot != nullptr && *slot != nullptr && PyDict_CheckExact(*slot)) {
        Ref dict = Ref::borrow(*slot);
        PyObject* shadow = PyDict_GetItemWithError(dict.get(), names.get_vsk_forward_function);
        if (shadow == nullptr && !PyErr_Occurred()) {
            PyObject* act = PyDict_GetItemWithError(dict.get(), names._vsk_forward_function);
            if (act != nullptr) return Ref::borrow(act);
        }
        if (PyErr_Occurred()) raise();
    }
    return call_method(settings.get(), names.get_vsk_forward_function);
}

// The rows of a plan, handing over to the native reads for good once the
// plan no longer holds.
class PlanRows {
public:
    PlanRows(NativeRows& native, PyObject* self, Ref plan, Py_ssize_t count)
        : native_(native), self_(self), plan_(std::move(plan)), count_(count) {}

    bool merging() { return plan_ ? true : native_.merging(); }

    Py_ssize_t last_index() { return plan_ ? count_ - 1 : native_.last_index(); }

    Ref row(Py_ssize_t out_index, Py_ssize_t in_index, PyObject* current_out) {
        if (!plan_) return native_.row(out_index, in_index, current_out);
        const PlanEntry& entry =
            reinterpret_cast<PlanObject*>(plan_.get())->entries[static_cast<size_t>(out_index - 1)];
        // The target's device is read once: plain tensors keep it through
        // the target's own sums (an operand on another device would raise in
        // both forwards alike).
        if (in_index == 0) {
            // CPU rows for a CPU target: no device object needs making.
            moved_ = !(entry.on_cpu && truth(getattr(current_out, names.is_cpu).get()));
            if (moved_) {
                device_ = getattr(current_out, names.device);
                moved_ = compare(device_.get(), entry.device.get(), Py_NE);
            }
        }
        Ref row = entry.rows[static_cast<size_t>(in_index)];
        return moved_ ? call_method(row.get(), names.to, device_.get()) : row;
    }

    Ref activate(PyObject* value) {
        Ref act = plan_ ? fetched_activation() : cascade::activation(names, state.clean_globals);
        Ref out = call(act.get(), value);
        if (plan_) {
            // A value of a tensor subclass would see the rows in its own
            // __torch_function__; an activation written in Python may have
            // changed what the rows stand for.
            bool plain = Py_TYPE(out.get()) == reinterpret_cast<PyTypeObject*>(state.tensor_type);
            if (!plain ||
                (!PyCFunction_Check(act.get()) && !plan_holds(plan_.get(), self_, count_)))
                plan_ = nullptr;
        }
        return out;
    }

private:
    NativeRows& native_;
    PyObject* self_;  // borrowed: run() holds it
    Ref plan_;
    Py_ssize_t count_;
    Ref device_;
    bool moved_ = false;
};

// Sequential mode (the flag exactly False: any other value's truth the
// native forward tests once per branch) and no tracer of the old kind.
bool eager_mode() {
    Ref flag = lookup_global(state.clean_globals, names.doing_threading);
    if (flag.get() != Py_False || truth(call(state.jit_tracing).get())) return false;
    Ref fx_flag = Ref::borrow(PyDict_GetItemWithError(state.fx_globals, names._is_fx_tracing_flag));
    if (!fx_flag && PyErr_Occurred()) raise();
    return fx_flag.get() == Py_False || !truth(call(state.fx_tracing).get());
}

// The layer's tables, read once per call while nothing they depend on
// changes: after a point where Python code may have run (ran_code()), a kept
// value stands when the layer, and the branch sequence its items come from,
// are as the watches recorded them; otherwise every table is read afresh.
// Every value is the one the native read would answer at that moment.
class RecentReads {
public:
    RecentReads(PyObject* self) : self(self) {}

    const Names& names = prepared::names;
    PyObject* self;  // borrowed: run() holds it

    Ref processors() { return recent(processors_, names.processor_array); }
    Ref layers() {
        if (Ref kept = current(layers_)) return kept;
        Ref value = recent(layers_, names.layer_array);
        if (layers_ && (table_ = shortcut::sequential_modules(value.get())))
            sequence_.record(value.get(), nullptr, 0, nullptr);
        return value;
    }
    Ref layer(PyObject* index) {
        Ref layers = this->layers();
        if (table_ && PyLong_CheckExact(index)) {
            Py_ssize_t i = PyLong_AsSsize_t(index);
            if (i == -1 && PyErr_Occurred())
                PyErr_Clear();  // out of range: the ordinary path
            else if (Ref found = shortcut::sequential_item(table_.get(), i))
                return found;
        }
        return nn_getitem(layers.get(), index);  // the caller counts it as code run
    }
    Py_ssize_t layer_count() {
        Ref layers = this->layers();
        if (table_) return PyDict_GET_SIZE(table_.get());
        ran_code();  // len() runs the container's own __len__
        Py_ssize_t n = nn_length(layers.get());
        ran_code();
        return n;
    }
    void ran_code() { checked_ = false; }

private:
    // A kept value, once the watches show it still stands.
    Ref current(const Ref& kept) {
        if (!checked_) {
            checked_ = true;
            if (!layer_.unchanged(self) || (table_ && !sequence_.unchanged(layers_.get()))) {
                processors_ = layers_ = table_ = nullptr;
                layer_.clear();
                sequence_.clear();
            }
        }
        return kept;
    }

    Ref recent(Ref& kept, PyObject* name) {
        if (Ref value = current(kept)) return value;
        if (Ref value = shortcut::nn_attr(self, name)) {
            if (!layer_.unchanged(self)) {
                PyObject* hook = compat::type_lookup(Py_TYPE(self), names.__getattr__);
                if (!layer_.record(self, state.table_names, 3, hook)) {
                    processors_ = layers_ = table_ = nullptr;
                    return value;  // unwatchable: nothing is kept
                }
            }
            return kept = value;
        }
        ran_code();  // the ordinary read may run code, before and during
        current(kept);
        Ref value = getattr(self, name);
        ran_code();
        return value;
    }

    bool checked_ = true;
    Watch layer_;
    Watch sequence_;
    Ref processors_;
    Ref layers_;
    Ref table_;  // layers_'s sub-module table, while the shortcut holds for it
};

// Whether the layer's class and instance keep the native branch methods and
// PyTorch's attribute protocol, so the branch steps may run directly.
bool keeps_native_steps(PyObject* self) {
    if (!shortcut::enabled()) return false;
    PyTypeObject* type = Py_TYPE(self);
    if (compat::type_lookup(type, names.process_and_forward) != state.native_process_and_forward ||
        compat::type_lookup(type, names.process_and_pre) != state.native_process_and_pre)
        return false;
    PyObject** slot = compat::dict_ptr(self);
    if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) return false;
    Ref dict = Ref::borrow(*slot);  // a colliding key's __eq__ may replace it
    for (PyObject* name : {names.process_and_forward, names.process_and_pre}) {
        PyObject* shadow = PyDict_GetItemWithError(dict.get(), name);
        if (shadow != nullptr) return false;
        if (PyErr_Occurred()) raise();
    }
    return true;
}

// A fresh copy of a non-empty **kwargs dict, as a bound method's call makes
// one: a callee that keeps or changes it never reaches the caller's.
Ref own_kwargs(PyObject* kwargs) {
    return PyDict_GET_SIZE(kwargs) ? require(PyDict_Copy(kwargs)) : Ref::borrow(kwargs);
}

Ref eager_forward(PyObject* self, PyObject* args, PyObject* kwargs) {
    RecentReads reads(self);
    Py_ssize_t n = reads.layer_count();
    Ref dendrite_outs = require(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(dendrite_outs.get(), i, Py_NewRef(Py_None));
    PyObject* outs = dendrite_outs.get();  // never handed to Python code here

    Py_ssize_t m = reads.layer_count() - 1;
    for (Py_ssize_t c = 0; c < m; ++c) {
        Ref index = py_int(c);
        branch::dendrite(reads, index.get(), outs, Ref::borrow(args), own_kwargs(kwargs));
    }
    branch::main(reads, outs, args, own_kwargs(kwargs).get());

    Ref current_out;
    Py_ssize_t count = reads.layer_count();
    NativeRows native(state, self, state.clean_globals);
    PlanRows rows(native, self, current_plan(self, outs, count), count);
    cascade::merge(outs, count, rows, current_out);
    reads.ran_code();
    return branch::main_post(reads, std::move(current_out));
}

// VSKModulePyThread.forward(self, *args, **kwargs)
Ref native_forward(PyObject* self, PyObject* args, PyObject* kwargs) {
    std::vector<PyObject*> argv{self};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        argv.push_back(PyTuple_GET_ITEM(args, i));
    return require(PyObject_VectorcallDict(state.native_forward, argv.data(), argv.size(),
                                           PyDict_GET_SIZE(kwargs) ? kwargs : nullptr));
}

}  // namespace

// run(layer, args, kwargs)
PyObject* run(PyObject*, PyObject* const* argv, Py_ssize_t argc) {
    if (argc != 3 || !PyTuple_CheckExact(argv[1]) || !PyDict_CheckExact(argv[2])) {
        PyErr_SetString(PyExc_TypeError, "run(layer, args, kwargs): a tuple and a dict");
        return nullptr;
    }
    // Counted against the recursion limit as every native function is: a
    // branch may call its own layer again.
    if (!stack_has_room()) return nullptr;
    if (compat::enter_recursive_call(" while calling a veskari function")) return nullptr;
    Ref result;
    bool ok = guarded([&] {
        // Held for the whole call: a branch may drop the caller's references.
        Ref layer = Ref::borrow(argv[0]);
        Ref args = Ref::borrow(argv[1]);
        Ref kwargs = Ref::borrow(argv[2]);
        if (!state.ready) raise(PyExc_RuntimeError, "veskari._prepared is not initialised");
        result = eager_mode() && keeps_native_steps(layer.get())
                     ? eager_forward(layer.get(), args.get(), kwargs.get())
                     : native_forward(layer.get(), args.get(), kwargs.get());
    });
    compat::leave_recursive_call();
    return ok ? result.release() : nullptr;
}

}  // namespace vsk::prepared
