// Start-up of veskari.clean_veskari: multi-phase initialisation that builds
// the module namespace, which is the wiring of the whole converter.
#include "clean.hpp"
#include "startup.hpp"

namespace vsk::clean {

namespace {

ModuleOnce once{"clean_veskari"};

// The module body, step by step; each step binds before the next starts.
void execute(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr) raise();
    if (builtin_print == nullptr) builtin_print = fetch_builtin("print");
    if (builtin_super == nullptr) builtin_super = fetch_builtin("super");
    init_names();
    Ref module_name = require(PyUnicode_FromString("veskari.clean_veskari"));
    // Enter the module table under its full name if it is not there yet.
    PyObject* table = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(table, module_name.get()) == nullptr) {
        if (PyErr_Occurred()) raise();
        check(PyDict_SetItem(table, module_name.get(), module));
    }

    bind(globals, "GVS", import_from(globals, "veskari", "globals_veskari").get());
    bind(globals, "copy", import_module(globals, "copy").get());
    bind(globals, "nn", import_dotted(globals, "torch", "nn").get());
    bind(globals, "torch", import_module(globals, "torch").get());
    bind(globals, "pdb", import_module(globals, "pdb").get());
    bind(globals, "Thread", import_from(globals, "threading", "Thread").get());
    bind(globals, "doing_threading", Py_False);

    Ref ftype = make_function_type(module, "veskari.clean_veskari.function");
    Ref nn = lookup_global(globals, names.nn);
    Ref base = getattr(nn.get(), names.Module);
    Ref cls = make_class(globals, ftype.get(), module_name.get(), "VSKModulePyThread", base.get(),
                         {&init_def, &process_and_forward_def, &process_and_pre_def,
                          &forward_def});
    bind(globals, "VSKModulePyThread", cls.get());

    bind_function(globals, ftype.get(), module_name.get(), get_pretrained_vsk_attr_def);
    bind_function(globals, ftype.get(), module_name.get(), get_pretrained_vsk_var_def);
    bind(globals, "ModuleType", lookup_global(globals, names.VSKModulePyThread).get());
    bind(globals, "doing_threading", Py_False);
    bind_function(globals, ftype.get(), module_name.get(), make_module_def);
    bind_function(globals, ftype.get(), module_name.get(), refresh_vsk_def);
    bind_function(globals, ftype.get(), module_name.get(), refresh_net_def);
    Ref test = require(PyDict_New());
    bind(globals, "__test__", test.get());
}

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "clean_veskari", nullptr, 0, nullptr, ModuleSlots<once, execute>::slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

void init_names() {
    if (names.thread_kwnames != nullptr) return;  // the last one made: all are there
#define VSK_INTERN(n) names.n = intern(#n);
    VSK_CLEAN_NAMES(VSK_INTERN)
#undef VSK_INTERN
    names.empty = intern("");
    names.full_slice = require(PySlice_New(nullptr, nullptr, nullptr)).release();
    Ref one = py_int(1);
    names.slice_from_one = require(PySlice_New(one.get(), nullptr, nullptr)).release();
    names.minus_one = py_int(-1).release();
    names.thread_kwnames =
        require(PyTuple_Pack(3, names.target, names.args, names.kwargs)).release();
}

}  // namespace vsk::clean

PyMODINIT_FUNC PyInit_clean_veskari() { return PyModuleDef_Init(&vsk::clean::definition); }
