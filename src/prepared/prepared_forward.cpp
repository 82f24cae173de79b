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
// The caller (InferenceLayer.forward) has already taken the native forward
// for threads and tracers.
#include <vector>

#include "branch_steps.hpp"
#include "cascade.hpp"
#include "prepared.hpp"
#include "shortcuts.hpp"

namespace vsk::prepared {

namespace {

using NativeRows = cascade::NativeRows<State>;

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
            device_ = getattr(current_out, names.device);
            moved_ = compare(device_.get(), entry.device.get(), Py_NE);
        }
        Ref row = entry.rows[static_cast<size_t>(in_index)];
        return moved_ ? call_method(row.get(), names.to, device_.get()) : row;
    }

    Ref activate(PyObject* value) {
        Ref act = cascade::activation(names, state.clean_globals);
        Ref out = call(act.get(), value);
        if (plan_) {
            // A value of a tensor subclass would see the rows in its own
            // __torch_function__; an activation written in Python may have
            // changed what the rows stand for.
            bool plain = Py_TYPE(out.get()) == reinterpret_cast<PyTypeObject*>(state.tensor_type);
            if (!plain || (!PyCFunction_Check(act.get()) &&
                           !plan_holds(plan_.get(), self_, count_)))
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

// Whether the layer's class and instance keep the native branch methods and
// PyTorch's attribute protocol, so the branch steps may run directly.
bool keeps_native_steps(PyObject* self) {
    if (!state.ready || !shortcut::enabled()) return false;
    PyTypeObject* type = Py_TYPE(self);
    if (compat::type_lookup(type, names.process_and_forward) !=
            state.native_process_and_forward ||
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
    Py_ssize_t n = length(nn_getattr(self, names.layer_array).get());
    Ref dendrite_outs = require(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(dendrite_outs.get(), i, Py_NewRef(Py_None));
    PyObject* outs = dendrite_outs.get();

    Py_ssize_t m = length(nn_getattr(self, names.layer_array).get()) - 1;
    for (Py_ssize_t c = 0; c < m; ++c) {
        Ref index = py_int(c);
        branch::dendrite(names, self, index.get(), outs, Ref::borrow(args), own_kwargs(kwargs));
    }
    branch::main(names, self, outs, args, own_kwargs(kwargs).get());

    Ref current_out;
    Py_ssize_t count = length(nn_getattr(self, names.layer_array).get());
    NativeRows native(state, self, state.clean_globals);
    PlanRows rows(native, self, current_plan(self, outs, count), count);
    cascade::merge(outs, count, rows, current_out);
    return branch::main_post(names, self, std::move(current_out));
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
    Ref result;
    bool ok = guarded([&] {
        // Held for the whole call: a branch may drop the caller's references.
        Ref layer = Ref::borrow(argv[0]);
        Ref args = Ref::borrow(argv[1]);
        Ref kwargs = Ref::borrow(argv[2]);
        if (!state.ready) raise(PyExc_RuntimeError, "veskari._prepared is not initialised");
        result = keeps_native_steps(layer.get())
                     ? eager_forward(layer.get(), args.get(), kwargs.get())
                     : native_forward(layer.get(), args.get(), kwargs.get());
    });
    return ok ? result.release() : nullptr;
}

}  // namespace vsk::prepared
