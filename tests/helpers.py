"""Stand-ins and the child-interpreter harness shared by the test files."""
import functools
import os
import subprocess
import sys
import tempfile
import textwrap
import threading
import warnings

import torch
from torch import nn

import veskari
from veskari import blockwise_veskari, clean_veskari
from veskari import globals_veskari as GVS
from veskari.modules_veskari import Processor, VSKNeuronModule

# The tree the package under test was imported from: the in-place build, or
# the sanitizer's build tree under `make sanitize-test`. Child interpreters
# get it first on their path, and neither the repository nor their working
# directory on it (-P), so they load the very build this process loaded.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(veskari.__file__)))


def super_refusal(cls, obj_type):
    """The interpreter's own text for super(cls, obj) with obj, of obj_type,
    not an instance of cls (3.13 reworded it)."""
    try:
        super(cls, obj_type.__new__(obj_type))
    except TypeError as error:
        return str(error)


def start_child(code, *args, env=None, script=False):
    """A fresh interpreter running `code` (dedented; with `script`, the file
    of that name) with `args`, against the build under test; `env` adds to or
    overrides the inherited environment."""
    env = dict(os.environ, **(env or {}))
    # An empty entry would stand for the working directory.
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    program = [code] if script else ["-c", textwrap.dedent(code)]
    return subprocess.Popen([sys.executable, "-P", *program, *args],
                            cwd=tempfile.gettempdir(), env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def finish_child(process, timeout=300):
    """Waits for a child of `start_child`; its completed result."""
    try:
        out, err = process.communicate(timeout=timeout)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def run_child(code, *args, env=None, script=False, timeout=300):
    return finish_child(start_child(code, *args, env=env, script=script), timeout)


def tail(result):
    return f"stdout:\n{result.stdout}\nstderr:\n{result.stderr[-2000:]}"


def run_together(work, count=8):
    """Calls work(i) on `count` threads released at once; what they raised."""
    failures = []
    barrier = threading.Barrier(count)

    def run(i):
        barrier.wait()
        try:
            work(i)
        except BaseException as exc:  # reported to the calling thread
            failures.append(exc)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


def filled_skeleton(build, states):
    """`build()` made inside veskari.skeleton(), converted, loaded with every
    trained state dict of `states` through the report, tied and checked."""
    with veskari.skeleton():
        net = build()
    net, report = veskari.convert(net.eval())
    for state in states:
        loaded = net.load_state_dict(report.translate(state), strict=False, assign=True)
        assert not loaded.unexpected_keys
    getattr(net, "tie_weights", lambda: None)()
    veskari.check_loaded(net)
    return net


def distributed_checkpoint(path):
    """The state dict of a torch.distributed.checkpoint directory, read in one process."""
    import torch.distributed.checkpoint as dcp

    metadata = dcp.FileSystemReader(path).read_metadata().state_dict_metadata
    state = {key: torch.empty(m.size, dtype=m.properties.dtype) for key, m in metadata.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # "assuming the intent is to load in a single process"
        dcp.load(state, checkpoint_id=path)
    return state


def assert_same_tensors(want, got):
    """The same state_dict keys in order, and every parameter and buffer equal."""
    assert list(want.state_dict()) == list(got.state_dict())
    for a, b in zip([*want.parameters(), *want.buffers()], [*got.parameters(), *got.buffers()],
                    strict=True):
        assert torch.equal(a, b)


@functools.cache
def bf16_lstm_refusal():
    """Why this CPU runs no plain nn.LSTM under bf16 autocast (oneDNN has no
    such kernel without AVX-512), or None; asked once (it raises, no crash)."""
    try:
        with torch.autocast("cpu", dtype=torch.bfloat16):
            nn.LSTM(2, 2)(torch.zeros(1, 1, 2))
    except RuntimeError as err:
        return str(err).splitlines()[0]


class Holder(nn.Module):
    """A module whose attribute listing is exactly the given names, in order."""

    def __init__(self, listing=None, **members):
        super().__init__()
        for name, value in members.items():
            setattr(self, name, value)
        self._listing = list(members) if listing is None else list(listing)

    def __dir__(self):
        return list(self._listing)


class VSKLayer(nn.Module):
    """A block layer as the clean converter reads it, recognised by its class
    name: `n` linear branches (the first one `inner` when given) or the given
    `layers`, with skip weights of ones."""

    def __init__(self, n=2, features=2, inner=None, layers=None):
        super().__init__()
        if layers is None:
            layers = [nn.Linear(features, features) for _ in range(n)]
            if inner is not None:
                layers[0] = inner
        n = len(layers)
        self.layer_array = nn.Sequential(*layers)
        self.processor_array = [None] * n
        self.skip_weights = nn.ParameterList(
            [torch.zeros(1, 1, 1)] + [torch.ones(k, features) for k in range(1, n)])
        self.node_index = torch.tensor(1)
        self.register_buffer("num_cycles", torch.tensor(0))
        self.register_buffer("view_tuple", torch.tensor([1, -1]))


def neuron(dendrites=0, inputs=2, outputs=3, main=None, processors=False, seed=0):
    """A linear neuron module with `dendrites` seeded linear dendrites."""
    module = VSKNeuronModule(main if main is not None else nn.Linear(inputs, outputs), [-1, 0],
                             1, processor=Processor() if processors else None,
                             num_neurons=outputs)
    if dendrites:
        module.add_dendrites(dendrites, lambda: nn.Linear(inputs, outputs),
                             processor_factory=Processor if processors else None,
                             generator=torch.Generator().manual_seed(seed))
    return module


def converted_layer(module):
    """`module`, converted both ways inside a container: the clean layer."""
    holder = nn.Sequential(module)
    blockwise_veskari.blockwise_network(holder)
    clean_veskari.refresh_net(holder)
    return holder[0]


class CountingSettings:
    """Stands in for the settings object: records every getter call by name,
    in order, and answers as the settings in place at its creation would,
    except for the answers given (by getter name) and the `activations`,
    handed out in turn, one per fetch of the nonlinearity."""

    def __init__(self, activations=(), record=None, **answers):
        self.real = GVS.pc
        self.calls = []
        self.activations = list(activations)
        self.record = record
        self.answers = answers

    def count(self, name):
        return self.calls.count(name)

    def __getattr__(self, name):
        if not name.startswith("get_"):
            raise AttributeError(name)
        getter = getattr(self.real, name)

        def recorded(*args):
            self.calls.append(name)
            if self.record is not None:
                self.record(name)
            if name == "get_vsk_forward_function" and self.activations:
                return self.activations[(self.count(name) - 1) % len(self.activations)]
            return self.answers[name] if name in self.answers else getter(*args)
        return recorded


def snapshot(net):
    """What a failed call must leave as it was, comparable with ==: each
    parameter and buffer bit for bit, the module tree (names, objects,
    classes) and the CPU random state. Read as named_modules() does, so a
    module cycle is read once."""
    return ([(k, v.dtype, v.shape, v.detach().reshape(-1).view(torch.uint8).numpy().tobytes())
             for k, v in [*net.named_parameters(), *net.named_buffers()]],
            [(path, id(m), type(m)) for path, m in net.named_modules()],
            torch.get_rng_state().numpy().tobytes())
