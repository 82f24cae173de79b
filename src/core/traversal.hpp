// The descent steps both network walks share: iterating a container's
// children or a module's members, and walking one of them with the walk
// function read from the module globals, setting the result back.
#pragma once

#include "paths.hpp"
#include "unpack.hpp"

namespace vsk::walk {

// setattr(net, key, recurse(target(), depth + 1, path, converted_list)), with
// the recursion read from the module globals (by `lookup`) first.
template <typename Lookup, typename Target>
void descend(PyObject* net, PyObject* key, PyObject* depth, PyObject* path, Ref& converted_list,
             Lookup&& lookup, Target&& target) {
    Ref recurse = lookup();
    Ref value = target();
    Ref next_depth = add(depth, core_state.one);
    Ref result = call(recurse.get(), value.get(), next_depth.get(), path, converted_list.get());
    setattr(net, key, result.get());
}

// The container step both walks share: record the child's path, then walk
// the child (fetched afresh, with its path built afresh) and set it back.
template <typename Lookup>
void descend_child(PyObject* net, PyObject* id, PyObject* depth, PyObject* name_so_far,
                   Ref& converted_list, PyObject* get_submodule, Lookup&& lookup) {
    record(converted_list, child_path(name_so_far, id).get());
    Ref recurse = lookup();
    Ref child = call_method(net, get_submodule, id);
    Ref next_depth = add(depth, core_state.one);
    Ref path = child_path(name_so_far, id);
    Ref result =
        call(recurse.get(), child.get(), next_depth.get(), path.get(), converted_list.get());
    setattr(net, id, result.get());
}

// for submodule_id, layer in net.named_children(): visit(submodule_id)
template <typename Visit>
void each_child(PyObject* net, PyObject* named_children, Visit&& visit) {
    Ref children = call_method(net, named_children);
    Ref it = require(PyObject_GetIter(children.get()));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref submodule_id, layer;
        unpack2(item.get(), submodule_id, layer);
        visit(submodule_id.get());
    }
    if (PyErr_Occurred()) raise();
}

// for member in all_members: visit(member)
template <typename Visit>
void each_member(PyObject* all_members, Visit&& visit) {
    Ref it = require(PyObject_GetIter(all_members));
    while (Ref member = Ref::steal(PyIter_Next(it.get()))) visit(member.get());
    if (PyErr_Occurred()) raise();
}

}  // namespace vsk::walk
