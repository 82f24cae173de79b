// Shared declarations of veskari._prepared, the eager forward of the
// inference layer: its process state (interned names, the native methods it
// stands in for, PyTorch's mode probes) and the plan of rows viewed once.
#pragma once

#include <vector>

#include "lookup.hpp"
#include "watch.hpp"

namespace vsk::prepared {

// clang-format off: the list reads best packed, one name per X().
#define VSK_PREPARED_NAMES(X)                                                                  \
    X(GVS) X(pc) X(get_vsk_forward_function) X(layer_array) X(processor_array) X(skip_weights) \
    X(view_tuple) X(view) X(tolist) X(to) X(device) X(pre) X(post) X(forward)                  \
    X(process_and_forward) X(process_and_pre) X(detach) X(dtype) X(is_set_to) X(requires_grad) \
    X(is_complex) X(is_neg) X(_vsk_plan) X(doing_threading) X(_is_fx_tracing_flag)   \
    X(_vsk_forward_function) X(_parameters) X(_buffers) X(_modules) X(__getattr__) X(is_cpu)  \
    X(untyped_storage) X(nbytes) X(storage_offset) X(size) X(stride) X(element_size)           \
    X(_current_level)
// clang-format on

struct Names {
#define VSK_DECLARE(n) PyObject* n = nullptr;
    VSK_PREPARED_NAMES(VSK_DECLARE)
#undef VSK_DECLARE
    PyObject* full_slice = nullptr;  // slice(None, None, None)
    PyObject* minus_one = nullptr;
};

// Everything the module keeps for the process, made once while it executes.
struct State {
    static constexpr Py_ssize_t kRowKeys = 64;
    bool ready = false;
    Names names;
    PyObject* row_keys[kRowKeys] = {};  // (i, slice(None, None, None))
    PyObject* table_names[3] = {};      // a module's tables, in the order reads search them
    // The clean converter's namespace: the merge looks GVS up there at each
    // use, as the native forward does from its own.
    PyObject* clean_globals = nullptr;
    // VSKModulePyThread's own methods, as the class defined them.
    PyObject* native_forward = nullptr;
    PyObject* native_process_and_forward = nullptr;
    PyObject* native_process_and_pre = nullptr;
    PyObject* tensor_type = nullptr;     // torch.Tensor
    PyObject* parameter_type = nullptr;  // torch.nn.Parameter
    PyObject* is_grad_enabled = nullptr;
    // What tells the older tracers are at work (they would record the rows
    // as constants): torch._C._is_tracing, and fx's module namespace, whose
    // _is_fx_tracing_flag is read before is_fx_symbolic_tracing is called.
    PyObject* jit_tracing = nullptr;
    PyObject* fx_globals = nullptr;
    PyObject* fx_tracing = nullptr;
    // Null when this PyTorch lacks them: then no plan is ever used.
    PyObject* function_mode_enabled = nullptr;  // torch._C._is_torch_function_mode_enabled
    PyObject* dispatch_stack_len = nullptr;     // torch._C._len_torch_dispatch_stack
    PyObject* transforms_active = nullptr;      // torch._C._are_functorch_transforms_active
    // torch.autograd.forward_ad's namespace: its _current_level, read at each use.
    PyObject* forward_ad_globals = nullptr;
    PyObject* plan_type = nullptr;
    // The package's settings class and its activation getter (and the
    // getter's code): a call of that very getter on such an object only
    // returns an attribute of its instance dict.
    PyObject* settings_type = nullptr;
    PyObject* activation_getter = nullptr;
    PyObject* activation_getter_code = nullptr;
};

inline State state;
inline const Names& names = state.names;

// Makes the state once; called while the module executes.
void init_state(PyObject* module);

// The skip-weight rows of one converted layer, viewed once from detached
// aliases of its weights, with what they were cut from. Opaque to Python.
struct PlanEntry {
    Ref alias;   // weights[k].detach(): the storage and geometry the rows view
    Ref dtype;   // the alias's dtype (a view as another dtype keeps the geometry)
    Ref device;  // the rows' device
    bool on_cpu = false;
    std::vector<Ref> rows;  // alias[i, :].view(shape) for i in 0..k
    // alias.untyped_storage().nbytes, bound: the storage's size now (FSDP
    // and resize_ shrink or free a storage in place), and the bytes of it
    // the alias's elements reach (every row views a subset of them).
    Ref storage_nbytes;
    long long extent = 0;
};

// Records in `made` (its alias set) the bytes its elements reach and the
// storage's size probe; whether the storage holds those bytes now.
bool record_extent(PlanEntry& made);

// Whether the storage still holds every byte the alias's elements reach.
bool extent_holds(const PlanEntry& made);

// Whether a tensor may carry a tangent the rows would drop: a forward-mode
// AD level is open, or a torch.func transform runs (or this PyTorch cannot
// tell).
bool tangents_possible();

struct PlanObject {
    PyObject_HEAD
    Py_ssize_t branches;             // len(layer_array) the rows were made for
    Ref shape;                       // view_tuple.tolist() the rows were viewed with
    std::vector<PlanEntry> entries;  // one per target 1..branches-1
    // The layer and its skip-weight list as last read: while neither
    // changed, the list and the view buffer are where those reads found them.
    bool watched;
    Watch layer_watch;
    Watch list_watch;
};

// release(layer): drops the layer's plan, if it has one; its rows are made
// again at the next call. The one way Python invalidates a plan.
PyObject* release(PyObject*, PyObject* layer);

// A type of the module, made at execution (a heap type with GC support).
Ref make_plan_type(PyObject* module);

// The plan for `self` as it stands, or null when the rows cannot stand in
// for the native ones (then the merge reads them afresh). Never unwinds on
// an Exception of PyTorch's; lets interrupts through.
Ref current_plan(PyObject* self, PyObject* outs, Py_ssize_t count);

// Whether `plan` still describes what the native forward would read from
// `self` now; same error rule as current_plan.
bool plan_holds(PyObject* plan, PyObject* self, Py_ssize_t count);

}  // namespace vsk::prepared
