"""The function objects of both native converters.

Every module-level function and every method behaves like a function written
in Python: names, signatures, argument binding with the interpreter's own
error texts, ``*args``/``**kwargs`` collection, binding through an instance
or the class, pickling by reference, and no crash on odd arguments.
"""
import copy
import importlib
import inspect
import pickle
import types

import pytest
import torch
from torch import nn

import veskari.blockwise_veskari as bw
import veskari.clean_veskari as clean

CLEAN = "veskari.clean_veskari"
BLOCKWISE = "veskari.blockwise_veskari"

# (module, path in the module, signature as written in the source)
FUNCTIONS = [
    (CLEAN, "VSKModulePyThread.__init__", "(self, original_module)"),
    (CLEAN, "VSKModulePyThread.process_and_forward", "(self, *args2, **kwargs2)"),
    (CLEAN, "VSKModulePyThread.process_and_pre", "(self, *args, **kwargs)"),
    (CLEAN, "VSKModulePyThread.forward", "(self, *args, **kwargs)"),
    (CLEAN, "get_pretrained_vsk_attr", "(pretrained_dendrite, member)"),
    (CLEAN, "get_pretrained_vsk_var", "(pretrained_dendrite, submodule_id)"),
    (CLEAN, "make_module", "(module)"),
    (CLEAN, "refresh_vsk", "(net, depth, name_so_far, converted_list)"),
    (CLEAN, "refresh_net", "(pretrained_dendrite)"),
    (BLOCKWISE, "VSKLayer.__init__",
     "(self, layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites,"
     " node_index, num_cycles, view_tuple)"),
    (BLOCKWISE, "unWrap_params", "(model)"),
    (BLOCKWISE, "convert_to_vsk_layer_block", "(pretrained_dendrite)"),
    (BLOCKWISE, "get_pretrained_vsk_attr", "(pretrained_dendrite, member)"),
    (BLOCKWISE, "get_pretrained_vsk_var", "(pretrained_dendrite, submodule_id)"),
    (BLOCKWISE, "optimize_module", "(net, depth, name_so_far, converted_list)"),
    (BLOCKWISE, "blockwise_network", "(net)"),
]

CASE_IDS = [f"{module.rsplit('.', 1)[1]}.{path}" for module, path, _ in FUNCTIONS]


_module = importlib.import_module


def resolve(module_name, path):
    """The object at ``path`` in the module."""
    obj = _module(module_name)
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


def twin(path, signature):
    """A Python function with the same signature and qualified name."""
    name = path.rsplit(".", 1)[-1]
    namespace = {}
    exec(f"def {name}{signature}:\n    return None\n", namespace)
    function = namespace[name]
    function.__qualname__ = path
    return function


def parameters(signature):
    names = [p.strip() for p in signature.strip("()").split(",")]
    named = [p for p in names if not p.startswith("*")]
    return named, any(p.startswith("*") and not p.startswith("**") for p in names), \
        any(p.startswith("**") for p in names)


# --------------------------------------------------------------- identity


@pytest.mark.parametrize("module_name, path, signature", FUNCTIONS, ids=CASE_IDS)
def test_names_module_and_doc(module_name, path, signature):
    function = resolve(module_name, path)
    assert function.__name__ == path.rsplit(".", 1)[-1]
    assert function.__qualname__ == path
    assert function.__module__ == module_name
    assert function.__doc__ is None


@pytest.mark.parametrize("module_name, path, signature", FUNCTIONS, ids=CASE_IDS)
def test_signature_lists_the_parameters(module_name, path, signature):
    function = resolve(module_name, path)
    sig = inspect.signature(function)
    assert str(sig) == signature
    named, _, _ = parameters(signature)
    for name in named:
        parameter = sig.parameters[name]
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
    assert sig == inspect.signature(twin(path, signature))


@pytest.mark.parametrize("module_name, class_name, signature", [
    (CLEAN, "VSKModulePyThread", "(original_module)"),
    (BLOCKWISE, "VSKLayer",
     "(layer_array, processor_array, dendrites_to_top, dendrites_to_dendrites, node_index,"
     " num_cycles, view_tuple)"),
], ids=["VSKModulePyThread", "VSKLayer"])
def test_class_signature_drops_self(module_name, class_name, signature):
    cls = resolve(module_name, class_name)
    assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("module_name, path, signature", FUNCTIONS, ids=CASE_IDS)
def test_function_lives_in_its_module(module_name, path, signature):
    """Module functions are module attributes; methods are in the class dict."""
    function = resolve(module_name, path)
    module = _module(module_name)
    if "." in path:
        class_name, method = path.split(".")
        assert vars(getattr(module, class_name))[method] is function
    else:
        assert vars(module)[path] is function


# ------------------------------------------------------- argument binding


def _binding_failures(signature):
    """Calls that must fail while binding: (id, args, kwargs)."""
    named, varargs, varkw = parameters(signature)
    p = len(named)
    cases = [("nothing", (), {})]
    for missing in (1, 2, 3):
        if missing <= p:
            cases.append((f"missing_{missing}", (None,) * (p - missing), {}))
    if not varargs:
        cases.append(("surplus_1", (None,) * (p + 1), {}))
        cases.append(("surplus_3", (None,) * (p + 3), {}))
    cases.append(("duplicate", (None,) * p, {named[0]: None}))
    if p >= 2:
        cases.append(("duplicate_last", (None,) * p, {named[-1]: None}))
    if not varkw:
        cases.append(("unexpected", (None,) * p, {"zzz": None}))
        cases.append(("unexpected_before_surplus", (None,) * (p + 1), {"zzz": None}))
    # Keywords only, the first parameter left out.
    cases.append(("keywords_missing_first", (), {n: None for n in named[1:]}))
    return cases


BINDING_CASES = [
    pytest.param(module_name, path, signature, args, kwargs, id=f"{case_id}-{label}")
    for (module_name, path, signature), case_id in zip(FUNCTIONS, CASE_IDS, strict=True)
    for label, args, kwargs in _binding_failures(signature)
]


@pytest.mark.parametrize("module_name, path, signature, args, kwargs", BINDING_CASES)
def test_binding_errors_match_the_interpreter(module_name, path, signature, args, kwargs):
    function = resolve(module_name, path)
    with pytest.raises(TypeError) as expected:
        twin(path, signature)(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        function(*args, **kwargs)
    assert str(actual.value) == str(expected.value)


METHODS = [(m, p, s) for m, p, s in FUNCTIONS if "." in p]

BOUND_CASES = [
    pytest.param(module_name, path, signature, args, kwargs, id=f"{path}-{label}")
    for module_name, path, signature in METHODS
    for label, args, kwargs in _binding_failures(signature)
    if args  # the instance fills the first parameter
]


@pytest.mark.parametrize("module_name, path, signature, args, kwargs", BOUND_CASES)
def test_binding_errors_through_a_bound_method(module_name, path, signature, args, kwargs):
    """The instance counts as the first positional argument, as in Python."""
    function = resolve(module_name, path)
    cls = getattr(_module(module_name), path.split(".")[0])
    instance = cls.__new__(cls)
    with pytest.raises(TypeError) as expected:
        types.MethodType(twin(path, signature), instance)(*args[1:], **kwargs)
    with pytest.raises(TypeError) as actual:
        function.__get__(instance, cls)(*args[1:], **kwargs)
    assert str(actual.value) == str(expected.value)


def test_keyword_names_match_by_equality():
    class Name(str):
        pass

    net = nn.Identity()
    keywords = {"".join(["n", "et"]): net, Name("depth"): 0, "name_" + "so_far": "",
                Name("converted_list"): []}
    assert clean.refresh_vsk(**keywords) is net
    with pytest.raises(TypeError) as info:
        clean.refresh_vsk(net, **{Name("net"): net, "depth": 0, "name_so_far": "",
                                  "converted_list": []})
    assert str(info.value) == "refresh_vsk() got multiple values for argument 'net'"


@pytest.mark.parametrize("call, message", [
    (lambda: clean.refresh_vsk(None, 0, ""),
     "refresh_vsk() missing 1 required positional argument: 'converted_list'"),
    (lambda: clean.refresh_vsk(None, 0),
     "refresh_vsk() missing 2 required positional arguments: 'name_so_far' and "
     "'converted_list'"),
    (lambda: clean.refresh_vsk(None),
     "refresh_vsk() missing 3 required positional arguments: 'depth', 'name_so_far', and "
     "'converted_list'"),
    (lambda: clean.refresh_vsk(),
     "refresh_vsk() missing 4 required positional arguments: 'net', 'depth', 'name_so_far', "
     "and 'converted_list'"),
    (lambda: clean.refresh_vsk(None, 0, "", [], 5),
     "refresh_vsk() takes 4 positional arguments but 5 were given"),
    (lambda: clean.refresh_vsk(None, 0, "", [], net=None),
     "refresh_vsk() got multiple values for argument 'net'"),
    (lambda: clean.refresh_vsk(None, 0, "", [], 5, net=None),
     "refresh_vsk() got multiple values for argument 'net'"),
    (lambda: clean.refresh_vsk(None, 0, "", [], verbose=True),
     "refresh_vsk() got an unexpected keyword argument 'verbose'"),
    (lambda: clean.make_module(),
     "make_module() missing 1 required positional argument: 'module'"),
    (lambda: clean.make_module(None, None),
     "make_module() takes 1 positional argument but 2 were given"),
    (lambda: clean.refresh_net(None, None),
     "refresh_net() takes 1 positional argument but 2 were given"),
    (lambda: clean.get_pretrained_vsk_attr(),
     "get_pretrained_vsk_attr() missing 2 required positional arguments: "
     "'pretrained_dendrite' and 'member'"),
    (lambda: clean.get_pretrained_vsk_var(None, submodule_id=1, pretrained_dendrite=None),
     "get_pretrained_vsk_var() got multiple values for argument 'pretrained_dendrite'"),
    (lambda: clean.VSKModulePyThread(),
     "VSKModulePyThread.__init__() missing 1 required positional argument: 'original_module'"),
    (lambda: clean.VSKModulePyThread(None, None),
     "VSKModulePyThread.__init__() takes 2 positional arguments but 3 were given"),
    (lambda: clean.VSKModulePyThread(block=None),
     "VSKModulePyThread.__init__() got an unexpected keyword argument 'block'"),
    (lambda: clean.VSKModulePyThread.forward(),
     "VSKModulePyThread.forward() missing 1 required positional argument: 'self'"),
    (lambda: clean.VSKModulePyThread.process_and_pre(None, self=None),
     "VSKModulePyThread.process_and_pre() got multiple values for argument 'self'"),
    (lambda: bw.optimize_module(nn.Module(), 0, ""),
     "optimize_module() missing 1 required positional argument: 'converted_list'"),
    (lambda: bw.optimize_module(nn.Module(), 0, "", [], 5),
     "optimize_module() takes 4 positional arguments but 5 were given"),
    (lambda: bw.blockwise_network(net=nn.Module(), depth=0),
     "blockwise_network() got an unexpected keyword argument 'depth'"),
    (lambda: bw.blockwise_network(nn.Module(), net=nn.Module()),
     "blockwise_network() got multiple values for argument 'net'"),
    (lambda: bw.unWrap_params(),
     "unWrap_params() missing 1 required positional argument: 'model'"),
    (lambda: bw.get_pretrained_vsk_attr(None),
     "get_pretrained_vsk_attr() missing 1 required positional argument: 'member'"),
    (lambda: bw.VSKLayer(1, 2, 3, 4, 5, 6),
     "VSKLayer.__init__() missing 1 required positional argument: 'view_tuple'"),
], ids=lambda value: None if callable(value) else value[:40])
def test_binding_error_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ------------------------------------------------ a tiny converted module


class Recorder(nn.Module):
    """A branch module that returns what it was called with."""

    def forward(self, *args, **kwargs):
        return ("called", args, kwargs)


class PassThrough:
    """A processor whose hooks return their inputs unchanged."""

    def pre(self, *args, **kwargs):
        return args, kwargs

    def post(self, value):
        return value


class Block(nn.Module):
    def __init__(self, n=1, processors=None):
        super().__init__()
        self.layer_array = nn.Sequential(*[Recorder() for _ in range(n)])
        self.processor_array = list(processors) if processors is not None else [None] * n
        self.node_index = torch.tensor(0)
        self.register_buffer("num_cycles", torch.tensor(1))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


@pytest.fixture
def converted():
    return clean.VSKModulePyThread(Block(n=2))


# ------------------------------------------------------- keyword calls


def test_module_functions_accept_keywords_in_any_order():
    seq = nn.Sequential(nn.Sequential(nn.Identity(), nn.ReLU()))
    assert clean.get_pretrained_vsk_attr(member="anything", pretrained_dendrite=None) is None
    assert clean.get_pretrained_vsk_attr(pretrained_dendrite=seq, member="training") is True
    assert clean.get_pretrained_vsk_var(submodule_id="0.1", pretrained_dendrite=seq) is seq[0][1]
    found = []
    net = nn.Linear(2, 2)
    assert clean.refresh_vsk(converted_list=found, name_so_far="", depth=0, net=net) is net
    assert found == []
    assert clean.refresh_net(pretrained_dendrite=net) is net
    made = clean.make_module(module=Block())
    assert type(made) is clean.VSKModulePyThread


def test_methods_accept_keywords(converted):
    block = Block(n=1)
    instance = clean.VSKModulePyThread.__new__(clean.VSKModulePyThread)
    assert clean.VSKModulePyThread.__init__(original_module=block, self=instance) is None
    assert instance.layer_array is block.layer_array
    assert clean.VSKModulePyThread(original_module=block).layer_array is block.layer_array

    outs = [None, None]
    assert converted.process_and_forward(0, outs, 7, key=8) is None
    assert outs[0] == ("called", (7,), {"key": 8})
    assert clean.VSKModulePyThread.process_and_pre(converted, outs, 5, key=6) is None
    assert outs[1] == ("called", (5,), {"key": 6})
    assert clean.VSKModulePyThread.forward(self=converted, key=1) == ("called", (), {"key": 1})


# ------------------------------------------- *args and **kwargs collection


def test_forward_collects_positional_and_keyword_inputs(converted):
    assert converted(1, 2, a=3, b=4) == ("called", (1, 2), {"a": 3, "b": 4})
    assert converted() == ("called", (), {})
    # A keyword named like a collected parameter is just another keyword.
    assert converted(args=1, kwargs=2) == ("called", (), {"args": 1, "kwargs": 2})


def test_keyword_dict_arrives_as_a_new_dict(converted):
    seen = []

    class RecordingThread:
        def __init__(self, *, target, args, kwargs):
            seen.append(kwargs)
            self.call = (target, args, kwargs)

        def start(self):
            target, args, kwargs = self.call
            target(*args, **kwargs)

        def join(self):
            pass

    clean.Thread = RecordingThread
    clean.doing_threading = True
    given = {"a": 1}
    assert converted(**given) == ("called", (), {"a": 1})
    assert len(seen) == 2
    assert seen[0] is seen[1]
    assert seen[0] == given and seen[0] is not given
    given["a"] = 2
    assert seen[0] == {"a": 1}


def test_process_and_forward_collects_everything_after_self(converted):
    outs = [None, None]
    converted.process_and_forward(1, outs, "x", y="z")
    assert outs == [None, ("called", ("x",), {"y": "z"})]


# ---------------------------------------------------------- method binding


@pytest.mark.parametrize("name", ["__init__", "process_and_forward", "process_and_pre",
                                  "forward"])
def test_methods_bind_through_an_instance(converted, name):
    function = vars(clean.VSKModulePyThread)[name]
    bound = getattr(converted, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is converted
    assert bound.__func__ is function
    assert getattr(clean.VSKModulePyThread, name) is function
    assert function.__get__(None, clean.VSKModulePyThread) is function
    assert function.__get__(converted, clean.VSKModulePyThread).__self__ is converted


def test_bound_signatures_drop_self(converted):
    assert str(inspect.signature(converted.forward)) == "(*args, **kwargs)"
    assert str(inspect.signature(converted.process_and_forward)) == "(*args2, **kwargs2)"
    assert str(inspect.signature(converted.__init__)) == "(original_module)"


def test_calling_through_the_class_equals_calling_the_instance(converted):
    assert clean.VSKModulePyThread.forward(converted, 3) == converted.forward(3) == converted(3)


def test_blockwise_init_binds_like_a_method():
    VSKLayer = resolve(BLOCKWISE, "VSKLayer")
    function = vars(VSKLayer)["__init__"]
    assert VSKLayer.__init__ is function
    assert function.__get__(None, VSKLayer) is function


# ----------------------------------------------------------- pickling


@pytest.mark.parametrize("module_name, path, signature", FUNCTIONS, ids=CASE_IDS)
def test_pickle_and_copy_return_the_same_function(module_name, path, signature):
    function = resolve(module_name, path)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    holder = copy.deepcopy({"f": [function]})
    assert holder["f"][0] is function


# ---------------------------------------------------------- odd arguments

HOSTILE = [None, 10 ** 100, -10 ** 100, "", "x.y", b"\xff", 1.5, float("nan"), object(),
           [], {}, (), nn.Module(), torch.tensor([1.0, 2.0]), print, type]
HOSTILE_IDS = ["None", "huge", "minus_huge", "empty_str", "dotted", "bytes", "float", "nan",
               "object", "list", "dict", "tuple", "module", "tensor", "builtin", "type"]


def _survives(call):
    """The call ends in a result or an ordinary exception, never a SystemError."""
    try:
        call()
    except SystemError as error:  # a native function that lost its exception
        pytest.fail(f"SystemError: {error}")
    except Exception:
        pass


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("value", HOSTILE, ids=HOSTILE_IDS)
@pytest.mark.parametrize("module_name, path, signature", FUNCTIONS, ids=CASE_IDS)
def test_odd_arguments_end_in_an_exception_or_a_result(module_name, path, signature, value,
                                                        settings):
    function = resolve(module_name, path)
    named, varargs, _ = parameters(signature)
    _survives(lambda: function(*([value] * len(named))))
    if varargs:
        _survives(lambda: function(*([value] * (len(named) + 3))))
    # The same with the verbose diagnostics on, where arguments are formatted.
    settings.set_extra_verbose(True)
    _survives(lambda: function(*([value] * len(named))))


@pytest.mark.parametrize("value", HOSTILE, ids=HOSTILE_IDS)
def test_odd_arguments_to_a_real_instance(converted, value):
    _survives(lambda: converted.process_and_forward(value, [None, None]))
    _survives(lambda: converted.process_and_forward(0, value))
    _survives(lambda: converted.process_and_forward(value, value, value))
    _survives(lambda: converted.process_and_pre(value))
    _survives(lambda: converted.process_and_pre(value, value))
    _survives(lambda: converted.forward(value))
    _survives(lambda: clean.refresh_vsk(nn.Linear(1, 1), value, "", []))
    _survives(lambda: clean.refresh_vsk(nn.Linear(1, 1), 0, value, []))
    _survives(lambda: clean.refresh_vsk(nn.Sequential(nn.Linear(1, 1)), 0, "", value))
    _survives(lambda: clean.get_pretrained_vsk_attr(converted, value))
    _survives(lambda: clean.get_pretrained_vsk_var(converted, value))


def test_odd_arguments_leave_the_interpreter_usable():
    """After all of the above, the functions still work normally."""
    block = Block(n=2)
    converted = clean.make_module(block)
    assert converted(1) == ("called", (1,), {})
