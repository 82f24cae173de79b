"""The native converters against their pure-Python statement, veskari.reference.

Per example network: the same outputs (sequential and threaded), path lists,
verbose lines, converted structure and state. Per converted layer and per
walk: the same reads and calls in the same order, recorded on stand-in
parts (forward) or on the module protocol and the settings getters (walks).
"""
import contextlib
import copy
import io
import threading
import types

import pytest
import torch
from torch import nn

from helpers import CountingSettings
from networks import ALL_NETWORKS
from veskari import blockwise_veskari, clean_veskari, reference
from veskari import globals_veskari as GVS

IMPLEMENTATIONS = {"native": (blockwise_veskari, clean_veskari),
                   "oracle": (reference, reference)}


def same_name(text):
    # The oracle's class has its own name; everything else must match.
    return text.replace("PyModulePyThread", "VSKModulePyThread")


# ------------------------------------------------------ outputs, paths, lines


def convert(net, blockwise, clean):
    """Both walks, verbose, with lists we keep: (net, path lists, lines)."""
    lists = [], []
    GVS.pc.set_extra_verbose(True)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        net = blockwise.optimize_module(net, 0, "", lists[0])
        net = clean.refresh_vsk(net, 0, "", lists[1])
    GVS.pc.reset()
    return net, lists, same_name(out.getvalue()).splitlines()


@pytest.fixture(scope="module", params=sorted(ALL_NETWORKS))
def converted(request):
    trained, args = ALL_NETWORKS[request.param]()
    return trained, args, {name: convert(copy.deepcopy(trained), *modules)
                           for name, modules in IMPLEMENTATIONS.items()}


def test_walks_record_the_same_paths_and_print_the_same_lines(converted):
    _, _, got = converted
    assert got["native"][1] == got["oracle"][1]
    assert got["native"][2] == got["oracle"][2]


def test_converted_networks_have_the_same_structure_and_state(converted):
    _, _, got = converted
    native, oracle = got["native"][0], got["oracle"][0]
    assert ([(name, type(m).__name__) for name, m in native.named_modules()]
            == [(name, same_name(type(m).__name__)) for name, m in oracle.named_modules()])
    native_state, oracle_state = native.state_dict(), oracle.state_dict()
    assert list(native_state) == list(oracle_state)
    assert all(torch.equal(native_state[k], oracle_state[k]) for k in native_state)


@pytest.mark.parametrize("threaded", [False, True], ids=["sequential", "threaded"])
def test_outputs_agree(converted, threaded, monkeypatch):
    # Both against the trained network: test_end_to_end.py.
    _, args, got = converted
    outputs = {}
    for name, (_, clean) in IMPLEMENTATIONS.items():
        monkeypatch.setattr(clean, "doing_threading", threaded)
        with torch.no_grad():
            outputs[name] = got[name][0](*args)
    torch.testing.assert_close(outputs["native"], outputs["oracle"], rtol=0, atol=0)
    assert outputs["native"].requires_grad == outputs["oracle"].requires_grad


# ------------------------------------------------------------------ call order

EVENTS = []
# In threaded runs only the calling thread's events count: the workers'
# interleave freely.
RECORDING = types.SimpleNamespace(main_only=False)


def log(*event):
    if RECORDING.main_only and threading.current_thread() is not threading.main_thread():
        return
    EVENTS.append(tuple(plain(e) for e in event))


def plain(value):
    if isinstance(value, (str, int, bool, type(None))):
        return value
    if isinstance(value, (tuple, list)):
        return tuple(plain(v) for v in value)
    if isinstance(value, slice):
        return ("slice", value.start, value.stop, value.step)
    if isinstance(value, torch.device):
        return str(value)
    if not isinstance(value, type):
        value = type(value)
    return same_name(value.__name__)


def read_kind(value):
    # Reads that fetch a bound method are told apart from other reads.
    return "method" if isinstance(value, (types.MethodType, types.BuiltinMethodType)) else "read"


def recording_settings():
    def activation(value):
        log("activation")
        return torch.sigmoid(value)
    return CountingSettings(activations=[activation], record=lambda name: log("settings", name))


class LogTensor(torch.Tensor):
    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        name = getattr(func, "__name__", "?")
        if name == "__get__":  # a property such as `device`
            name = getattr(getattr(func, "__self__", None), "__name__", name)
        log("tensor", name, *args[1:])
        return super().__torch_function__(func, types, args, kwargs or {})


def log_tensor(t):
    return t.as_subclass(LogTensor)


class Branch(nn.Module):
    def __init__(self, k):
        super().__init__()
        self.k = k
        self.register_forward_pre_hook(lambda mod, args: log("hook", mod.k))

    def forward(self, x, scale=1.0):
        log("branch", self.k, ["scale"] if scale != 1.0 else [])
        with torch._C.DisableTorchFunctionSubclass():
            return log_tensor(torch.tanh(x * (self.k + 1) * scale))


class Proc:
    def __init__(self, tag):
        self.tag = tag

    def __ne__(self, other):
        log("proc !=", self.tag)
        return True

    def pre(self, *args, **kwargs):
        log("proc.pre", self.tag, len(args), sorted(kwargs))
        return (args, kwargs) if self.tag != "main" else args[0]

    def post(self, value):
        log("proc.post", self.tag)
        return value


class RecThread(threading.Thread):
    def __init__(self, *args, **kwargs):
        log("Thread", len(args), sorted(kwargs), len(kwargs["args"]), sorted(kwargs["kwargs"]))
        super().__init__(*args, **kwargs)

    def start(self):
        log("start")
        super().start()

    def join(self, *args):
        log("join")
        super().join(*args)


class Block:
    """Stand-in block layer that records each attribute read."""

    def __init__(self, n, neurons=3):
        gen = torch.Generator().manual_seed(0)
        object.__setattr__(self, "_attrs", dict(
            layer_array=nn.Sequential(*[Branch(k) for k in range(n)]),
            processor_array=[Proc(k) if k % 2 == 0 else None for k in range(n - 1)]
            + [Proc("main")],
            skip_weights=[log_tensor(torch.zeros(1, 1, 1))]
            + [log_tensor(torch.randn(k, neurons, generator=gen)) for k in range(1, n)],
            node_index=log_tensor(torch.tensor(1)),
            num_cycles=log_tensor(torch.tensor(n - 1)),
            view_tuple=log_tensor(torch.tensor([1, -1]))))

    def __getattr__(self, name):
        log("read", "block." + name)
        return object.__getattribute__(self, "_attrs")[name]


def forward_trace(clean, threaded, n, monkeypatch):
    """Events of one forward of a layer built by `clean` over recording parts."""
    class Recorded(clean.ModuleType):
        def __getattribute__(self, name):
            value = super().__getattribute__(name)
            if not name.startswith("_"):
                log(read_kind(value), "self." + name)
            return value

    del EVENTS[:]
    with monkeypatch.context() as patch:
        patch.setattr(GVS, "pc", recording_settings())
        patch.setattr(clean, "Thread", RecThread)
        patch.setattr(clean, "doing_threading", threaded)
        patch.setattr(RECORDING, "main_only", threaded)
        layer = Recorded(Block(n))
        x = log_tensor(torch.randn(2, 3, generator=torch.Generator().manual_seed(1)))
        with torch.no_grad():
            out = layer.forward(x, scale=0.5)
    return list(EVENTS), out.as_subclass(torch.Tensor)


@pytest.mark.parametrize("threaded", [False, True], ids=["sequential", "threaded"])
@pytest.mark.parametrize("n", [1, 2, 4])
def test_forward_makes_the_same_reads_and_calls_in_the_same_order(n, threaded, monkeypatch):
    native, native_out = forward_trace(clean_veskari, threaded, n, monkeypatch)
    oracle, oracle_out = forward_trace(reference, threaded, n, monkeypatch)
    assert native == oracle
    assert torch.equal(native_out, oracle_out)


def record_module_protocol(patch):
    """Logs reads and the protocol calls the walks make on modules."""
    def patched(cls, name, make):
        patch.setattr(cls, name, make(getattr(cls, name)))

    def reads(inherited):
        def wrapper(self, name):
            value = inherited(self, name)
            if not name.startswith("_"):
                log(read_kind(value), type(self), name)
            return value
        return wrapper

    def calls(label):
        def make(inherited):
            def wrapper(self, *args, **kwargs):
                log(label, type(self), *[a if isinstance(a, (str, int)) else type(a)
                                         for a in args])
                return inherited(self, *args, **kwargs)
            return wrapper
        return make

    patched(nn.Module, "__getattribute__", reads)
    for name in ("__dir__", "named_children", "get_submodule", "__setattr__", "__delattr__",
                 "__ne__", "register_buffer", "parameters"):
        patched(nn.Module, name, calls(name))
    for name in ("__getitem__", "__len__", "append"):
        patched(nn.ParameterList, name, calls("ParameterList." + name))
    for cls in (nn.Sequential, nn.ModuleList):
        patched(cls, "__getitem__", calls(cls.__name__ + ".__getitem__"))


def walk_traces(blockwise, clean, network, monkeypatch):
    net, _ = ALL_NETWORKS[network]()
    traces = []
    for walk in (blockwise.blockwise_network, clean.refresh_net):
        del EVENTS[:]
        with monkeypatch.context() as patch:
            patch.setattr(GVS, "pc", recording_settings())
            record_module_protocol(patch)
            net = walk(net)
        traces.append(list(EVENTS))
    return traces


@pytest.mark.parametrize("network", ["mlp", "recurrent"])
def test_walks_make_the_same_reads_and_calls_in_the_same_order(network, monkeypatch):
    native = walk_traces(blockwise_veskari, clean_veskari, network, monkeypatch)
    oracle = walk_traces(reference, reference, network, monkeypatch)
    assert native[0] == oracle[0], "block-wise walk"
    assert native[1] == oracle[1], "clean walk"
