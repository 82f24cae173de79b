// optimize_module: the depth-first walk that replaces every module whose
// exact type is VS.VSKNeuronModule by its block. Containers are walked
// through named_children(), other modules through __dir__(); values are read
// afresh at each step and replacements are set back on the parent.
#include "blockwise.hpp"
#include "unpack.hpp"
#include "probe.hpp"
#include "traversal.hpp"

namespace vsk::blockwise {

namespace {

Ref settings(const Frame& f) { return getattr(global(f, names.GVS).get(), names.pc); }

bool verbose(const Frame& f) {
    Ref result = call_method(settings(f).get(), names.get_extra_verbose);
    return truth(result.get());
}

void print_line(PyObject* line) { call(state.print, line); }

// Exactly VS.VSKNeuronModule: subclass instances are walked, not converted.
bool is_neuron_type(const Frame& f, PyObject* type) {
    Ref held = Ref::borrow(type);  // the reads below may reassign the instance's class
    Ref cls = getattr(global(f, names.VS).get(), names.VSKNeuronModule);
    return type == cls.get();
}

bool is_container(const Frame& f, PyObject* net) {
    // Held: the reads below run user code, which may reassign net.__class__.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(net)));
    if (is_subclass(type.get(), getattr(global(f, names.nn).get(), names.Sequential).get()))
        return true;
    return is_subclass(type.get(), getattr(global(f, names.nn).get(), names.ModuleList).get());
}

Ref convert(const Frame& f, PyObject* neuron) {
    return call(global(f, names.convert_to_vsk_layer_block).get(), neuron);
}

void container_walk(const Frame& f, PyObject* net, PyObject* depth, PyObject* name_so_far,
                    Ref& converted_list) {
    walk::each_child(net, names.named_children, [&](PyObject* id) {
        Ref child = call_method(net, names.get_submodule, id);
        if (is_neuron_type(f, reinterpret_cast<PyObject*>(Py_TYPE(child.get())))) {
            if (verbose(f)) {
                Ref head = walk::format("Seq sub is VSK so optimizing: %s", name_so_far);
                print_line(walk::child_path(head.get(), id).get());
            }
            Ref block = convert(f, call_method(net, names.get_submodule, id).get());
            setattr(net, id, block.get());
            return;
        }
        if (compare(net, call_method(net, names.get_submodule, id).get(), Py_NE)) {
            walk::descend_child(net, id, depth, name_so_far, converted_list, names.get_submodule,
                                [&] { return global(f, names.optimize_module); });
            return;
        }
        if (verbose(f)) {
            Ref path = walk::child_path(name_so_far, id);
            print_line(walk::format("%s is a self pointer so skipping", path.get()).get());
        }
    });
}

void member_walk(const Frame& f, PyObject* net, PyObject* depth, PyObject* name_so_far,
                 PyObject* all_members, Ref& converted_list) {
    walk::each_member(all_members, [&](PyObject* member) {
        if (!walk::probe(net, member)) return;
        Ref sub_name = walk::member_path(name_so_far, member);

        Ref not_saved = call_method(settings(f).get(), names.get_module_names_to_not_save);
        if (contains(not_saved.get(), sub_name.get()) ||
            walk::in_list(converted_list.get(), sub_name.get())) {
            if (verbose(f))
                print_line(walk::format("Skipping %s during save", sub_name.get()).get());
            return;
        }

        if (is_neuron_type(f, walk::member_type(net, member).get())) {
            if (verbose(f)) {
                Ref head = walk::format(
                    "Sub is in conversion list so initiating optimization for: %s", name_so_far);
                print_line(walk::member_path(head.get(), member).get());
            }
            Ref block = convert(f, nn_getattr(net, member).get());
            setattr(net, member, block.get());
            return;
        }

        Ref type = walk::member_type(net, member);
        Ref nn_module = getattr(global(f, names.nn).get(), names.Module);
        if (!is_subclass(type.get(), nn_module.get())) return;
        if (compare(net, nn_getattr(net, member).get(), Py_NE)) {
            walk::record(converted_list, sub_name.get());
            walk::descend(
                net, member, depth, sub_name.get(), converted_list,
                [&] { return global(f, names.optimize_module); },
                [&] { return nn_getattr(net, member); });
        } else if (verbose(f)) {
            print_line(walk::format("%s is a self pointer so skipping", sub_name.get()).get());
        }
    });
}

Ref optimize_module_body(Frame& f) {
    PyObject* net = f.arg[0];
    PyObject* depth = f.arg[1];
    PyObject* name_so_far = f.arg[2];
    Ref converted_list = Ref::borrow(f.arg[3]);

    Ref all_members = call_method(net, names.__dir__);
    if (is_container(f, net))
        container_walk(f, net, depth, name_so_far, converted_list);
    else
        member_walk(f, net, depth, name_so_far, all_members.get(), converted_list);
    return Ref::borrow(net);
}

Ref blockwise_network_body(Frame& f) {
    Ref walk = global(f, names.optimize_module);
    Ref depth = py_int(0);
    Ref converted_list = require(PyList_New(0));
    return call(walk.get(), f.arg[0], depth.get(), names.empty, converted_list.get());
}

}  // namespace

const FunctionDef optimize_module_def = {
    .name = "optimize_module",
    .qualname = "optimize_module",
    .params = params({"net", "depth", "name_so_far", "converted_list"}),
    .body = optimize_module_body,
};

const FunctionDef blockwise_network_def = {
    .name = "blockwise_network",
    .qualname = "blockwise_network",
    .params = params({"net"}),
    .body = blockwise_network_body,
};

}  // namespace vsk::blockwise
