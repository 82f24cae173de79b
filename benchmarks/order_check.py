"""Compare the order of reads and calls made by native and reference code.

Forward pass: a converted layer is built over recording parts (branch
modules, processors, a settings object, a Thread class, tensors that log
every tensor operation, and a subclass that logs attribute reads on the
layer), run once per implementation, and the two event lists compared.

Walks: a small example network is converted by each implementation while
the module protocol (attribute reads, `__dir__`, `named_children`,
`get_submodule`, `setattr`, `!=`, parameter-list access) and the settings
getters are recorded.

Returns mismatch descriptions; an empty list means the orders agree.
"""
import copy
import os
import sys
import threading
import types

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))

import torch  # noqa: E402
from torch import nn  # noqa: E402

import harness  # noqa: E402
import reference  # noqa: E402
from networks import ALL_NETWORKS  # noqa: E402
from veskari import globals_veskari as GVS  # noqa: E402

EVENTS = []
MAIN_ONLY = [False]  # threaded runs: worker-thread events interleave freely


def log(*event):
    if MAIN_ONLY[0] and threading.current_thread() is not threading.main_thread():
        return
    EVENTS.append(tuple(_plain(e) for e in event))


def _plain(value):
    if isinstance(value, (str, int, bool, type(None))):
        return value
    if isinstance(value, (tuple, list)):
        return tuple(_plain(v) for v in value)
    if isinstance(value, slice):
        return ("slice", value.start, value.stop, value.step)
    if isinstance(value, torch.device):
        return str(value)
    if not isinstance(value, type):
        value = type(value)
    return value.__name__.replace("PyModulePyThread", "VSKModulePyThread")


# ------------------------------------------------------------- forward pass

class LogTensor(torch.Tensor):
    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        name = getattr(func, "__name__", "?")
        if name == "__get__":  # a property such as `device`
            name = getattr(getattr(func, "__self__", None), "__name__", name)
        log("tensor", name, *[a for a in args[1:]])
        return super().__torch_function__(func, types, args, kwargs or {})


def log_tensor(t):
    return t.as_subclass(LogTensor)


class Branch(nn.Module):
    def __init__(self, k):
        super().__init__()
        self.k = k
        self.register_forward_pre_hook(lambda mod, args: log("hook", mod.k))

    def forward(self, x, scale=1.0):
        log("branch", self.k, sorted(["scale"]) if scale != 1.0 else [])
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


class Settings:
    """Records each getter call, then answers like the real settings."""

    def __init__(self, real):
        self.real = real

    def __getattr__(self, name):
        getter = getattr(self.real, name)

        def recorded(*args):
            log("settings", name)
            if name == "get_vsk_forward_function":
                return lambda value: (log("activation"), torch.sigmoid(value))[1]
            return getter(*args)
        return recorded


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
        attrs = dict(
            layer_array=nn.Sequential(*[Branch(k) for k in range(n)]),
            processor_array=[Proc(k) if k % 2 == 0 else None for k in range(n - 1)]
            + [Proc("main")],
            skip_weights=[log_tensor(torch.zeros(1, 1, 1))]
            + [log_tensor(torch.randn(k, neurons, generator=gen)) for k in range(1, n)],
            node_index=log_tensor(torch.tensor(1)),
            num_cycles=log_tensor(torch.tensor(n - 1)),
            view_tuple=log_tensor(torch.tensor([1, -1])))
        object.__setattr__(self, "_attrs", attrs)

    def __getattr__(self, name):
        log("read", "block." + name)
        return object.__getattribute__(self, "_attrs")[name]


def _read_kind(value):
    # Reads that fetch a bound method are told apart: only their timing may
    # move relative to the evaluation of the call's arguments.
    return "method" if isinstance(value, (types.MethodType, types.BuiltinMethodType)) else "read"


def recording_subclass(cls):
    class Recorded(cls):
        def __getattribute__(self, name):
            value = super().__getattribute__(name)
            if not name.startswith("_"):
                log(_read_kind(value), "self." + name)
            return value
    return Recorded


def forward_trace(module_ns, threaded, n):
    del EVENTS[:]
    real_pc, real_thread = GVS.pc, module_ns.Thread
    saved_flag = module_ns.doing_threading
    GVS.pc = Settings(real_pc)
    module_ns.Thread = RecThread
    MAIN_ONLY[0] = threaded
    try:
        cls = recording_subclass(module_ns.ModuleType)
        layer = cls(Block(n))
        x = log_tensor(torch.randn(2, 3, generator=torch.Generator().manual_seed(1)))
        module_ns.doing_threading = threaded
        with torch.no_grad():
            out = layer.forward(x, scale=0.5)
    finally:
        GVS.pc, module_ns.Thread = real_pc, real_thread
        module_ns.doing_threading = saved_flag
        MAIN_ONLY[0] = False
    return list(EVENTS), out.as_subclass(torch.Tensor)


# ------------------------------------------------------------------- walks

def _patch(cls, name, make):
    original = cls.__dict__.get(name)
    inherited = getattr(cls, name)
    setattr(cls, name, make(inherited))
    return cls, name, original


def _unpatch(patches):
    for cls, name, original in reversed(patches):
        if original is None:
            delattr(cls, name)
        else:
            setattr(cls, name, original)


def _walk_patches():
    def plain_getattribute(inherited):
        def wrapper(self, name):
            value = inherited(self, name)
            if not name.startswith("_"):
                log(_read_kind(value), type(self), name)
            return value
        return wrapper

    def recorded(label):
        def make(inherited):
            def wrapper(self, *args, **kwargs):
                log(label, type(self), *[a if isinstance(a, (str, int)) else type(a)
                                         for a in args])
                return inherited(self, *args, **kwargs)
            return wrapper
        return make

    patches = [_patch(nn.Module, "__getattribute__", plain_getattribute)]
    for name in ("__dir__", "named_children", "get_submodule", "__setattr__", "__delattr__",
                 "__ne__", "register_buffer", "parameters"):
        patches.append(_patch(nn.Module, name, recorded(name)))
    for name in ("__getitem__", "__len__", "append"):
        patches.append(_patch(nn.ParameterList, name, recorded("ParameterList." + name)))
    patches.append(_patch(nn.Sequential, "__getitem__", recorded("Sequential.__getitem__")))
    patches.append(_patch(nn.ModuleList, "__getitem__", recorded("ModuleList.__getitem__")))
    return patches


def walk_trace(blockwise, clean, name):
    net, _ = ALL_NETWORKS[name]()
    net = copy.deepcopy(net)
    real_pc = GVS.pc
    traces = []
    for walk in (blockwise.blockwise_network, clean.refresh_net):
        del EVENTS[:]
        GVS.pc = Settings(real_pc)
        patches = _walk_patches()
        try:
            net = walk(net)
        finally:
            _unpatch(patches)
            GVS.pc = real_pc
        traces.append(list(EVENTS))
    return traces


# --------------------------------------------------------------- comparison

def _first(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def difference(a, b):
    """How the native (a) and reference (b) event lists differ; None if equal."""
    if a == b:
        return None
    i = _first(a, b)
    a2 = [e for e in a if e[0] != "method"]
    b2 = [e for e in b if e[0] != "method"]
    if a2 == b2:
        return ("same reads and calls in the same order; only the moment a bound method "
                f"is fetched, relative to evaluating its arguments, differs: native "
                f"{a[i:i + 3]} vs reference {b[i:i + 3]}")
    j = _first(a2, b2)
    return (f"calls differ (ignoring method fetches): native {a2[j:j + 3]} vs reference "
            f"{b2[j:j + 3]}, after {a2[max(0, j - 2):j]}")


def order_check(names=("mlp", "recurrent")):
    """Distinct differences, each with the traces where it was seen."""
    clean, blockwise = harness.native_modules()
    if clean is None:
        return ["native clean module not built"]
    seen = {}

    def note(label, kind):
        if kind is not None:
            seen.setdefault(kind, []).append(label)

    for n in (1, 2, 4):
        for threaded in (False, True):
            mode = "threaded" if threaded else "sequential"
            label = f"forward n={n} {mode}"
            nat, nat_out = forward_trace(clean, threaded, n)
            ref, ref_out = forward_trace(reference, threaded, n)
            note(label, difference(nat, ref))
            if not torch.allclose(nat_out, ref_out):
                note(label, "outputs differ")
    if blockwise is None:
        note("walks", "native block-wise module not built: walks not compared")
    else:
        for name in names:
            nat = walk_trace(blockwise, clean, name)
            ref = walk_trace(reference, reference, name)
            for label, a, b in zip(("block-wise walk", "clean walk"), nat, ref):
                note(f"{label} on {name}", difference(a, b))
    return [f"{kind}  [in: {', '.join(labels)}]" for kind, labels in seen.items()]


def main():
    problems = order_check()
    print("call-order check: " + ("native and reference agree" if not problems
                                  else "DIFFERENCES"))
    for p in problems:
        print("  " + p)
    return problems


if __name__ == "__main__":
    main()
