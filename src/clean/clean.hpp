// Shared declarations of the clean converter: interned names, the built-ins
// fetched once at execution, and the function definitions bound at start-up.
#pragma once

#include "function.hpp"
#include "lookup.hpp"

namespace vsk::clean {

// Attribute and global names used on the hot paths, interned at execution.
#define VSK_CLEAN_NAMES(X)                                                                  \
    X(GVS) X(Thread) X(doing_threading) X(ModuleType) X(VSKModulePyThread) X(nn)             \
    X(refresh_vsk) X(make_module) X(get_pretrained_vsk_attr) X(get_pretrained_vsk_var)        \
    X(layer_array) X(processor_array) X(skip_weights) X(node_index) X(num_cycles)             \
    X(view_tuple) X(register_buffer) X(clone) X(detach) X(pre) X(post) X(forward)             \
    X(process_and_forward) X(process_and_pre) X(target) X(args) X(kwargs) X(start) X(join)    \
    X(pc) X(get_vsk_forward_function) X(get_extra_verbose) X(get_modules_to_track)            \
    X(get_module_names_to_not_save) X(device) X(dtype) X(to) X(view) X(tolist) X(Sequential)  \
    X(ModuleList) X(Module) X(named_children) X(get_submodule) X(__dir__) X(__init__)         \
    X(VSKLayer) X(__name__)

struct Names {
#define VSK_DECLARE(n) PyObject* n;
    VSK_CLEAN_NAMES(VSK_DECLARE)
#undef VSK_DECLARE
    PyObject* empty;        // ""
    PyObject* full_slice;   // slice(None, None, None)
    PyObject* slice_from_one; // slice(1, None, None)
    PyObject* minus_one;
    PyObject* thread_kwnames; // ("target", "args", "kwargs")
};

// Filled once at execution; the strings stay interned for the process.
inline Names names{};

// The built-ins `print` and `super`, fetched once at execution.
inline PyObject* builtin_print = nullptr;
inline PyObject* builtin_super = nullptr;

void init_names();

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
