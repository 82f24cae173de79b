"""Start-up of veskari.blockwise_veskari: its namespace, the VSKLayer class,
the function objects, import failures and the once-per-process rule, and the
wiring of the functions through module globals looked up at call time."""
import builtins
import copy
import json
import pdb
import string
import types

import numpy
import pytest
import torch
from torch import nn

import veskari.blockwise_veskari as bw
from helpers import Holder, neuron
from veskari import globals_veskari, modules_veskari, utils_veskari

NAMES_IN_ORDER = [
    "GVS", "VS", "UVS", "nn", "torch", "pdb", "np", "string", "copy", "VSKLayer",
    "unWrap_params", "convert_to_vsk_layer_block", "get_pretrained_vsk_attr",
    "get_pretrained_vsk_var", "optimize_module", "blockwise_network",
]
STANDARD_MODULE_ATTRIBUTES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
}

CHILD_SCRIPTS = {}  # name -> code run in a fresh interpreter; filled below


# ---------------------------------------------------------------- namespace


CHILD_SCRIPTS["fresh import"] = """
    import json, sys
    import veskari.globals_veskari as G

    class NoSettings:
        def __getattribute__(self, name):
            raise AssertionError("settings read at import: " + name)

    G.pc = NoSettings()
    import veskari.blockwise_veskari as m
    sys.stderr.write(json.dumps(list(vars(m))))
"""


def test_fresh_import_binds_exactly_these_names_in_order_reading_and_printing_nothing(children):
    # the settings object is replaced by one that fails on any use
    result = children("fresh import")
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    keys = json.loads(result.stderr)
    plain = [k for k in keys if not (k.startswith("__") and k.endswith("__"))]
    assert plain == NAMES_IN_ORDER
    dunders = [k for k in keys if k not in plain]
    assert set(dunders) == STANDARD_MODULE_ATTRIBUTES | {"__test__"}
    assert keys.index("__test__") > keys.index("blockwise_network")


@pytest.mark.parametrize("name, expected", [
    ("GVS", globals_veskari), ("VS", modules_veskari), ("UVS", utils_veskari),
    ("nn", nn), ("torch", torch), ("pdb", pdb), ("np", numpy), ("string", string),
    ("copy", copy),
])
def test_imported_modules_are_bound_under_their_aliases(name, expected):
    assert vars(bw)[name] is expected


def test_test_table_is_an_empty_dict():
    assert type(bw.__test__) is dict
    assert bw.__test__ == {}


def test_module_has_no_docstring():
    assert bw.__doc__ is None


# ---------------------------------------------------------------- functions


def test_optimize_module_accepts_all_four_arguments_by_keyword():
    net = nn.Sequential(nn.Linear(2, 2))
    seen = []
    assert bw.optimize_module(converted_list=seen, name_so_far=".top", depth=3, net=net) is net
    assert seen == [".top[0]"]


# ---------------------------------------------------------------- the class


def test_block_layer_class_facts():
    cls = bw.VSKLayer
    assert cls.__module__ == "veskari.blockwise_veskari"
    assert cls.__name__ == "VSKLayer"
    assert cls.__qualname__ == "VSKLayer"
    assert cls.__doc__ is None
    assert cls.__mro__ == (cls, nn.Module, object)
    assert type(cls) is type
    # the function object itself: test_function_objects.py
    assert cls.__init__ is cls.__dict__["__init__"]  # through the class: the plain function
    assert not hasattr(cls, "forward") or cls.forward is nn.Module.forward


def test_block_layer_class_dict_holds_only_init_and_what_class_creation_adds():
    def __init__(self):
        pass

    reference = type("VSKLayer", (nn.Module,), {
        "__module__": "veskari.blockwise_veskari", "__qualname__": "VSKLayer",
        "__init__": __init__})
    assert list(vars(bw.VSKLayer)) == list(vars(reference))
    assert vars(bw.VSKLayer)["__doc__"] is None


CHILD_SCRIPTS["class creation"] = """
    import json
    import torch.nn as tnn
    import veskari.utils_veskari  # the package's own classes use the real nn.Module
    Real = tnn.Module
    events = []

    class Recording(dict):
        def __setitem__(self, key, value):
            events.append(["set", key])
            super().__setitem__(key, value)

    class Meta(type):
        @classmethod
        def __prepare__(mcls, name, bases):
            events.append(["prepare", name, [b.__name__ for b in bases]])
            return Recording()

        def __new__(mcls, name, bases, namespace):
            events.append(["new", name, [b.__name__ for b in bases], type(namespace).__name__])
            return super().__new__(mcls, name, bases, dict(namespace))

    class Base(Real, metaclass=Meta):
        def __init_subclass__(cls, **kwargs):
            events.append(["init_subclass", cls.__name__])
            super().__init_subclass__(**kwargs)

    class OtherMeta(type):
        pass

    class Other(metaclass=OtherMeta):
        pass

    class Entries:
        def __init__(self, result):
            self.result = result

        def __mro_entries__(self, bases):
            events.append(["mro_entries", len(bases), bases[0] is self])
            return self.result

    outcomes = []
    for result in ([Base], (Base, Other)):
        tnn.Module = Entries(result)
        try:
            import veskari.blockwise_veskari
        except TypeError as error:
            outcomes.append(str(error))
    events.clear()
    entries = tnn.Module = Entries((Base,))
    import veskari.blockwise_veskari as m
    tnn.Module = Real
    cls = m.VSKLayer
    print(json.dumps({
        "failures": outcomes, "events": events, "metaclass": type(cls).__name__,
        "mro": [c.__name__ for c in cls.__mro__],
        "orig_bases": cls.__dict__.get("__orig_bases__") == (entries,),
    }))
"""


def test_class_is_created_through_the_class_creation_protocol(children):
    result = children("class creation")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["failures"] == [
        "__mro_entries__ must return a tuple",
        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
        "subclass of the metaclasses of all its bases",
    ]
    assert report["events"] == [
        ["mro_entries", 1, True],
        ["prepare", "VSKLayer", ["Base"]],
        ["set", "__module__"], ["set", "__qualname__"], ["set", "__orig_bases__"],
        ["set", "__init__"],
        ["new", "VSKLayer", ["Base"], "Recording"],
        ["init_subclass", "VSKLayer"],
    ]
    assert report["metaclass"] == "Meta"
    assert report["mro"] == ["VSKLayer", "Base", "Module", "object"]
    assert report["orig_bases"] is True


def test_init_binds_an_instance_as_self():
    layer = bw.VSKLayer(nn.Sequential(), [], nn.ParameterList(), nn.ParameterList(),
                        0, None, [])
    bound = layer.__init__
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is layer
    assert bound.__func__ is bw.VSKLayer.__dict__["__init__"]


# ---------------------------------------------------------------- import failures

IMPORT_FAILURES = [
    # (blocked modules, the module named in the error); with two blocked, the
    # one imported first is named, which shows the import order
    (["veskari.modules_veskari"], "veskari.modules_veskari"),
    (["veskari.utils_veskari"], "veskari.utils_veskari"),
    (["pdb"], "pdb"),
    (["numpy"], "numpy"),
    (["string"], "string"),
    (["copy"], "copy"),
    (["veskari.modules_veskari", "veskari.utils_veskari"], "veskari.modules_veskari"),
    (["veskari.utils_veskari", "pdb"], "veskari.utils_veskari"),
    (["pdb", "numpy"], "pdb"),
    (["numpy", "string"], "numpy"),
    (["string", "copy"], "string"),
]


CHILD_SCRIPTS["import failures"] = f"""
    import importlib.abc, json, sys, types
    import torch, pdb, numpy, string, copy
    import veskari, veskari.utils_veskari
    del veskari.__getattr__  # else the package's lazy attributes try the imports themselves
    outcomes = []

    def attempt():
        try:
            import veskari.blockwise_veskari
        except ImportError as error:
            outcomes.append([type(error).__name__, str(error),
                             "veskari.blockwise_veskari" in sys.modules])
        else:
            outcomes.append(["imported"])

    for blocked, _ in {[[b, n] for b, n in IMPORT_FAILURES]!r}:
        saved = {{}}
        for name in blocked:
            package, _, short = name.rpartition(".")
            saved[name] = (sys.modules[name], getattr(veskari, short, None))
            sys.modules[name] = None
            if package:
                delattr(veskari, short)
        attempt()
        for name, (module, attribute) in saved.items():
            sys.modules[name] = module
            if attribute is not None:
                setattr(veskari, name.rpartition(".")[2], attribute)

    # The package lacks the attribute and the module table the entry, although
    # the import statement itself succeeds (the import system ignores a
    # submodule of a from-list that reports itself as not found).
    class NotFound(importlib.abc.MetaPathFinder):
        def find_spec(self, name, path=None, target=None):
            if name == "veskari.utils_veskari":
                raise ModuleNotFoundError("not found", name=name)

    utils = sys.modules.pop("veskari.utils_veskari")
    delattr(veskari, "utils_veskari")
    sys.meta_path.insert(0, NotFound())
    attempt()
    sys.meta_path.pop(0)

    # Without the package attribute the module table entry is taken.
    stand_in = types.ModuleType("veskari.utils_veskari")
    sys.modules["veskari.utils_veskari"] = stand_in
    import veskari.blockwise_veskari as m
    outcomes.append([k for k in vars(m) if not k.startswith("__")])
    outcomes.append(m.UVS is stand_in)
    print(json.dumps(outcomes))
"""


def test_import_fails_when_a_bound_module_cannot_be_imported(children):
    # One interpreter for all cases: a failed import releases the half-built
    # module, so each attempt starts afresh and the last one succeeds.
    result = children("import failures")
    assert result.returncode == 0, result.stderr
    outcomes = json.loads(result.stdout)
    expected = [["ModuleNotFoundError", f"import of {named} halted; None in sys.modules", False]
                for _, named in IMPORT_FAILURES]
    assert outcomes[:len(expected)] == expected
    # "cannot import name %S": the name as str, so without quotes
    assert outcomes[len(expected)] == ["ImportError", "cannot import name utils_veskari", False]
    assert outcomes[len(expected) + 1] == NAMES_IN_ORDER
    assert outcomes[len(expected) + 2] is True


# ---------------------------------------------------------------- once per process


CHILD_SCRIPTS["once per process"] = """
    import ctypes, sys
    import veskari.blockwise_veskari as m
    import veskari.clean_veskari
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    layer_class = m.VSKLayer
    m.optimize_module = "rebound"
    # executing again on the module itself does nothing
    print(api.PyModule_ExecDef(m, api.PyModule_GetDef(m)))
    print(m.optimize_module, m.VSKLayer is layer_class)
    # importing again after the module table forgot it gives the same module
    import importlib
    del sys.modules["veskari.blockwise_veskari"]
    again = importlib.import_module("veskari.blockwise_veskari")
    print(again is m, again.optimize_module)
    # A subinterpreter sharing the main one's GIL, as 3.11 makes them: 3.12+
    # refuse these modules in one with its own GIL before they can.
    try:
        import _interpreters as interpreters  # 3.13
        sub = interpreters.create("legacy")
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("no subinterpreters")
            raise SystemExit
        sub = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {}))
    code = (
        "import sys\\n"
        f"sys.path[:0] = {sys.path!r}\\n"
        "for name in ('blockwise_veskari', 'clean_veskari'):\\n"
        "    try:\\n"
        "        __import__('veskari.' + name)\\n"
        "    except ImportError as error:\\n"
        "        print(name, 'ImportError |', error)\\n"
        "    else:\\n"
        "        print(name, 'imported')\\n"
    )
    sys.stdout.flush()
    interpreters.run_string(sub, code)
    interpreters.destroy(sub)
"""


def test_the_body_runs_once_and_a_second_interpreter_is_refused_by_both_modules(children):
    result = children("once per process")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["0", "rebound True", "True rebound"]
    if lines[3:] == ["no subinterpreters"]:
        pytest.skip("this interpreter has no subinterpreter support")
    assert lines[3:] == [
        f"{name} ImportError | Interpreter change detected - this module can only be loaded "
        "into one interpreter per process." for name in ("blockwise_veskari", "clean_veskari")]


# ---------------------------------------------------------------- wiring through globals


def test_rebinding_optimize_module_redirects_the_entry_point(monkeypatch):
    calls = []
    sentinel = object()

    def walk(*args):
        calls.append(args)
        return sentinel

    monkeypatch.setattr(bw, "optimize_module", walk)
    net = nn.Linear(2, 2)
    assert bw.blockwise_network(net) is sentinel
    assert len(calls) == 1
    got_net, depth, name, converted = calls[0]
    assert got_net is net and depth == 0 and type(depth) is int
    assert name == "" and converted == [] and type(converted) is list


def test_rebinding_optimize_module_redirects_the_recursion(monkeypatch):
    real = bw.optimize_module
    calls = []

    def walk(net, depth, name_so_far, converted_list):
        calls.append((net, depth, name_so_far, converted_list))
        return replacement[name_so_far]

    child, grandchild = nn.Linear(2, 2), nn.Linear(2, 2)
    net = Holder(a=child, b=nn.Sequential(grandchild))
    replacement = {".a": nn.Tanh(), ".b": net.b, ".b[0]": nn.ReLU()}
    monkeypatch.setattr(bw, "optimize_module", walk)
    converted = []
    assert real(net, 7, "", converted) is net
    # the container .b is entered by the replacement too, so only .a and .b are seen
    assert [(c[0], c[1], c[2]) for c in calls] == [(child, 8, ".a"), (net.b, 8, ".b")]
    assert all(c[3] is converted for c in calls)
    assert net.a is replacement[".a"]

    calls.clear()
    inner = nn.Sequential(grandchild)
    real(inner, 0, ".b", converted)
    assert [(c[0], c[1], c[2]) for c in calls] == [(grandchild, 1, ".b[0]")]
    assert inner[0] is replacement[".b[0]"]


def test_rebinding_convert_redirects_the_conversions(monkeypatch):
    seen = []

    def convert(module):
        seen.append(module)
        return nn.Identity()

    first, second = neuron(), neuron()
    net = Holder(a=first, b=nn.Sequential(second))
    monkeypatch.setattr(bw, "convert_to_vsk_layer_block", convert)
    bw.blockwise_network(net)
    assert seen == [first, second]
    assert seen[0] is first and seen[1] is second
    assert type(net.a) is nn.Identity and type(net.b[0]) is nn.Identity


class FakeNeuron(nn.Module):
    pass


@pytest.mark.parametrize("in_builtins_module, in_callers_builtins", [(True, False),
                                                                     (False, True)])
def test_builtins_are_the_interpreters_not_the_callers(monkeypatch, in_builtins_module,
                                                       in_callers_builtins):
    # as for a function defined in Python: module namespace, then the builtins
    # module (where the global falls back to), whatever builtins the calling code runs with
    fake_vs = types.SimpleNamespace(VSKNeuronModule=FakeNeuron)
    monkeypatch.delattr(bw, "VS")
    if in_builtins_module:
        monkeypatch.setattr(builtins, "VS", fake_vs, raising=False)
    callers_builtins = {"VS": fake_vs} if in_callers_builtins else {}
    monkeypatch.setattr(bw, "convert_to_vsk_layer_block", lambda m: nn.Identity())
    net = Holder(a=FakeNeuron())
    call = "bw.blockwise_network(net)"
    scope = {"__builtins__": callers_builtins, "bw": bw, "net": net}
    if in_builtins_module:
        exec(call, scope)
        assert type(net.a) is nn.Identity
    else:
        with pytest.raises(NameError) as info:
            exec(call, scope)
        assert str(info.value) == "name 'VS' is not defined"
        assert type(net.a) is FakeNeuron


def _blockwise_on_member_holder():
    bw.blockwise_network(Holder(a=nn.Linear(2, 2)))


def _blockwise_on_neuron_in_sequence():
    bw.blockwise_network(nn.Sequential(neuron()))


def _convert_neuron():
    bw.convert_to_vsk_layer_block(neuron())


BLOCK_LAYER = bw.VSKLayer  # kept, so the class can be used with its global deleted


def _build_layer():
    BLOCK_LAYER(nn.Sequential(), [], nn.ParameterList(), nn.ParameterList(), 0, None, [])


@pytest.mark.parametrize("name, action", [
    ("VS", _blockwise_on_member_holder),
    ("VS", _blockwise_on_neuron_in_sequence),
    ("GVS", _blockwise_on_member_holder),
    ("GVS", _build_layer),
    ("nn", _blockwise_on_member_holder),
    ("optimize_module", _blockwise_on_member_holder),
    ("convert_to_vsk_layer_block", _blockwise_on_neuron_in_sequence),
    ("unWrap_params", _convert_neuron),
    ("VSKLayer", _convert_neuron),
    ("VSKLayer", _build_layer),
    ("torch", _build_layer),
])
def test_a_deleted_global_raises_name_error_at_its_first_use(monkeypatch, name, action):
    monkeypatch.delattr(bw, name)
    with pytest.raises(NameError) as info:
        action()
    assert str(info.value) == f"name '{name}' is not defined"
