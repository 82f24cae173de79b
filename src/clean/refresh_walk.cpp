// refresh_vsk: the depth-first walk that replaces every module whose class is
// named "VSKLayer" by make_module(block). Containers are walked through
// named_children(), other modules through __dir__(); each value is read
// afresh at every step and every replacement is written back with setattr.
#include "clean.hpp"
#include "unpack.hpp"
#include "probe.hpp"
#include "traversal.hpp"

namespace vsk::clean {

namespace {

const char* const kDuplicate =
    "this is only being called because something in your model is pointed to twice by two "
    "different variables.  Highest thing on the list is one of the duplicates";

Ref settings(const Frame& f) { return getattr(global(f, names.GVS).get(), names.pc); }

bool verbose(const Frame& f) {
    Ref result = call_method(settings(f).get(), names.get_extra_verbose);
    return truth(result.get());
}

void print_line(PyObject* line) { call(state.print, line); }

void print_text(const char* text) {
    Ref line = require(PyUnicode_FromString(text));
    print_line(line.get());
}

// `depth` as %d formats it: its integer value in decimal.
Ref depth_text(PyObject* depth) {
    if (!PyNumber_Check(depth)) raise(PyExc_TypeError, "an integer is required");
    Ref value = require(PyNumber_Long(depth));
    return str(value.get());
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref out = require(PyUnicode_FromString(""));
    for (PyObject* p : parts) out = add(out.get(), p);
    return out;
}

void entry_messages(PyObject* net, PyObject* depth, PyObject* name_so_far) {
    Ref prefix = require(PyUnicode_FromString("CL calling convert on "));
    Ref net_text = str(net);
    Ref d = depth_text(depth);
    Ref depth_label = require(PyUnicode_FromString(" depth "));
    print_line(concat({prefix.get(), net_text.get(), depth_label.get(), d.get()}).get());

    Ref name_text = str(name_so_far);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(net)));
    Ref type_name = getattr(type.get(), names.__name__);
    Ref type_text = str(type_name.get());
    d = depth_text(depth);
    Ref colon = require(PyUnicode_FromString(": "));
    Ref comma_depth = require(PyUnicode_FromString(", depth "));
    print_line(concat({prefix.get(), name_text.get(), colon.get(), type_text.get(),
                       comma_depth.get(), d.get()})
                   .get());
}

bool is_container(const Frame& f, PyObject* net) {
    // Held: the reads below run user code, which may reassign net.__class__.
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(net)));
    Ref seq = getattr(global(f, names.nn).get(), names.Sequential);
    if (is_subclass(type.get(), seq.get())) return true;
    Ref list = getattr(global(f, names.nn).get(), names.ModuleList);
    if (is_subclass(type.get(), list.get())) return true;
    return is_subclass(type.get(), reinterpret_cast<PyObject*>(&PyList_Type));
}

// make_module(<lookup>(net, key)), set back on net under key.
void convert_in_place(const Frame& f, PyObject* net, PyObject* key, PyObject* lookup_name) {
    Ref make = global(f, names.make_module);
    Ref lookup = global(f, lookup_name);
    Ref block = call(lookup.get(), net, key);
    Ref converted = call(make.get(), block.get());
    setattr(net, key, converted.get());
}

void container_walk(const Frame& f, PyObject* net, PyObject* depth, PyObject* name_so_far,
                    Ref& converted_list) {
    walk::each_child(net, names.named_children, [&](PyObject* id) {
        Ref child = call_method(net, names.get_submodule, id);
        if (compare(net, child.get(), Py_NE)) {
            walk::descend_child(net, id, depth, name_so_far, converted_list, names.get_submodule,
                                [&] { return global(f, names.refresh_vsk); });
        }
        Ref current = call_method(net, names.get_submodule, id);
        if (walk::type_name_is(current.get(), names.VSKLayer))
            convert_in_place(f, net, id, names.get_pretrained_vsk_var);
    });
}

// Returns false when net's type is tracked and the walk must stop at once.
bool member_walk(const Frame& f, PyObject* net, PyObject* depth, PyObject* name_so_far,
                 PyObject* all_members, Ref& converted_list) {
    Ref tracked = call_method(settings(f).get(), names.get_modules_to_track);
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(net)));
    if (contains(tracked.get(), type.get())) return false;

    walk::each_member(all_members, [&](PyObject* member) {
        if (!walk::probe(net, member)) return;
        Ref sub_name = walk::member_path(name_so_far, member);
        if (compare(member, names.device, Py_EQ) || compare(member, names.dtype, Py_EQ)) return;
        Ref not_saved = call_method(settings(f).get(), names.get_module_names_to_not_save);
        if (contains(not_saved.get(), sub_name.get())) return;
        if (compare(name_so_far, names.empty, Py_EQ)) {
            // Root members already reached through another path are skipped.
            not_saved = call_method(settings(f).get(), names.get_module_names_to_not_save);
            if (contains(not_saved.get(), sub_name.get()) ||
                walk::in_list(converted_list.get(), sub_name.get())) {
                if (verbose(f))
                    print_line(walk::format("Skipping %s during save", sub_name.get()).get());
                return;
            }
        }

        Ref type = walk::member_type(net, member);
        Ref nn_module = getattr(global(f, names.nn).get(), names.Module);
        if (is_subclass(type.get(), nn_module.get()) || compare(member, names.layer_array, Py_EQ)) {
            // Recorded before the self-reference test, so a self pointer is too.
            walk::record(converted_list, sub_name.get());
            if (compare(net, nn_getattr(net, member).get(), Py_NE))
                walk::descend(
                    net, member, depth, sub_name.get(), converted_list,
                    [&] { return global(f, names.refresh_vsk); },
                    [&] { return nn_getattr(net, member); });
        }

        if (walk::type_named(walk::member_type(net, member).get(), names.VSKLayer))
            convert_in_place(f, net, member, names.get_pretrained_vsk_attr);
    });
    return true;
}

Ref refresh_vsk_body(Frame& f) {
    Ref net = Ref::borrow(f.arg[0]);
    PyObject* depth = f.arg[1];
    PyObject* name_so_far = f.arg[2];
    Ref converted_list = Ref::borrow(f.arg[3]);

    if (verbose(f)) entry_messages(net.get(), depth, name_so_far);

    Ref module_type = global(f, names.ModuleType);
    if (reinterpret_cast<PyObject*>(Py_TYPE(net.get())) == module_type.get()) {
        if (verbose(f)) print_text(kDuplicate);
        return net;
    }

    Ref all_members = call_method(net.get(), names.__dir__);
    if (is_container(f, net.get())) {
        container_walk(f, net.get(), depth, name_so_far, converted_list);
    } else if (!member_walk(f, net.get(), depth, name_so_far, all_members.get(), converted_list)) {
        return net;
    }

    if (walk::type_name_is(net.get(), names.VSKLayer)) {
        Ref make = global(f, names.make_module);
        net = call(make.get(), net.get());
    }
    return net;
}

}  // namespace

const FunctionDef refresh_vsk_def = {
    .name = "refresh_vsk",
    .qualname = "refresh_vsk",
    .params = params({"net", "depth", "name_so_far", "converted_list"}),
    .body = refresh_vsk_body,
};

}  // namespace vsk::clean
