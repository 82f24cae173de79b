// The plan of an inference layer: its skip-weight rows viewed once, and the
// proof, taken again before every merge that uses them, that they are what
// the native forward would slice and view at that moment.
//
// The rows are cut from a detached alias of each weight, so they hold the
// weight's storage but not the weight itself (a swapped or replaced
// parameter is free to go, and torch.utils.swap_tensors still works), and the
// geometry they are checked against is the alias's own, read from the very
// tensor they were cut from: another thread assigning `weight.data` while
// the plan is made cannot make the record and the rows disagree. Before use,
// each weight the native forward would read is compared with its alias:
// same storage, offset, sizes and strides (`is_set_to`) and the same dtype,
// so the rows view exactly the memory the native rows would, and that
// storage still holds all of it (storage_extent.cpp). The view shape
// is compared by value (writes through .data, numpy or DLPack bump no
// version counter). Nothing about the layer's modules is recorded: the
// branches are read afresh on every call.
#include <new>

#include "cascade.hpp"
#include "prepared.hpp"
#include "shortcuts.hpp"

namespace vsk::prepared {

namespace {

PlanObject* as_plan(PyObject* o) { return reinterpret_cast<PlanObject*>(o); }

int plan_traverse(PyObject* self, visitproc visit, void* arg) {
    PlanObject* plan = as_plan(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(plan->shape.get());
    for (const PlanEntry& e : plan->entries) {
        Py_VISIT(e.alias.get());
        Py_VISIT(e.dtype.get());
        Py_VISIT(e.device.get());
        for (const Ref& row : e.rows) Py_VISIT(row.get());
        Py_VISIT(e.storage_nbytes.get());
    }
    return 0;
}

int plan_clear(PyObject* self) {
    PlanObject* plan = as_plan(self);
    // Moved out first: releasing a tensor may run code that looks at the plan.
    std::vector<PlanEntry> entries = std::move(plan->entries);
    Ref shape = std::move(plan->shape);
    return 0;
}

void plan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    plan_clear(self);
    PlanObject* plan = as_plan(self);
    plan->shape.~Ref();
    plan->entries.~vector();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot plan_slots[] = {
    {Py_tp_doc, const_cast<char*>("Rows of a converted layer viewed once (private).")},
    {Py_tp_traverse, reinterpret_cast<void*>(plan_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(plan_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plan_dealloc)},
    {0, nullptr},
};

PyType_Spec plan_spec = {
    .name = "veskari._prepared.Plan",
    .basicsize = sizeof(PlanObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = plan_slots,
};

// A tensor of exactly torch.Tensor or nn.Parameter: reading it runs no
// __torch_function__ of a subclass.
bool plain_tensor(PyObject* o) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
    return type == state.tensor_type || type == state.parameter_type;
}

bool truth_of(Ref value) { return truth(value.get()); }

// No torch function mode and no dispatch mode is active: the rows' tensor
// methods, and the merge's operations, reach PyTorch and nothing else; and
// no tensor can carry a tangent the rows would drop.
bool modes_plain() {
    if (state.function_mode_enabled == nullptr || state.dispatch_stack_len == nullptr) return false;
    if (tangents_possible()) return false;
    if (truth_of(call(state.function_mode_enabled))) return false;
    Ref depth = call(state.dispatch_stack_len);
    if (!PyLong_CheckExact(depth.get())) return false;
    Py_ssize_t modes = PyLong_AsSsize_t(depth.get());
    if (modes == -1 && PyErr_Occurred()) raise();
    return modes == 0;
}

bool grad_enabled() { return truth_of(call(state.is_grad_enabled)); }

// The skip-weight list as the native forward reads it, when it is a
// ParameterList the tables answer for, with an entry for every target.
Ref weight_list(PyObject* self, Py_ssize_t count) {
    Ref weights = shortcut::nn_attr(self, names.skip_weights);
    return weights && shortcut::parameter_list_size(weights.get()) >= count - 1 ? weights : nullptr;
}

// The skip-weight entry the native forward reads for target k + 1, when the
// tables hold it as it expects; null otherwise.
Ref weight_entry(PyObject* weights, Py_ssize_t k) {
    Ref entry = shortcut::parameter_list_item(weights, k);
    return entry && plain_tensor(entry.get()) ? entry : nullptr;
}

Ref shape_of(PyObject* view) {
    if (!plain_tensor(view)) return nullptr;
    Ref shape = call_method(view, names.tolist);
    return PyList_CheckExact(shape.get()) ? shape : nullptr;
}

// obj.__dict__[table][name], held; null when any of it is missing.
Ref table_item(PyObject* obj, PyObject* table, PyObject* name) {
    PyObject** slot = compat::dict_ptr(obj);
    if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) return nullptr;
    Ref dict = Ref::borrow(*slot);
    Ref tab = Ref::borrow(PyDict_GetItemWithError(dict.get(), table));
    if (!tab && PyErr_Occurred()) raise();
    if (!tab || !PyDict_CheckExact(tab.get())) return nullptr;
    Ref item = Ref::borrow(PyDict_GetItemWithError(tab.get(), name));
    if (!item && PyErr_Occurred()) raise();
    return item;
}

// The skip-weight list and the view-shape buffer, as the native forward
// would read them now; `in_table` when its entries are where the reads last
// found them, in the list's parameter table.
struct Sources {
    Ref weights;
    Ref view;
    bool in_table = false;
};

// weights[k], the way `read` says it can be found.
Ref entry_at(const Sources& read, Py_ssize_t k) {
    if (!read.in_table) return weight_entry(read.weights.get(), k);
    PyObject* key = shortcut::index_text(k);
    Ref entry = key ? table_item(read.weights.get(), names._parameters, key) : nullptr;
    return entry && plain_tensor(entry.get()) ? entry : nullptr;
}

// Whether every entry the merge reads is in the list's parameter table, as
// the reads answer it (nothing in the instance dict shadows it).
bool entries_in_table(PyObject* weights, Py_ssize_t count) {
    for (Py_ssize_t k = 0; k + 1 < count; ++k) {
        Ref read = weight_entry(weights, k);
        PyObject* key = shortcut::index_text(k);
        if (!read || !key || read.get() != table_item(weights, names._parameters, key).get())
            return false;
    }
    return true;
}

// Through the plan's watches while nothing they cover changed; otherwise
// through the reads, watching anew where they resolve in the usual tables
// (the list among the sub-modules, the view shape among the buffers).
bool read_sources(PlanObject* plan, PyObject* self, Sources& out) {
    if (plan->watched && plan->layer_watch.unchanged(self)) {
        out.weights = table_item(self, names._modules, names.skip_weights);
        out.view = table_item(self, names._buffers, names.view_tuple);
        out.in_table = true;
        if (out.weights && out.view && plan->list_watch.unchanged(out.weights.get())) return true;
    }
    out.in_table = false;
    out.weights = weight_list(self, plan->branches);
    out.view = shortcut::nn_attr(self, names.view_tuple);
    if (!out.weights || !out.view) return false;
    PyObject* hook = compat::type_lookup(Py_TYPE(self), names.__getattr__);
    plan->watched =
        table_item(self, names._modules, names.skip_weights).get() == out.weights.get() &&
        table_item(self, names._buffers, names.view_tuple).get() == out.view.get() &&
        plan->layer_watch.record(self, state.table_names, 3, hook) &&
        entries_in_table(out.weights.get(), plan->branches) &&
        plan->list_watch.record(out.weights.get(), state.table_names, 1, nullptr);
    return true;
}

// Runs `body`; an Exception from PyTorch (a tensor without storage, a shape
// the view refuses) means "no plan": the native forward meets it again and
// raises it where it is laid down to. Interrupts and exits propagate.
template <typename Body>
bool attempt(Body&& body) {
    try {
        return body();
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return false;
    }
}

bool make_rows(PlanObject* plan, PyObject* self) {
    Sources read;
    if (!read_sources(plan, self, read)) return false;
    std::vector<Ref> entries;
    bool grad = grad_enabled();
    // Trainable weights under autograd are the common refusal: taken first.
    for (Py_ssize_t k = 0; k + 1 < plan->branches; ++k) {
        Ref entry = entry_at(read, k);
        if (!entry || (grad && truth_of(getattr(entry.get(), names.requires_grad)))) return false;
        entries.push_back(std::move(entry));
    }
    Ref shape = shape_of(read.view.get());
    if (!shape) return false;
    plan->shape = shape;
    for (size_t k = 0; k < entries.size(); ++k) {
        PlanEntry made;
        made.alias = call_method(entries[k].get(), names.detach);
        // A conjugate or negative view has the geometry of the plain one.
        if (truth_of(call_method(made.alias.get(), names.is_complex)) ||
            truth_of(call_method(made.alias.get(), names.is_neg)) || !record_extent(made))
            return false;
        made.dtype = getattr(made.alias.get(), names.dtype);
        made.device = getattr(made.alias.get(), names.device);
        made.on_cpu = truth_of(getattr(made.alias.get(), names.is_cpu));
        for (size_t i = 0; i <= k; ++i) {
            Ref key = cascade::row_key(state, static_cast<Py_ssize_t>(i));
            Ref row = getitem(made.alias.get(), key.get());
            made.rows.push_back(call_method(row.get(), names.view, shape.get()));
        }
        plan->entries.push_back(std::move(made));
    }
    return true;
}

bool holds(PlanObject* plan, PyObject* self, Py_ssize_t count) {
    Sources read;
    if (plan->branches != count || !read_sources(plan, self, read)) return false;
    bool grad = grad_enabled();
    for (Py_ssize_t k = 0; k + 1 < count; ++k) {
        const PlanEntry& made = plan->entries[static_cast<size_t>(k)];
        Ref entry = entry_at(read, k);
        if (!entry || (grad && truth_of(getattr(entry.get(), names.requires_grad))) ||
            !truth_of(call_method(entry.get(), names.is_set_to, made.alias.get())) ||
            !extent_holds(made) || getattr(entry.get(), names.dtype).get() != made.dtype.get())
            return false;
    }
    Ref shape = shape_of(read.view.get());
    return shape && check(PyObject_RichCompareBool(shape.get(), plan->shape.get(), Py_EQ));
}

// self.__dict__, when it is a plain dict; held.
Ref instance_dict(PyObject* self) {
    PyObject** slot = compat::dict_ptr(self);
    if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) return nullptr;
    return Ref::borrow(*slot);
}

// Keeps the plan on the layer (where the Python side drops it on a change it
// sees first), or drops the one it has.
void keep(PyObject* self, PyObject* plan) {
    Ref dict = instance_dict(self);
    if (!dict) return;
    if (plan != nullptr) {
        check(PyDict_SetItem(dict.get(), names._vsk_plan, plan));
    } else if (PyDict_DelItem(dict.get(), names._vsk_plan) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
    }
}

Ref stored_plan(PyObject* self) {
    Ref dict = instance_dict(self);
    if (!dict) return nullptr;
    Ref plan = Ref::borrow(PyDict_GetItemWithError(dict.get(), names._vsk_plan));
    if (!plan && PyErr_Occurred()) raise();
    return plan && Py_TYPE(plan.get()) == reinterpret_cast<PyTypeObject*>(state.plan_type)
               ? plan
               : nullptr;
}

Ref new_plan(Py_ssize_t branches) {
    auto* type = reinterpret_cast<PyTypeObject*>(state.plan_type);
    Ref made = require(type->tp_alloc(type, 0));
    // The C++ members are constructed in place; the header is the allocator's.
    PlanObject* plan = as_plan(made.get());
    new (&plan->shape) Ref();
    new (&plan->entries) std::vector<PlanEntry>();
    new (&plan->layer_watch) Watch();
    new (&plan->list_watch) Watch();
    plan->watched = false;
    plan->branches = branches;
    return made;
}

}  // namespace

PyObject* release(PyObject*, PyObject* layer) {
    bool ok = guarded([&] {
        Ref held = Ref::borrow(layer);  // a dict entry's __del__ may drop the caller's
        keep(held.get(), nullptr);
    });
    return ok ? Py_NewRef(Py_None) : nullptr;
}

Ref make_plan_type(PyObject* module) {
    return require(PyType_FromModuleAndSpec(module, &plan_spec, nullptr));
}

bool plan_holds(PyObject* plan, PyObject* self, Py_ssize_t count) {
    return attempt([&] { return modes_plain() && holds(as_plan(plan), self, count); });
}

Ref current_plan(PyObject* self, PyObject* outs, Py_ssize_t count) {
    // Branch outputs of a tensor subclass would see the rows in their own
    // __torch_function__; a single branch has nothing to merge.
    if (count < 2 || PyList_GET_SIZE(outs) != count) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (Py_TYPE(PyList_GET_ITEM(outs, i)) != reinterpret_cast<PyTypeObject*>(state.tensor_type))
            return nullptr;
    Ref plan = stored_plan(self);
    if (plan && plan_holds(plan.get(), self, count)) return plan;
    Ref made = new_plan(count);
    bool ok = attempt([&] { return modes_plain() && make_rows(as_plan(made.get()), self); });
    keep(self, ok ? made.get() : nullptr);
    return ok ? made : nullptr;
}

}  // namespace vsk::prepared
