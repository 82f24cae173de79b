// Interned attribute names of veskari._prepared, made once at execution.
#pragma once

#include "errors.hpp"

namespace vsk::prepared {

struct Names {
    PyObject* modules;
    PyObject* buffers;
    PyObject* layer_array;
    PyObject* skip_weights;
    PyObject* processor_array;
    PyObject* view_tuple;
    PyObject* version;
    PyObject* data_ptr;
    PyObject* forward;
    PyObject* process_and_forward;
    PyObject* process_and_pre;
    PyObject* device;
    PyObject* to;
    PyObject* pc;
    PyObject* get_vsk_forward_function;
    PyObject* post;
};

inline Names names{};

// Interned strings live as long as the process; a failed execution leaves
// the names made so far for the next attempt.
inline void init_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.modules, "_modules"},
        {&names.buffers, "_buffers"},
        {&names.layer_array, "layer_array"},
        {&names.skip_weights, "skip_weights"},
        {&names.processor_array, "processor_array"},
        {&names.view_tuple, "view_tuple"},
        {&names.version, "_version"},
        {&names.data_ptr, "data_ptr"},
        {&names.forward, "forward"},
        {&names.process_and_forward, "process_and_forward"},
        {&names.process_and_pre, "process_and_pre"},
        {&names.device, "device"},
        {&names.to, "to"},
        {&names.pc, "pc"},
        {&names.get_vsk_forward_function, "get_vsk_forward_function"},
        {&names.post, "post"},
    };
    for (const Entry& e : entries)
        if (*e.slot == nullptr && (*e.slot = PyUnicode_InternFromString(e.text)) == nullptr)
            raise();
}

}  // namespace vsk::prepared
