// Shared declarations of the clean converter: its process state (interned
// names, the built-ins fetched once at execution, constants and caches) and
// the function definitions bound at start-up.
#pragma once

#include <unordered_map>
#include <vector>

#include "function.hpp"
#include "lookup.hpp"

namespace vsk::clean {

// Attribute and global names used on the hot paths, interned at execution.
// clang-format off: the list reads best packed, one name per X().
#define VSK_CLEAN_NAMES(X)                                                                     \
    X(GVS) X(Thread) X(doing_threading) X(ModuleType) X(VSKModulePyThread) X(nn) X(refresh_vsk) \
    X(make_module) X(get_pretrained_vsk_attr) X(get_pretrained_vsk_var) X(layer_array)          \
    X(processor_array) X(skip_weights) X(node_index) X(num_cycles) X(view_tuple)                \
    X(register_buffer) X(clone) X(detach) X(pre) X(post) X(forward) X(process_and_forward)      \
    X(process_and_pre) X(target) X(args) X(kwargs) X(start) X(join) X(pc)                       \
    X(get_vsk_forward_function) X(get_extra_verbose) X(get_modules_to_track)                    \
    X(get_module_names_to_not_save) X(device) X(dtype) X(to) X(view) X(tolist) X(Sequential)    \
    X(ModuleList) X(Module) X(named_children) X(get_submodule) X(__dir__) X(__init__)           \
    X(VSKLayer) X(__name__) X(is_inference_mode_enabled) X(is_grad_enabled) X(inference_mode)   \
    X(set_grad_enabled) X(__enter__) X(__exit__) X(is_autocast_enabled) X(get_autocast_dtype)   \
    X(is_autocast_cache_enabled) X(autocast) X(enabled) X(cache_enabled) X(add_note)
// clang-format on

struct Names {
#define VSK_DECLARE(n) PyObject* n = nullptr;
    VSK_CLEAN_NAMES(VSK_DECLARE)
#undef VSK_DECLARE
    PyObject* empty = nullptr;           // ""
    PyObject* full_slice = nullptr;      // slice(None, None, None)
    PyObject* slice_from_one = nullptr;  // slice(1, None, None)
    PyObject* minus_one = nullptr;
    PyObject* thread_kwnames = nullptr;    // ("target", "args", "kwargs")
    PyObject* autocast_kwnames = nullptr;  // ("dtype", "enabled", "cache_enabled")
};

// The thread-local modes of PyTorch a threaded forward's caller runs in, for
// its worker threads (see caller_modes.hpp).
struct AutocastMode {
    bool enabled = false;
    Ref dtype;
};
struct CallerModes {
    bool grad_enabled = true;
    bool inference = false;
    bool autocast_cache = true;
    std::vector<AutocastMode> autocast;  // one per entry of State::autocast_devices
};

// A branch whose worker thread raised: its index (None for the main branch)
// and the exception.
struct BranchFailure {
    Ref branch;
    Ref exception;
};

// One threaded forward in flight, found by its per-call output list.
struct CallRecord {
    CallerModes modes;
    std::vector<BranchFailure> failures;  // capacity fixed at registration
};

inline constexpr Py_ssize_t kRowKeys = 64;

// Everything the module keeps for the process, made by init_state() (in
// startup.cpp) while the module executes; `ready` once all of it exists.
struct State {
    static constexpr Py_ssize_t kRowKeys = clean::kRowKeys;
    bool ready = false;
    Names names;
    // The built-ins `print` and `super`, fetched once at execution.
    PyObject* print = nullptr;
    PyObject* super = nullptr;
    // The torch module as imported at execution, for the caller's modes.
    PyObject* torch = nullptr;
    // The device types PyTorch keeps an autocast state for (a tuple of str).
    PyObject* autocast_devices = nullptr;
    // (i, slice(None, None, None)) for the rows of the first branches.
    PyObject* row_keys[kRowKeys] = {};
    // The threaded forwards in flight, by their output lists; never freed,
    // as worker threads may still look into it while the process ends.
    std::unordered_map<PyObject*, CallRecord>* threaded_calls = nullptr;
};

inline State state;
inline const Names& names = state.names;

// Makes the state once; called by the module body after its imports, with
// the built-ins it fetched before them.
void init_state(const FirstBuiltins& first);

// Function definitions, in the order the module binds them.
extern const FunctionDef init_def;
extern const FunctionDef process_and_forward_def;
extern const FunctionDef process_and_pre_def;
extern const FunctionDef forward_def;
extern const FunctionDef get_pretrained_vsk_attr_def;
extern const FunctionDef get_pretrained_vsk_var_def;
extern const FunctionDef make_module_def;
extern const FunctionDef refresh_vsk_def;
extern const FunctionDef refresh_net_def;

inline Ref global(const Frame& f, PyObject* name) { return lookup_global(f.globals, name); }

}  // namespace vsk::clean
