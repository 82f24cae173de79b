// Start-up of veskari._prepared: its state, made once while it executes,
// after the clean converter whose forward it stands in for.
#include "prepared.hpp"
#include "startup.hpp"

namespace vsk::prepared {

PyObject* run(PyObject*, PyObject* const* argv, Py_ssize_t argc);

namespace {

// name, from a class's own dict (not its bases), as a new reference.
Ref own_attribute(PyObject* cls, const char* name) {
    PyObject* dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(cls));
    PyObject* found = dict ? PyDict_GetItemString(dict, name) : nullptr;
    if (found == nullptr) {
        PyErr_Format(PyExc_ImportError, "%R has no attribute %s", cls, name);
        raise();
    }
    return Ref::borrow(found);
}

// A probe veskari._internal.torch_private holds as None when this PyTorch lacks it: null then.
PyObject* optional_probe(ConstantMaker& make, PyObject* internals, const char* name) {
    Ref found = require(PyObject_GetAttrString(internals, name));
    return found.get() == Py_None ? nullptr : make.keep(found.release());
}

}  // namespace

void init_state(PyObject* module) {
    FirstBuiltins first = fetch_first_builtins();
    Ref plan_type = make_plan_type(module);
    init_state_once(state, first, [&](ConstantMaker& make, const CoreState&) {
        State s;
        Names& n = s.names;
#define VSK_INTERN(name) n.name = make.intern(#name);
        VSK_PREPARED_NAMES(VSK_INTERN)
#undef VSK_INTERN
        n.full_slice = make.keep(PySlice_New(nullptr, nullptr, nullptr));
        n.minus_one = make.keep(PyLong_FromLong(-1));
        s.table_names[0] = n._parameters;
        s.table_names[1] = n._buffers;
        s.table_names[2] = n._modules;
        for (Py_ssize_t i = 0; i < State::kRowKeys; ++i) {
            Ref index = py_int(i);
            s.row_keys[i] = make.keep(PyTuple_Pack(2, index.get(), n.full_slice));
        }
        Ref clean = require(PyImport_ImportModule("veskari.clean_veskari"));
        s.clean_globals = make.keep(Py_NewRef(PyModule_GetDict(clean.get())));
        Ref cls = require(PyObject_GetAttrString(clean.get(), "VSKModulePyThread"));
        if (!PyType_Check(cls.get()))
            raise(PyExc_ImportError, "veskari.clean_veskari.VSKModulePyThread is not a class");
        s.native_forward = make.keep(own_attribute(cls.get(), "forward"));
        s.native_process_and_forward = make.keep(own_attribute(cls.get(), "process_and_forward"));
        s.native_process_and_pre = make.keep(own_attribute(cls.get(), "process_and_pre"));
        Ref torch = require(PyImport_ImportModule("torch"));
        s.tensor_type = make.keep(PyObject_GetAttrString(torch.get(), "Tensor"));
        Ref nn = require(PyImport_ImportModule("torch.nn"));
        s.parameter_type = make.keep(PyObject_GetAttrString(nn.get(), "Parameter"));
        s.is_grad_enabled = make.keep(PyObject_GetAttrString(torch.get(), "is_grad_enabled"));
        // PyTorch's private names come from the one module that holds them.
        Ref internals = require(PyImport_ImportModule("veskari._internal.torch_private"));
        Ref fx = require(PyObject_GetAttrString(internals.get(), "fx_symbolic_trace"));
        if (!PyModule_Check(fx.get()))
            raise(PyExc_ImportError,
                  "veskari._internal.torch_private.fx_symbolic_trace is not a module");
        s.fx_globals = make.keep(Py_NewRef(PyModule_GetDict(fx.get())));
        s.fx_tracing = make.keep(PyObject_GetAttrString(fx.get(), "is_fx_symbolic_tracing"));
        s.jit_tracing = make.keep(PyObject_GetAttrString(internals.get(), "is_jit_tracing"));
        s.function_mode_enabled =
            optional_probe(make, internals.get(), "is_torch_function_mode_enabled");
        s.dispatch_stack_len = optional_probe(make, internals.get(), "len_torch_dispatch_stack");
        s.transforms_active =
            optional_probe(make, internals.get(), "are_functorch_transforms_active");
        Ref forward_ad = require(PyObject_GetAttrString(internals.get(), "forward_ad"));
        if (!PyModule_Check(forward_ad.get()))
            raise(PyExc_ImportError, "veskari._internal.torch_private.forward_ad is not a module");
        s.forward_ad_globals = make.keep(Py_NewRef(PyModule_GetDict(forward_ad.get())));
        s.plan_type = make.keep(Py_NewRef(plan_type.get()));
        Ref settings = require(PyImport_ImportModule("veskari.globals_veskari"));
        s.settings_type = make.keep(PyObject_GetAttrString(settings.get(), "VeskariSettings"));
        if (!PyType_Check(s.settings_type))
            raise(PyExc_ImportError, "veskari.globals_veskari.VeskariSettings is not a class");
        s.activation_getter = make.keep(own_attribute(s.settings_type, "get_vsk_forward_function"));
        if (!PyFunction_Check(s.activation_getter))
            raise(PyExc_ImportError, "VeskariSettings.get_vsk_forward_function is not a function");
        s.activation_getter_code = make.keep(Py_NewRef(PyFunction_GET_CODE(s.activation_getter)));
        check(PyModule_AddObjectRef(module, "Plan", plan_type.get()));
        return s;
    });
}

namespace {

ModuleOnce once{"_prepared"};

void execute(PyObject* module) { init_state(module); }

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     "run(layer, args, kwargs): the layer's eager forward in sequential mode"},
    {"release", release, METH_O,
     "release(layer): drop the rows viewed for the layer; they are made again at its next call"},
    {nullptr, nullptr, 0, nullptr},
};

using Definition = ModuleSlots<once, execute, methods>;

}  // namespace

}  // namespace vsk::prepared

PyMODINIT_FUNC PyInit__prepared() {
    return PyModuleDef_Init(&vsk::prepared::Definition::definition);
}
