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
    FirstBuiltins first;
    if (!state.ready) first = fetch_first_builtins();
    Ref module_name = require(PyUnicode_FromString("veskari.clean_veskari"));
    // Enter the module table under its full name if it is not there yet.
    PyObject* table = PyImport_GetModuleDict();
    if (PyDict_GetItemWithError(table, module_name.get()) == nullptr) {
        if (PyErr_Occurred()) raise();
        check(PyDict_SetItem(table, module_name.get(), module));
    }

    // copy and pdb are imported and bound only: the import order and the
    // namespace (its names and their order) are what callers observe.
    bind(globals, "GVS", import_from(globals, "veskari", "globals_veskari").get());
    bind(globals, "copy", import_module(globals, "copy").get());
    bind(globals, "nn", import_dotted(globals, "torch", "nn").get());
    bind(globals, "torch", import_module(globals, "torch").get());
    bind(globals, "pdb", import_module(globals, "pdb").get());
    bind(globals, "Thread", import_from(globals, "threading", "Thread").get());
    bind(globals, "doing_threading", Py_False);
    // After the imports: the state holds the torch module and reads torch.nn.
    init_state(first);

    Ref ftype = make_function_type(module, "veskari.clean_veskari.function");
    Ref nn = lookup_global(globals, names.nn);
    Ref base = getattr(nn.get(), names.Module);
    Ref cls = make_class(globals, ftype.get(), module_name.get(), "VSKModulePyThread", base.get(),
                         {&init_def, &process_and_forward_def, &process_and_pre_def, &forward_def});
    bind(globals, "VSKModulePyThread", cls.get());

    bind_function(globals, ftype.get(), module_name.get(), get_pretrained_vsk_attr_def);
    bind_function(globals, ftype.get(), module_name.get(), get_pretrained_vsk_var_def);
    bind(globals, "ModuleType", lookup_global(globals, names.VSKModulePyThread).get());
    // Bound a second time, as the module body always did: the value stays
    // False, and the first binding keeps the name's place in the namespace.
    bind(globals, "doing_threading", Py_False);
    bind_function(globals, ftype.get(), module_name.get(), make_module_def);
    bind_function(globals, ftype.get(), module_name.get(), refresh_vsk_def);
    bind_function(globals, ftype.get(), module_name.get(), refresh_net_def);
    // An empty __test__ (doctest reads it), part of the namespace callers see.
    Ref test = require(PyDict_New());
    bind(globals, "__test__", test.get());
}

using Definition = ModuleSlots<once, execute>;

}  // namespace

void init_state(const FirstBuiltins& first) {
    init_state_once(state, first, [&](ConstantMaker& make, const CoreState& core) {
        State s;
        Names& n = s.names;
#define VSK_INTERN(name) n.name = make.intern(#name);
        VSK_CLEAN_NAMES(VSK_INTERN)
#undef VSK_INTERN
        n.empty = core.empty;
        n.full_slice = make.keep(PySlice_New(nullptr, nullptr, nullptr));
        n.slice_from_one = make.keep(PySlice_New(core.one, nullptr, nullptr));
        n.minus_one = make.keep(PyLong_FromLong(-1));
        n.thread_kwnames = make.keep(PyTuple_Pack(3, n.target, n.args, n.kwargs));
        n.autocast_kwnames = make.keep(PyTuple_Pack(3, n.dtype, n.enabled, n.cache_enabled));
        s.print = make.keep(first.print);
        s.super = make.keep(first.super);
        s.torch = make.keep(PyImport_ImportModule("torch"));
        // PyTorch's own list (parallel_apply carries one device type only);
        // a stand-in torch without it has no autocast state to carry.
        Ref torch_c, list_devices, devices = require(PyTuple_New(0));
        if (lookup_attr(s.torch, make.intern("_C"), torch_c) &&
            lookup_attr(torch_c.get(), make.intern("_autocast_supported_devices"), list_devices))
            devices = call(list_devices.get());
        s.autocast_devices = make.keep(PySequence_Tuple(devices.get()));
        for (Py_ssize_t i = 0; i < kRowKeys; ++i) {
            Ref index = py_int(i);
            s.row_keys[i] = make.keep(PyTuple_Pack(2, index.get(), n.full_slice));
        }
        // Last, so nothing can fail once it exists.
        s.threaded_calls = new std::unordered_map<PyObject*, CallRecord>();
        return s;
    });
}

}  // namespace vsk::clean

PyMODINIT_FUNC PyInit_clean_veskari() {
    return PyModuleDef_Init(&vsk::clean::Definition::definition);
}
