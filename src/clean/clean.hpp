// Shared declarations of the clean converter: its process state (interned
// names, the built-ins fetched once at execution, constants and caches) and
// the function definitions bound at start-up.
#pragma once

#include <unordered_map>

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
    X(set_grad_enabled) X(__enter__) X(__exit__)
// clang-format on

struct Names {
#define VSK_DECLARE(n) PyObject* n = nullptr;
    VSK_CLEAN_NAMES(VSK_DECLARE)
#undef VSK_DECLARE
    PyObject* empty = nullptr;           // ""
    PyObject* full_slice = nullptr;      // slice(None, None, None)
    PyObject* slice_from_one = nullptr;  // slice(1, None, None)
    PyObject* minus_one = nullptr;
    PyObject* thread_kwnames = nullptr;  // ("target", "args", "kwargs")
};

// The autograd mode a threaded forward started in (see grad_mode.hpp).
struct GradMode {
    bool grad_enabled;
    bool inference;
};

inline constexpr Py_ssize_t kRowKeys = 64;

// Everything the module keeps for the process, made by init_state() (in
// startup.cpp) while the module executes; `ready` once all of it exists.
struct State {
    bool ready = false;
    Names names;
    // The built-ins `print` and `super`, fetched once at execution.
    PyObject* print = nullptr;
    PyObject* super = nullptr;
    // The torch module as imported at execution, for the autograd mode.
    PyObject* torch = nullptr;
    // (i, slice(None, None, None)) for the rows of the first branches.
    PyObject* row_keys[kRowKeys] = {};
    // The output lists of the threaded forwards in flight, with their
    // callers' autograd mode; never freed, as worker threads may still
    // look into it while the process ends.
    std::unordered_map<PyObject*, GradMode>* threaded_calls = nullptr;
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
