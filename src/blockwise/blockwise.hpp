// Shared declarations of the block-wise converter: its process state
// (interned names, the built-ins fetched once at execution, constants) and
// the function definitions.
#pragma once

#include "function.hpp"
#include "lookup.hpp"

namespace vsk::blockwise {

// clang-format off: the list reads best packed, one name per X().
#define VSK_BLOCKWISE_NAMES(X)                                                               \
    X(GVS) X(VS) X(nn) X(torch) X(VSKLayer) X(VSKNeuronModule) X(unWrap_params)                \
    X(convert_to_vsk_layer_block) X(optimize_module) X(layer_array) X(processor_array)         \
    X(skip_weights) X(node_index) X(num_cycles) X(view_tuple) X(internal_nonlinearity)         \
    X(register_buffer) X(tensor) X(zeros) X(ParameterList) X(Sequential) X(ModuleList)         \
    X(Module) X(append) X(pc) X(get_vsk_forward_function) X(get_extra_verbose)                 \
    X(get_module_names_to_not_save) X(parameters) X(wrapped) X(__dir__) X(__init__)            \
    X(named_children) X(get_submodule) X(dendrite_module) X(layers) X(processors) X(pre_d)     \
    X(post_d) X(pre) X(post) X(main_module) X(processor) X(post_n1) X(post_n2)                 \
    X(dendrite_values) X(this_output_dimensions) X(this_node_index) X(dendrites_to_top)        \
    X(dendrites_to_dendrites)
// clang-format on

struct Names {
#define VSK_DECLARE(n) PyObject* n = nullptr;
    VSK_BLOCKWISE_NAMES(VSK_DECLARE)
#undef VSK_DECLARE
    PyObject* empty = nullptr;  // ""
    PyObject* one = nullptr;    // 1
    PyObject* minus_one = nullptr;
};

// Everything the module keeps for the process, made by init_state() (in
// startup.cpp) while the module executes; `ready` once all of it exists.
struct State {
    bool ready = false;
    Names names;
    // The built-ins `print` and `super`, fetched once at execution.
    PyObject* print = nullptr;
    PyObject* super = nullptr;
};

inline State state;
inline const Names& names = state.names;

// Makes the state once; called by the module body after its imports, with
// the built-ins it fetched before them.
void init_state(const FirstBuiltins& first);

extern const FunctionDef init_def;
extern const FunctionDef unwrap_params_def;
extern const FunctionDef convert_def;
extern const FunctionDef get_pretrained_vsk_attr_def;
extern const FunctionDef get_pretrained_vsk_var_def;
extern const FunctionDef optimize_module_def;
extern const FunctionDef blockwise_network_def;

inline Ref global(const Frame& f, PyObject* name) { return lookup_global(f.globals, name); }

}  // namespace vsk::blockwise
