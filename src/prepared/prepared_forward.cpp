// veskari._prepared.run: the eager forward of an InferenceLayer with its
// skip-weight rows viewed once.
//
// It makes the calls the native VSKModulePyThread.forward makes (each branch,
// each processor, the settings getter before each activation, `*` then `+`
// in cascade order, the main post) but takes every row from the plan the
// Python side built instead of slicing, viewing and moving it again. The plan
// records what the rows were made from; when anything in it changed, or
// autograd would have to record the rows, run() answers NotImplemented and
// the caller rebuilds the plan or takes the native forward.
#include <vector>

#include "names.hpp"
#include "protocol.hpp"

namespace vsk::prepared {

namespace {

// The plan tuple, as veskari/inference.py lays it out.
enum Field : Py_ssize_t {
    kModules,      // layer._modules
    kLayerArray,   // the nn.Sequential of branches
    kLayerTable,   // its _modules
    kLayers,       // tuple of the branch modules, main last
    kProcList,     // layer.processor_array (a list)
    kProcs,        // tuple of its entries
    kWeights,      // the skip-weight ParameterList, or None
    kWeightTable,  // its _parameters, or None
    kParams,       // tuple of its parameters
    kPointers,     // tuple of their data_ptr() values
    kView,         // the view_tuple buffer
    kViewVersion,  // its _version
    kRows,         // tuple (per target 1..n-1) of tuples of rows, or None
    kDevice,       // the rows' device, or None
    kSettings,     // the settings module (GVS)
    kFieldCount
};

PyObject* field(PyObject* plan, Field f) { return PyTuple_GET_ITEM(plan, f); }

bool tuple_of_size(PyObject* o, Py_ssize_t size) {
    return PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == size;
}

// The plan has the shapes every unchecked access below relies on; the
// function is private, but no argument may crash the interpreter.
bool well_formed(PyObject* plan) {
    if (!tuple_of_size(plan, kFieldCount)) return false;
    PyObject* layers = field(plan, kLayers);
    if (!PyTuple_CheckExact(layers) || PyTuple_GET_SIZE(layers) == 0) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(layers);
    PyObject* params = field(plan, kParams);
    if (!tuple_of_size(field(plan, kProcs), n) || !PyTuple_CheckExact(params) ||
        !tuple_of_size(field(plan, kPointers), PyTuple_GET_SIZE(params)))
        return false;
    PyObject* rows = field(plan, kRows);
    if (rows == Py_None) return true;
    if (!tuple_of_size(rows, n - 1)) return false;
    for (Py_ssize_t k = 0; k < n - 1; ++k)
        if (!tuple_of_size(PyTuple_GET_ITEM(rows, k), k + 1)) return false;
    return true;
}

// The value under `key` in the dict `table` is exactly `expected`.
bool holds(PyObject* table, PyObject* key, PyObject* expected) {
    if (!PyDict_Check(table)) return false;
    PyObject* value = PyDict_GetItemWithError(table, key);  // borrowed, compared only
    if (value == nullptr && PyErr_Occurred()) raise();
    return value == (expected == Py_None ? nullptr : expected);
}

// The dict's values are exactly `items`, in order.
bool values_are(PyObject* table, PyObject* items) {
    if (!PyDict_Check(table) || PyDict_GET_SIZE(table) != PyTuple_GET_SIZE(items)) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value))
        if (value != PyTuple_GET_ITEM(items, i++)) return false;
    return true;
}

bool same_int(PyObject* a, PyObject* b) {
    int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0) raise();
    return equal == 1;
}

// Whether nothing the rows were made from changed since the plan was made.
// Only identities and integers are compared: no Python code runs here.
bool current(PyObject* layer, PyObject* plan) {
    PyObject** dict_slot = compat::dict_ptr(layer);
    if (dict_slot == nullptr || *dict_slot == nullptr) return false;
    Ref dict = Ref::borrow(*dict_slot);
    PyObject* modules = field(plan, kModules);
    if (!holds(dict.get(), names.modules, modules) ||
        !holds(modules, names.layer_array, field(plan, kLayerArray)) ||
        !holds(modules, names.skip_weights, field(plan, kWeights)) ||
        !holds(dict.get(), names.processor_array, field(plan, kProcList)))
        return false;
    PyObject* procs = field(plan, kProcList);
    PyObject* proc_items = field(plan, kProcs);
    if (!PyList_CheckExact(procs) || PyList_GET_SIZE(procs) != PyTuple_GET_SIZE(proc_items))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(procs); ++i)
        if (PyList_GET_ITEM(procs, i) != PyTuple_GET_ITEM(proc_items, i)) return false;
    if (!values_are(field(plan, kLayerTable), field(plan, kLayers))) return false;
    Ref buffers = Ref::borrow(PyDict_GetItemWithError(dict.get(), names.buffers));
    if (!buffers) {
        if (PyErr_Occurred()) raise();
        return false;
    }
    if (!holds(buffers.get(), names.view_tuple, field(plan, kView))) return false;
    Ref version = getattr(field(plan, kView), names.version);
    if (!same_int(version.get(), field(plan, kViewVersion))) return false;

    PyObject* params = field(plan, kParams);
    if (field(plan, kWeights) != Py_None && !values_are(field(plan, kWeightTable), params))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(params); ++i) {
        PyObject* param = PyTuple_GET_ITEM(params, i);
        // Storage swapped under the same parameter (param.data = ...).
        Ref pointer = call_method(param, names.data_ptr);
        if (!same_int(pointer.get(), PyTuple_GET_ITEM(field(plan, kPointers), i))) return false;
    }
    return true;
}

// module(*args, **kwargs)
Ref call_branch(PyObject* module, PyObject* args, PyObject* kwargs) {
    return require(PyObject_VectorcallDict(module, &PyTuple_GET_ITEM(args, 0),
                                           PyTuple_GET_SIZE(args), kwargs));
}

// self.<method>(prefix..., *args, **kwargs), as the native forward calls it.
void call_branch_method(PyObject* layer, PyObject* method, std::vector<PyObject*> argv,
                        PyObject* args, PyObject* kwargs) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
        argv.push_back(PyTuple_GET_ITEM(args, i));
    Ref bound = getattr(layer, method);
    Ref ignored = require(PyObject_VectorcallDict(bound.get(), argv.data(), argv.size(), kwargs));
}

// outs[i], held; IndexError if an overridden branch method shrank the list.
Ref slot(PyObject* outs, Py_ssize_t i) {
    PyObject* item = PyList_GetItem(outs, i);  // borrowed, bounds-checked
    if (item == nullptr) raise();
    return Ref::borrow(item);
}

Ref run_plan(PyObject* layer, PyObject* plan, PyObject* args, PyObject* kwargs) {
    PyObject* layers = field(plan, kLayers);
    PyObject* procs = field(plan, kProcs);
    const Py_ssize_t n = PyTuple_GET_SIZE(layers);
    Ref outs = require(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(outs.get(), i, Py_NewRef(Py_None));

    // Branches: a dendrite without a processor is its module's call, the main
    // branch without one its module's forward; with a processor, the very
    // method the native forward calls.
    for (Py_ssize_t c = 0; c < n; ++c) {
        PyObject* module = PyTuple_GET_ITEM(layers, c);
        bool main = c == n - 1;
        if (PyTuple_GET_ITEM(procs, c) == Py_None) {
            Ref target = main ? getattr(module, names.forward) : Ref::borrow(module);
            Ref out = call_branch(target.get(), args, kwargs);
            check(PyList_SetItem(outs.get(), c, out.release()));
        } else if (main) {
            call_branch_method(layer, names.process_and_pre, {outs.get()}, args, kwargs);
        } else {
            Ref index = py_int(c);
            call_branch_method(layer, names.process_and_forward, {index.get(), outs.get()}, args,
                               kwargs);
        }
    }

    // Cascade merge, on the rows viewed once.
    PyObject* rows = field(plan, kRows);
    Ref current = slot(outs.get(), n - 1);
    if (rows != Py_None) {
        for (Py_ssize_t out_index = 0; out_index < n; ++out_index) {
            current = slot(outs.get(), out_index);
            if (out_index > 0) {
                Ref device = getattr(current.get(), names.device);
                bool moved = compare(device.get(), field(plan, kDevice), Py_NE);
                PyObject* targets = PyTuple_GET_ITEM(rows, out_index - 1);
                for (Py_ssize_t in_index = 0; in_index < out_index; ++in_index) {
                    Ref row = Ref::borrow(PyTuple_GET_ITEM(targets, in_index));
                    if (moved) row = call_method(row.get(), names.to, device.get());
                    Ref earlier = slot(outs.get(), in_index);
                    Ref term = require(PyNumber_Multiply(row.get(), earlier.get()));
                    current = add(current.get(), term.get());
                }
            }
            if (out_index < n - 1) {
                Ref pc = getattr(field(plan, kSettings), names.pc);
                Ref act = call_method(pc.get(), names.get_vsk_forward_function);
                current = call(act.get(), current.get());
            }
            check(PyList_SetItem(outs.get(), out_index, Ref(current).release()));
        }
    }
    PyObject* main_proc = PyTuple_GET_ITEM(procs, n - 1);
    if (main_proc != Py_None) current = call_method(main_proc, names.post, current.get());
    return current;
}

// run(layer, plan, args, kwargs)
PyObject* run(PyObject*, PyObject* const* argv, Py_ssize_t argc) {
    if (argc != 4 || !well_formed(argv[1]) || !PyTuple_CheckExact(argv[2]) ||
        !PyDict_CheckExact(argv[3])) {
        PyErr_SetString(PyExc_TypeError, "run(layer, plan, args, kwargs)");
        return nullptr;
    }
    Ref result;
    bool ok = guarded([&] {
        // Held for the whole call: a branch may drop the layer's plan.
        Ref layer = Ref::borrow(argv[0]);
        Ref plan = Ref::borrow(argv[1]);
        Ref args = Ref::borrow(argv[2]);
        Ref kwargs = Ref::borrow(argv[3]);
        if (!current(layer.get(), plan.get()))
            result = Ref::borrow(Py_NotImplemented);
        else
            result = run_plan(layer.get(), plan.get(), args.get(),
                              PyDict_GET_SIZE(kwargs.get()) ? kwargs.get() : nullptr);
    });
    return ok ? result.release() : nullptr;
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     "run(layer, plan, args, kwargs): the prepared forward, or NotImplemented when the plan "
     "no longer fits"},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject*) {
    return guarded([] { init_names(); }) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "veskari._prepared",
    .m_doc = "The eager forward of veskari.inference.InferenceLayer (private).",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace vsk::prepared

PyMODINIT_FUNC PyInit__prepared() { return PyModuleDef_Init(&vsk::prepared::definition); }
