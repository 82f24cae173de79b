// Start-up of veskari.blockwise_veskari: multi-phase initialisation that
// builds the module namespace, which is the wiring of the whole converter.
#include "blockwise.hpp"
#include "startup.hpp"

namespace vsk::blockwise {

namespace {

ModuleOnce once{"blockwise_veskari"};

void execute(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr) raise();
    FirstBuiltins first;
    if (!state.ready) first = fetch_first_builtins();
    Ref module_name = require(PyUnicode_FromString("veskari.blockwise_veskari"));

    // UVS, pdb, np, string and copy are imported and bound only: the import
    // order and the namespace (its names and their order) are what callers
    // observe, and numpy must be importable.
    bind(globals, "GVS", import_from(globals, "veskari", "globals_veskari").get());
    bind(globals, "VS", import_from(globals, "veskari", "modules_veskari").get());
    bind(globals, "UVS", import_from(globals, "veskari", "utils_veskari").get());
    bind(globals, "nn", import_dotted(globals, "torch", "nn").get());
    bind(globals, "torch", import_module(globals, "torch").get());
    bind(globals, "pdb", import_module(globals, "pdb").get());
    bind(globals, "np", import_module(globals, "numpy").get());
    bind(globals, "string", import_module(globals, "string").get());
    bind(globals, "copy", import_module(globals, "copy").get());
    // After the imports: the state reads torch.nn.
    init_state(first);

    Ref ftype = make_function_type(module, "veskari.blockwise_veskari.function");
    Ref base = getattr(lookup_global(globals, names.nn).get(), names.Module);
    Ref cls =
        make_class(globals, ftype.get(), module_name.get(), "VSKLayer", base.get(), {&init_def});
    bind(globals, "VSKLayer", cls.get());

    for (const FunctionDef* def :
         {&unwrap_params_def, &convert_def, &get_pretrained_vsk_attr_def,
          &get_pretrained_vsk_var_def, &optimize_module_def, &blockwise_network_def})
        bind_function(globals, ftype.get(), module_name.get(), *def);
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
        VSK_BLOCKWISE_NAMES(VSK_INTERN)
#undef VSK_INTERN
        n.empty = core.empty;
        n.one = core.one;
        n.minus_one = make.keep(PyLong_FromLong(-1));
        s.print = make.keep(first.print);
        s.super = make.keep(first.super);
        return s;
    });
}

}  // namespace vsk::blockwise

PyMODINIT_FUNC PyInit_blockwise_veskari() {
    return PyModuleDef_Init(&vsk::blockwise::Definition::definition);
}
