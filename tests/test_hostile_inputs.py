"""Hostile inputs through every public function of both converters.

A seeded generator builds odd objects and module graphs and passes them in
every position. Each call must end in a result or an ordinary Python
exception: never a crash, never a SystemError (which would mean the native
code broke the interpreter's calling rules), and a failing walk must leave
the network usable.
"""
import random
import textwrap

import pytest
import torch
from torch import nn

from helpers import neuron, run_child
from veskari import blockwise_veskari as B
from veskari import clean_veskari as C
from veskari.globals_veskari import pc
from veskari.modules_veskari import VSKNeuronModule

SEEDS = range(12)


class Boom(Exception):
    pass


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


class OddCompare(nn.Module):
    """A module whose comparisons raise or return objects without a truth value."""

    def __init__(self, mode):
        super().__init__()
        self.mode = mode

    def __eq__(self, other):
        if self.mode == "raise":
            raise Boom("eq")
        return RaisingBool() if self.mode == "odd" else 42

    def __ne__(self, other):
        if self.mode == "raise":
            raise Boom("ne")
        return RaisingBool() if self.mode == "odd" else "yes"

    __hash__ = nn.Module.__hash__


class OddDir(nn.Module):
    def __init__(self, listing):
        super().__init__()
        self.listing = listing

    def __dir__(self):
        if isinstance(self.listing, BaseException):
            raise self.listing
        return self.listing


class RaisingProperty(nn.Module):
    def __init__(self, exc):
        super().__init__()
        self.inner = nn.Linear(2, 2)
        self.exc = exc

    @property
    def broken(self):
        raise self.exc


class OddChildren(nn.Sequential):
    def __init__(self, items):
        super().__init__(nn.Linear(2, 2))
        self.items = items

    def named_children(self):
        return self.items


class OddIndex:
    def __index__(self):
        raise Boom("index")


def cyclic():
    a, b = nn.Module(), nn.Module()
    a.b = b
    b.__dict__["a"] = a  # a plain attribute, so nn.Module's own walk stays finite
    b.n = neuron(2, 3, 3)
    return a


def hostile_values(rng):
    values = [
        None, 0, -1, 10**100, -(10**100), 1.5, float("nan"), "", "x", b"bytes", [], {}, (),
        object(), type, RaisingBool(), OddIndex(), torch.zeros(2), nn.Module(),
        nn.Sequential(), [nn.Linear(2, 2)], {"a": 1}, (1, 2, 3), nn.ParameterList(),
        OddCompare("raise"), OddCompare("odd"), OddCompare("plain"),
        OddDir([1, None, b"x", "training"]), OddDir(Boom("dir")), OddDir(None), OddDir(5),
        RaisingProperty(Boom("prop")), RaisingProperty(RecursionError("prop")),
        RaisingProperty(MemoryError("prop")),
        OddChildren([("0",)]), OddChildren([("0", 1, 2)]), OddChildren([5]), OddChildren(None),
        OddChildren([(None, None)]), OddChildren([(10**100, nn.Linear(2, 2))]),
        cyclic(), neuron(2, 3, 3), nn.Sequential(neuron(2, 3, 3), OddCompare("odd")),
    ]
    rng.shuffle(values)
    return values


def public_callables():
    functions = [getattr(m, name) for m in (B, C) for name in dir(m)
                 if callable(getattr(m, name)) and type(getattr(m, name)).__name__ == "function"
                 and getattr(m, name).__module__ == m.__name__]
    methods = [B.VSKLayer.__init__, C.VSKModulePyThread.__init__,
               C.VSKModulePyThread.forward, C.VSKModulePyThread.process_and_forward,
               C.VSKModulePyThread.process_and_pre]
    return functions + methods + [B.VSKLayer, C.VSKModulePyThread]


def call_safely(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except SystemError:  # the native code broke a C-API rule
        raise
    except (Exception, RecursionError):
        pass


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("seed", SEEDS)
def test_every_function_survives_hostile_arguments(seed):
    rng = random.Random(seed)
    values = hostile_values(rng)
    for fn in public_callables():
        for _ in range(25):
            args = [rng.choice(values) for _ in range(rng.randint(0, 9))]
            kwargs = {}
            if rng.random() < 0.3:
                kwargs[rng.choice(["net", "x", "self", "depth", "module", "member"])] = \
                    rng.choice(values)
            call_safely(fn, args, kwargs)


@pytest.mark.parametrize("verbose", [False, True, RaisingBool()],
                         ids=["quiet", "verbose", "bad-bool"])
@pytest.mark.parametrize("seed", SEEDS)
def test_walks_survive_hostile_graphs_and_settings(seed, verbose, capsys):
    rng = random.Random(seed)
    values = hostile_values(rng)
    settings = [
        ("set_extra_verbose", verbose),
        ("set_module_names_to_not_save", rng.choice([None, 5, [], RaisingBool(), ["", ".a"]])),
        ("set_modules_to_track", rng.choice([None, 5, [], [nn.Linear], object()])),
    ]
    for setter, value in settings:
        getattr(pc, setter)(value)
    for _ in range(10):
        root = nn.Module()
        for i, v in enumerate(rng.sample(values, 4)):
            if isinstance(v, nn.Module):
                root.add_module(f"m{i}", v)
            else:
                root.__dict__[f"m{i}"] = v
        for walk in (B.blockwise_network, C.refresh_net):
            call_safely(walk, [root], {})
        depth = rng.choice([0, -1, 10**100, None, "d", 1.5])
        call_safely(B.optimize_module, [root, depth, rng.choice(["", None, 5]), []], {})
        call_safely(C.refresh_vsk,
                    [root, depth, rng.choice(["", None, 5]), rng.choice([[], None])], {})
    capsys.readouterr()


def test_getters_that_raise_reach_the_caller():
    net = nn.Sequential(nn.Module())
    net[0].n = neuron(2, 3, 3)

    class Bad:
        def __getattr__(self, name):
            raise Boom(name)

    import veskari.globals_veskari as G
    real = G.pc
    G.pc = Bad()
    try:
        with pytest.raises(Boom):
            B.blockwise_network(net)
        with pytest.raises(Boom):
            C.refresh_net(net)
    finally:
        G.pc = real
    # The network is still usable: the same walks now finish.
    B.blockwise_network(net)
    C.refresh_net(net)
    assert type(net[0].n).__name__ == "VSKModulePyThread"


def test_failing_walk_leaves_network_usable():
    net = nn.Sequential(neuron(2, 3, 3), RaisingProperty(Boom("x")), neuron(2, 3, 3))
    net.insert(1, OddChildren([("0",)]))
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        B.blockwise_network(net)
    assert type(net[0]).__name__ == "VSKLayer"       # done before the failure
    assert type(net[3]) is VSKNeuronModule           # not reached
    del net[1]
    B.blockwise_network(net)
    C.refresh_net(net)
    with torch.no_grad():
        out = net[0](torch.randn(1, 3))
    assert out.shape == (1, 3)


# The block-wise member walk tests every member's path against the growing
# list of visited paths, so a deep attribute chain takes it minutes; with the
# interpreter's own limit it stops early, which is the case users meet.
@pytest.mark.parametrize("container,walks,limit", [
    (True, "B.blockwise_network, C.refresh_net", 1_000_000),
    (False, "C.refresh_net,", 1_000_000),
    (False, "B.blockwise_network, C.refresh_net", None),
], ids=["sequential-raised-limit", "attributes-raised-limit", "attributes-default-limit"])
def test_nesting_100000_deep_never_crashes(container, walks, limit):
    script = textwrap.dedent(f"""
        import sys, torch.nn as nn
        from veskari import blockwise_veskari as B, clean_veskari as C
        root = cur = nn.Sequential() if {container} else nn.Module()
        for _ in range(100_000):
            nxt = nn.Sequential() if {container} else nn.Module()
            if {container}:
                cur.append(nxt)
            else:
                cur.child = nxt
            cur = nxt
        if {limit}:
            sys.setrecursionlimit({limit})
        for walk in ({walks}):
            try:
                walk(root)
                print("finished")
            except RecursionError:
                print("RecursionError")
    """)
    result = run_child(script, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    outcomes = result.stdout.split()
    assert set(outcomes) <= {"RecursionError", "finished"}
    assert len(outcomes) == len([w for w in walks.split(",") if w.strip()])
