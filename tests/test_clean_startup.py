"""Start-up of veskari.clean_veskari: the namespace it builds (which is the
wiring of the whole converter), the class it creates, import failures, the
once-per-process rule, and the exported symbols of the shared library."""
import builtins
import copy
import ctypes
import importlib
import importlib.util
import pdb
import shutil
import subprocess
import sys
import textwrap
import threading
import types

import pytest
import torch
from torch import nn

import veskari
import veskari.clean_veskari as clean
from helpers import CountingSettings, Holder, VSKLayer, run_child, tail
from veskari import globals_veskari

NAMES_IN_ORDER = [
    "GVS", "copy", "nn", "torch", "pdb", "Thread", "doing_threading", "VSKModulePyThread",
    "get_pretrained_vsk_attr", "get_pretrained_vsk_var", "ModuleType", "make_module",
    "refresh_vsk", "refresh_net",
]
STANDARD_MODULE_ATTRIBUTES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
}
# Stand-ins for the settings module and PyTorch, so that a fresh interpreter
# imports the converter in a fraction of a second. The settings stand-in has
# no settings object at all: nothing may be read from it at import.
STUBS = """
import sys, types
import veskari
gvs = types.ModuleType("veskari.globals_veskari")
sys.modules["veskari.globals_veskari"] = gvs
veskari.globals_veskari = gvs
torch = types.ModuleType("torch")
torch.__path__ = []
nn = types.ModuleType("torch.nn")
class Module:
    pass
nn.Module = Module
torch.nn = nn
sys.modules["torch"] = torch
sys.modules["torch.nn"] = nn
"""


def run_stubbed(code):
    return run_child(STUBS + textwrap.dedent(code))


# --------------------------------------------------------------- namespace


def test_namespace_names_in_binding_order():
    names = [k for k in vars(clean) if not (k.startswith("__") and k.endswith("__"))]
    assert names == NAMES_IN_ORDER


def test_namespace_has_only_standard_dunders_and_an_empty_test_dict():
    dunders = {k for k in vars(clean) if k.startswith("__") and k.endswith("__")}
    assert dunders - {"__test__"} <= STANDARD_MODULE_ATTRIBUTES
    assert type(clean.__test__) is dict and clean.__test__ == {}
    assert list(vars(clean))[-1] == "__test__"
    assert clean.__doc__ is None
    assert clean.__name__ == "veskari.clean_veskari"


@pytest.mark.parametrize("name, expected", [
    ("GVS", globals_veskari),
    ("copy", copy),
    ("nn", nn),
    ("torch", torch),
    ("pdb", pdb),
    ("Thread", threading.Thread),
])
def test_imported_names_are_the_very_modules(name, expected):
    assert getattr(clean, name) is expected


def test_flag_and_module_type():
    assert clean.doing_threading is False
    assert clean.ModuleType is clean.VSKModulePyThread


def test_module_is_the_one_in_the_module_table():
    assert sys.modules["veskari.clean_veskari"] is clean
    assert veskari.clean_veskari is clean


def test_child_interpreters_load_the_modules_this_process_loaded():
    # Under `make sanitize-test` these are the sanitizer build's, not the in-place ones.
    import veskari.blockwise_veskari as blockwise

    result = run_child("""
        import veskari.blockwise_veskari, veskari.clean_veskari
        print(veskari.clean_veskari.__file__)
        print(veskari.blockwise_veskari.__file__)
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout.splitlines() == [clean.__file__, blockwise.__file__]


# ------------------------------------------------------------------ class


def test_class_identity():
    cls = clean.VSKModulePyThread
    assert type(cls) is type
    assert cls.__name__ == "VSKModulePyThread"
    assert cls.__qualname__ == "VSKModulePyThread"
    assert cls.__module__ == "veskari.clean_veskari"
    assert cls.__doc__ is None
    assert cls.__mro__ == (cls, nn.Module, object)
    assert cls.__bases__ == (nn.Module,)
    assert "__orig_bases__" not in vars(cls)


def test_class_dict_is_what_a_class_statement_makes():
    class VSKModulePyThread(nn.Module):
        def __init__(self, original_module):
            pass

        def process_and_forward(self, *args2, **kwargs2):
            pass

        def process_and_pre(self, *args, **kwargs):
            pass

        def forward(self, *args, **kwargs):
            pass

    # Less what 3.13's compiler adds to every class statement's namespace.
    statement = [k for k in vars(VSKModulePyThread)
                 if k not in ("__firstlineno__", "__static_attributes__")]
    assert list(vars(clean.VSKModulePyThread)) == statement
    assert list(vars(clean.VSKModulePyThread)) == [
        "__module__", "__init__", "process_and_forward", "process_and_pre", "forward",
        "__doc__"]
    assert vars(clean.VSKModulePyThread)["__module__"] == "veskari.clean_veskari"


def test_instances_are_modules():
    made = clean.VSKModulePyThread(VSKLayer())
    assert isinstance(made, nn.Module)
    assert made.training is True
    assert made.eval() is made and made.training is False


# -------------------------------------------- wiring through module globals


def _network_with_block_member():
    return Holder(block=VSKLayer())


def _network_with_block_child():
    return nn.Sequential(nn.Identity(), VSKLayer())


def _tracked(network):
    """The walk returns a tracked block unvisited; the parent then converts
    it through the lookup function."""
    def build():
        globals_veskari.pc.set_modules_to_track([VSKLayer])
        return network()
    return build


def test_rebound_module_type_makes_every_conversion():
    made = []

    def fake(module):
        made.append(module)
        return nn.Identity()

    clean.ModuleType = fake
    block = VSKLayer()
    result = clean.make_module(block)
    assert made == [block] and type(result) is nn.Identity

    net = _network_with_block_child()
    inner = net[1]
    assert clean.refresh_net(net) is net
    assert made[1] is inner
    assert type(net[1]) is nn.Identity


def test_rebound_refresh_vsk_is_used_by_entry_point_and_recursion():
    calls = []
    original = clean.refresh_vsk

    def spy(net, depth, name_so_far, converted_list):
        calls.append((net, depth, name_so_far, list(converted_list)))
        return original(net, depth, name_so_far, converted_list)

    clean.refresh_vsk = spy
    inner = nn.Linear(1, 1)
    net = nn.Sequential(inner)
    assert clean.refresh_net(net) is net
    assert calls == [(net, 0, "", []), (inner, 1, "[0]", ["[0]"])]


def test_rebound_refresh_vsk_result_is_returned_and_set():
    sentinel = nn.Identity()
    clean.refresh_vsk = lambda net, depth, name, converted: sentinel
    assert clean.refresh_net(nn.Linear(1, 1)) is sentinel


@pytest.mark.parametrize("name, network, key", [
    ("get_pretrained_vsk_var", _tracked(_network_with_block_child), "1"),
    ("get_pretrained_vsk_attr", _tracked(_network_with_block_member), "block"),
])
def test_rebound_lookup_fetches_the_block(name, network, key):
    calls = []
    replacement = VSKLayer()

    def lookup(net, member):
        calls.append((net, member))
        return replacement

    setattr(clean, name, lookup)
    net = network()
    clean.refresh_net(net)
    assert calls == [(net, key)]
    converted = net.get_submodule(key)
    assert type(converted) is clean.VSKModulePyThread
    assert converted.layer_array is replacement.layer_array


def test_rebound_make_module_is_used_by_the_walk():
    clean.make_module = lambda module: nn.Identity()
    net = _network_with_block_member()
    clean.refresh_net(net)
    assert type(net.block) is nn.Identity


def test_rebound_doing_threading_switches_forward_to_threads():
    started = []

    class Recording(threading.Thread):
        def start(self):
            started.append(self)
            super().start()

    clean.Thread = Recording
    made = clean.make_module(VSKLayer(layers=[nn.Identity()]))
    x = torch.ones(2)
    assert torch.equal(made(x), x) and started == []
    clean.doing_threading = True
    assert torch.equal(made(x), x) and len(started) == 1
    clean.doing_threading = False
    made(x)
    assert len(started) == 1


def test_rebound_gvs_is_read_by_walk_and_forward():
    settings = CountingSettings(activations=[lambda value: value * 0])
    clean.GVS = types.SimpleNamespace(pc=settings)
    clean.refresh_vsk(nn.Identity(), 0, "", [])
    assert settings.calls[:2] == ["get_extra_verbose", "get_modules_to_track"]
    assert "get_module_names_to_not_save" in settings.calls
    settings.calls.clear()

    made = clean.make_module(VSKLayer(layers=[nn.Identity(), nn.Identity()]))
    x = torch.tensor([[1.0, 2.0]])
    assert torch.equal(made(x), x)  # the dendrite's activated value is zero
    assert settings.calls == ["get_vsk_forward_function"]


def test_rebound_nn_decides_what_is_a_container():
    fake_nn = types.SimpleNamespace(Sequential=Holder, ModuleList=nn.ModuleList,
                                    Module=nn.Module)
    clean.nn = fake_nn
    # A Holder now takes the container walk: its named_children are visited.
    inner = nn.Linear(1, 1)
    found = []
    clean.refresh_vsk(Holder(a=inner), 0, "", found)
    assert found == ["[a]"]


# ------------------------------------------------------ deleted globals


def _forward_of(block):
    made = clean.make_module(block)
    return lambda: made(torch.ones(1, 2))


def _threaded_forward():
    call = _forward_of(VSKLayer())
    clean.doing_threading = True
    return call


def _cascade_forward():
    return _forward_of(VSKLayer(layers=[nn.Identity(), nn.Identity()]))


DELETIONS = [
    ("ModuleType", lambda: (lambda: clean.make_module(VSKLayer()))),
    ("VSKModulePyThread", lambda: (lambda: clean.make_module(VSKLayer()))),
    ("refresh_vsk", lambda: (lambda: clean.refresh_net(nn.Linear(1, 1)))),
    ("make_module", lambda: (lambda: clean.refresh_net(_network_with_block_member()))),
    ("get_pretrained_vsk_attr",
     lambda: (lambda net: lambda: clean.refresh_net(net))(_tracked(_network_with_block_member)())),
    ("get_pretrained_vsk_var",
     lambda: (lambda net: lambda: clean.refresh_net(net))(_tracked(_network_with_block_child)())),
    ("GVS", lambda: (lambda: clean.refresh_net(nn.Linear(1, 1)))),
    ("nn", lambda: (lambda: clean.refresh_net(nn.Linear(1, 1)))),
    ("doing_threading", lambda: _forward_of(VSKLayer())),
    ("Thread", _threaded_forward),
    ("GVS", _cascade_forward),
]


@pytest.mark.parametrize("name, prepare", DELETIONS,
                         ids=[f"{name}-{i}" for i, (name, _) in enumerate(DELETIONS)])
def test_deleted_global_raises_name_error(name, prepare):
    call = prepare()
    delattr(clean, name)
    with pytest.raises(NameError) as info:
        call()
    assert str(info.value) == f"name '{name}' is not defined"


@pytest.mark.parametrize("name, prepare", DELETIONS,
                         ids=[f"{name}-{i}" for i, (name, _) in enumerate(DELETIONS)])
def test_deleted_global_falls_back_to_builtins(name, prepare, monkeypatch):
    call = prepare()
    value = getattr(clean, name)
    delattr(clean, name)
    monkeypatch.setattr(builtins, name, value, raising=False)
    call()


@pytest.mark.parametrize("in_builtins_module, in_callers_builtins", [(True, False),
                                                                     (False, True)],
                         ids=["builtins_module", "callers_builtins"])
def test_fallback_is_the_builtins_module_whatever_the_caller_runs_with(
        monkeypatch, in_builtins_module, in_callers_builtins):
    """As for a function written in Python: module namespace, then the
    builtins module, not the builtins of the calling code."""
    made = []

    def fake(module):
        made.append(module)
        return "made"

    block = VSKLayer()
    del clean.ModuleType
    if in_builtins_module:
        monkeypatch.setattr(builtins, "ModuleType", fake, raising=False)
    scope = {"__builtins__": {"ModuleType": fake} if in_callers_builtins else {},
             "clean": clean, "block": block}
    if in_builtins_module:
        exec("result = clean.make_module(block)", scope)
        assert scope["result"] == "made" and made == [block]
    else:
        with pytest.raises(NameError) as info:
            exec("result = clean.make_module(block)", scope)
        assert str(info.value) == "name 'ModuleType' is not defined"
        assert made == []


def test_global_in_builtins_is_shadowed_by_the_module(monkeypatch):
    monkeypatch.setattr(builtins, "ModuleType", lambda module: "from builtins", raising=False)
    assert type(clean.make_module(VSKLayer())) is clean.VSKModulePyThread


# --------------------------------------------- once per process, one interpreter


def _module_def(module=clean):
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.argtypes = [ctypes.py_object]
    get_def.restype = ctypes.c_void_p
    address = get_def(module)
    assert address
    return address


def _exec_def(module, address):
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    return exec_def(module, address)


@pytest.mark.parametrize("name", ["clean_veskari", "blockwise_veskari"])
def test_executing_the_body_on_another_module_object_is_refused(name):
    module = importlib.import_module("veskari." + name)
    before = list(vars(module))
    other = types.ModuleType(module.__name__)
    with pytest.raises(RuntimeError) as info:
        _exec_def(other, _module_def(module))
    assert str(info.value) == (f"Module '{name}' has already been imported. "
                               "Re-initialisation is not supported.")
    assert [k for k in vars(other) if not k.startswith("__")] == []
    assert sys.modules[module.__name__] is module and list(vars(module)) == before


@pytest.mark.parametrize("how", ["exec_def", "loader"])
def test_running_the_body_again_on_the_same_module_does_nothing(how):
    clean.doing_threading = marker = object()
    before = dict(vars(clean))
    if how == "exec_def":
        assert _exec_def(clean, _module_def()) == 0
    else:  # loading again gives back the same module
        again = importlib.util.module_from_spec(clean.__spec__)
        assert again is clean
        clean.__spec__.loader.exec_module(again)
    assert clean.doing_threading is marker
    assert list(vars(clean)) == list(before)
    assert all(vars(clean)[k] is v for k, v in before.items())


# -------------------------------------------------------- import failures


@pytest.mark.parametrize("blocked", [
    "veskari.globals_veskari", "torch", "torch.nn", "copy", "pdb", "threading"])
def test_import_fails_when_a_dependency_cannot_be_imported(blocked):
    result = run_stubbed(f"""
        parent, _, child = {blocked!r}.rpartition(".")
        if parent and hasattr(sys.modules.get(parent), child):
            delattr(sys.modules[parent], child)
        sys.modules[{blocked!r}] = None
        try:
            import veskari.clean_veskari
        except ImportError as error:
            print(type(error).__name__, "|", error)
        else:
            print("imported")
        print("veskari.clean_veskari" in sys.modules)
    """)
    assert result.returncode == 0, tail(result)
    lines = result.stdout.splitlines()
    assert lines == [f"ModuleNotFoundError | import of {blocked} halted; None in sys.modules",
                     "False"], tail(result)


def test_import_fails_when_the_settings_module_is_not_found():
    """The from-import finds neither the attribute nor the module table entry."""
    result = run_child("""
        import sys

        class Refuse:
            def find_spec(self, name, path=None, target=None):
                if name == "veskari.globals_veskari":
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                return None

        sys.meta_path.insert(0, Refuse())
        import veskari
        del veskari.__getattr__  # else the package's lazy attribute tries the import itself
        try:
            import veskari.clean_veskari
        except ImportError as error:
            print(type(error).__name__, "|", error)
        print(sorted(k for k in sys.modules if k.startswith(("veskari", "torch"))))
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout.splitlines() == [
        "ImportError | cannot import name globals_veskari", "['veskari']"], tail(result)


def test_import_with_the_real_dependencies_reads_no_setting_and_prints_nothing():
    result = run_child("""
        from veskari import globals_veskari as GVS

        class Untouchable:
            def __getattr__(self, name):
                raise AssertionError("setting read at import: " + name)

        GVS.pc = Untouchable()
        import veskari.clean_veskari as clean
        print("imported", clean.GVS is GVS)
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout == "imported True\n", tail(result)


def test_stub_dependencies_are_bound_without_being_used():
    result = run_stubbed("""
        import veskari.clean_veskari as clean
        assert clean.GVS is gvs and clean.torch is torch and clean.nn is nn
        assert clean.VSKModulePyThread.__mro__ == (clean.VSKModulePyThread, Module, object)
        print("ok")
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout == "ok\n", tail(result)


@pytest.mark.parametrize("setup, name, expected", [
    ("del veskari.globals_veskari", "GVS", "gvs"),
    ("del torch.nn", "nn", "nn"),
], ids=["settings", "torch.nn"])
def test_import_falls_back_to_the_module_table(setup, name, expected):
    """The package lacks the attribute, but the module is already imported."""
    result = run_stubbed(f"""
        {setup}
        import veskari.clean_veskari as clean
        print(clean.{name} is {expected})
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout == "True\n", tail(result)


def test_import_fails_when_threading_has_no_thread():
    result = run_stubbed("""
        import pdb, copy
        sys.modules["threading"] = types.ModuleType("threading")
        try:
            import veskari.clean_veskari
        except ImportError as error:
            print(type(error).__name__, "|", error)
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout == "ImportError | cannot import name Thread\n", tail(result)


@pytest.mark.parametrize("name", ["print", "super"])
def test_import_fails_without_a_needed_builtin(name):
    result = run_stubbed(f"""
        import builtins
        del builtins.{name}
        try:
            import veskari.clean_veskari
        except NameError as error:
            sys.stdout.write("NameError | " + str(error) + "\\n")
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout == f"NameError | name '{name}' is not defined\n", tail(result)


def test_module_enters_the_table_under_its_full_name():
    result = run_stubbed(f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location("clean_veskari", {clean.__file__!r})
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(sys.modules["veskari.clean_veskari"] is module, module.__name__)
        print(module.VSKModulePyThread.__module__, module.refresh_net.__module__)
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout == ("True clean_veskari\n"
                             "veskari.clean_veskari veskari.clean_veskari\n"), tail(result)


# ------------------------------------------------------- class creation


def test_class_creation_goes_through_prepare_and_the_metaclass():
    result = run_stubbed("""
        calls = []

        class Namespace(dict):
            def __setitem__(self, key, value):
                calls.append(("set", key))
                super().__setitem__(key, value)

        class Meta(type):
            @classmethod
            def __prepare__(meta, name, bases):
                calls.append(("prepare", name, [b.__name__ for b in bases]))
                return Namespace()

            def __new__(meta, name, bases, namespace):
                calls.append(("new", name, type(namespace).__name__))
                return super().__new__(meta, name, bases, dict(namespace))

        class Base(metaclass=Meta):
            def __init_subclass__(cls):
                calls.append(("init_subclass", cls.__name__))

        calls.clear()
        nn.Module = Base
        import veskari.clean_veskari as clean
        assert type(clean.VSKModulePyThread) is Meta
        for call in calls:
            print(call)
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout.splitlines() == [
        "('prepare', 'VSKModulePyThread', ['Base'])",
        "('set', '__module__')",
        "('set', '__qualname__')",
        "('set', '__init__')",
        "('set', 'process_and_forward')",
        "('set', 'process_and_pre')",
        "('set', 'forward')",
        "('new', 'VSKModulePyThread', 'Namespace')",
        "('init_subclass', 'VSKModulePyThread')",
    ], tail(result)


def test_class_creation_resolves_mro_entries():
    result = run_stubbed("""
        class Real:
            pass

        class Alias:
            def __mro_entries__(self, bases):
                print("entries", bases == (alias,))
                return (Real,)

        alias = Alias()
        nn.Module = alias
        import veskari.clean_veskari as clean
        cls = clean.VSKModulePyThread
        print(cls.__bases__ == (Real,), cls.__orig_bases__ == (alias,))
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout.splitlines() == ["entries True", "True True"], tail(result)


@pytest.mark.parametrize("entries, message", [
    ("[Module]", "__mro_entries__ must return a tuple"),
    ("(A, B)", "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
               "subclass of the metaclasses of all its bases"),
])
def test_class_creation_failures_fail_the_import(entries, message):
    result = run_stubbed(f"""
        class MetaA(type):
            pass

        class MetaB(type):
            pass

        class A(metaclass=MetaA):
            pass

        class B(metaclass=MetaB):
            pass

        class Alias:
            def __mro_entries__(self, bases):
                return {entries}

        nn.Module = Alias()
        try:
            import veskari.clean_veskari
        except TypeError as error:
            print("TypeError |", error)
        print("veskari.clean_veskari" in sys.modules)
    """)
    assert result.returncode == 0, tail(result)
    assert result.stdout.splitlines() == [f"TypeError | {message}", "False"], tail(result)


# ------------------------------------------------------- module definition


class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t), ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.c_void_p), ("m_traverse", ctypes.c_void_p),
        ("m_clear", ctypes.c_void_p), ("m_free", ctypes.c_void_p),
    ]


class ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


@pytest.mark.parametrize("module_name", ["clean_veskari", "blockwise_veskari"])
def test_module_definition_is_multi_phase_without_methods_or_state(module_name):
    module = importlib.import_module(f"veskari.{module_name}")
    definition = ModuleDef.from_address(_module_def(module))
    assert definition.m_name == module_name.encode()
    assert definition.m_doc is None
    assert definition.m_size == 0
    assert not definition.m_methods
    slots = []
    address = definition.m_slots
    while True:
        slot = ModuleDefSlot.from_address(address)
        if slot.slot == 0:
            break
        slots.append(slot.slot)
        address += ctypes.sizeof(ModuleDefSlot)
    assert sorted(slots) == [1, 2]  # Py_mod_create and Py_mod_exec


# ---------------------------------------------------------- shared library


def _defined_functions(path):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return sorted(line.split()[-1] for line in out.splitlines()
                  if len(line.split()) == 3 and line.split()[1] in {"T", "t", "W", "w", "i"})


@pytest.mark.parametrize("module_name", ["clean_veskari", "blockwise_veskari"])
def test_shared_library_exports_only_its_init_function(module_name):
    module = importlib.import_module(f"veskari.{module_name}")
    assert _defined_functions(module.__file__) == [f"PyInit_{module_name}"]
