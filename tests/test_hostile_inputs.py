"""Hostile inputs through every public function of both converters.

Hypothesis builds odd objects and module graphs (random nesting of
containers and custom modules whose properties, __dir__, named_children,
comparisons and truth values misbehave, cycles, str subclasses as names) and
passes them in every position. Each call must end in a result or an ordinary Python
exception: never a crash, never a SystemError (which would mean the native
code broke the interpreter's calling rules), and a failing walk must leave
the network usable.
"""
import contextlib
import io
import os
import textwrap
from datetime import timedelta

import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from torch import nn

from helpers import neuron, run_child
from veskari import blockwise_veskari as B
from veskari import clean_veskari as C
from veskari.globals_veskari import pc
from veskari.modules_veskari import VSKNeuronModule


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


class Name(str):
    """A str subclass as an attribute or child name, comparing and hashing oddly."""

    def __eq__(self, other):
        raise Boom("name eq")

    __hash__ = str.__hash__


class Odd(nn.Module):
    """A custom module whose protocol misbehaves in the ways `quirks` picks."""

    def __init__(self, quirks, members):
        super().__init__()
        self.quirks = quirks
        for name, value in members:
            try:
                self.add_module(name, value)
            except (KeyError, TypeError, Boom):  # odd or taken names, non-modules: plain
                with contextlib.suppress(Boom):  # a Name meeting its twin in the dict
                    self.__dict__[name] = value

    def __getattribute__(self, name):
        if name == "broken" and "property" in object.__getattribute__(self, "quirks"):
            raise Boom("property")
        return super().__getattribute__(name)

    def __dir__(self):
        quirks = self.quirks
        if "dir-raises" in quirks:
            raise Boom("dir")
        listing = list(super().__dir__())
        if "dir-odd" in quirks:
            listing += [1, None, b"x", Name("m0"), "broken"]
        return listing

    def named_children(self):
        if "children-odd" in self.quirks:
            return [("0",), 5, (Name("x"), self)]
        return super().named_children()

    def __eq__(self, other):
        if "eq-raises" in self.quirks:
            raise Boom("eq")
        return RaisingBool() if "eq-odd" in self.quirks else self is other

    def __ne__(self, other):
        if "eq-raises" in self.quirks:
            raise Boom("ne")
        return RaisingBool() if "eq-odd" in self.quirks else self is not other

    __hash__ = nn.Module.__hash__


QUIRKS = ["property", "dir-raises", "dir-odd", "children-odd", "eq-raises", "eq-odd"]

# Leaves: fresh objects each time, since the walks convert in place.
LEAVES = [lambda: None, lambda: 0, lambda: 10**100, lambda: "x", lambda: b"b", list, dict,
          object, RaisingBool, OddIndex, lambda: torch.zeros(2), lambda: nn.Linear(2, 2),
          nn.Module, nn.Sequential, nn.ParameterList, lambda: neuron(2, 3, 3),
          lambda: RaisingProperty(Boom("prop")), lambda: RaisingProperty(MemoryError("prop")),
          lambda: OddChildren([(None, None)]), lambda: OddChildren([(10**100, nn.Linear(2, 2))])]

names = st.one_of(st.sampled_from(["m0", "m1", "layer_array", "device", "0", "training"]),
                  st.builds(Name, st.sampled_from(["m0", "m2", ""])))


def module_graphs():
    """Random nesting of Sequential/ModuleList/ModuleDict/custom modules over
    hostile leaves."""
    leaves = st.sampled_from(LEAVES).map(lambda make: make())

    def nest(children):
        modules = children.filter(lambda c: isinstance(c, nn.Module))
        return st.one_of(
            st.lists(modules, max_size=3).map(lambda c: nn.Sequential(*c)),
            st.lists(modules, max_size=3).map(nn.ModuleList),
            st.dictionaries(st.sampled_from(["a", "b", "c"]), modules, max_size=3)
            .map(nn.ModuleDict),
            st.builds(Odd, st.sets(st.sampled_from(QUIRKS), max_size=3),
                      st.lists(st.tuples(names, children), max_size=4)))

    return st.recursive(leaves, nest, max_leaves=12)


@st.composite
def networks(draw):
    """A graph under an Odd root, sometimes with a cycle back to the root."""
    root = Odd(draw(st.sets(st.sampled_from(QUIRKS), max_size=2)),
               draw(st.lists(st.tuples(names, module_graphs()), max_size=4)))
    if draw(st.booleans()):
        inner = [m for m in root.modules() if m is not root]
        if inner:
            draw(st.sampled_from(inner)).__dict__["back"] = root
    return root


def public_callables():
    functions = [getattr(m, name) for m in (B, C) for name in dir(m)
                 if callable(getattr(m, name)) and type(getattr(m, name)).__name__ == "function"
                 and getattr(m, name).__module__ == m.__name__]
    methods = [B.VSKLayer.__init__, C.VSKModulePyThread.__init__,
               C.VSKModulePyThread.forward, C.VSKModulePyThread.process_and_forward,
               C.VSKModulePyThread.process_and_pre]
    return functions + methods + [B.VSKLayer, C.VSKModulePyThread]


def call_safely(fn, *args, **kwargs):
    """Calls fn; any ordinary exception is an acceptable outcome, a
    SystemError (the native code broke a C-API rule) is not."""
    try:
        fn(*args, **kwargs)
    except SystemError:
        raise
    except (Exception, RecursionError):  # noqa: BLE001, S110 - any outcome but a crash
        pass


# A bounded number of examples in `make test`; `make sweep` runs many more.
settings.register_profile("hostile", max_examples=25, deadline=timedelta(seconds=20),
                          suppress_health_check=list(HealthCheck), derandomize=True)
settings.register_profile("hostile-full", max_examples=600, deadline=timedelta(seconds=20),
                          suppress_health_check=list(HealthCheck))
hostile = settings.get_profile("hostile-full" if os.environ.get("VESKARI_SWEEP") == "full"
                               else "hostile")
values = st.one_of(st.sampled_from(LEAVES).map(lambda make: make()), module_graphs())


@pytest.mark.filterwarnings("ignore::UserWarning")
@hostile
@given(fn=st.sampled_from(public_callables()), args=st.lists(values, max_size=9),
       kwargs=st.dictionaries(st.sampled_from(["net", "x", "self", "depth", "module", "member"]),
                              values, max_size=1))
def test_every_function_survives_hostile_arguments(fn, args, kwargs):
    call_safely(fn, *args, **kwargs)


@hostile
@given(net=networks(), verbose=st.sampled_from([False, True, RaisingBool()]),
       not_saved=st.sampled_from([None, 5, [], RaisingBool(), ["", ".m0"]]),
       tracked=st.sampled_from([None, 5, [], [nn.Linear], object()]),
       depth=st.sampled_from([0, -1, 10**100, None, "d", 1.5]),
       name=st.sampled_from(["", None, 5, Name("")]))
def test_walks_survive_hostile_graphs_and_settings(net, verbose, not_saved, tracked, depth, name):
    pc.set_extra_verbose(verbose)
    pc.set_module_names_to_not_save(not_saved)
    pc.set_modules_to_track(tracked)
    with contextlib.redirect_stdout(io.StringIO()):
        for walk in (B.blockwise_network, C.refresh_net):
            call_safely(walk, net)
        call_safely(B.optimize_module, net, depth, name, [])
        call_safely(C.refresh_vsk, net, depth, name, [])


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
    pytest.param(True, "B.blockwise_network, C.refresh_net", 1_000_000, marks=pytest.mark.slow),
    pytest.param(False, "C.refresh_net,", 1_000_000, marks=pytest.mark.slow),
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


# --- Child interpreters: crashes, shutdown and allocation failures end a
# process, so those cases run in one and the parent reads its outcome.

def run_poisoned(script, *args, asan_options=(), timeout=120):
    """Runs `script` in a child interpreter whose freed memory is handed back
    to the C allocator at once (PYTHONMALLOC=malloc) and, under ASan, filled
    with garbage, so a use-after-free is reported where it happens."""
    asan = ":".join(filter(None, [
        os.environ.get("ASAN_OPTIONS"), "detect_leaks=0", "max_free_fill_size=65536",
        "free_fill_byte=190", *asan_options]))
    return run_child(script, *args, env={"PYTHONMALLOC": "malloc", "ASAN_OPTIONS": asan},
                     timeout=timeout)


BORROWED_HOLDER = """
    import sys, torch
    from torch import nn
    from veskari import clean_veskari as C
    from veskari.globals_veskari import pc

    def run(case):
        block = nn.Module()
        block.layer_array = nn.Sequential(nn.Identity(), nn.Identity())
        block.processor_array = [None, None]
        block.skip_weights = [0, 0, 0]
        block.node_index, block.num_cycles = torch.tensor(0), torch.tensor(0)
        block.view_tuple = torch.tensor([1])
        stash = {}

        class Layer(C.VSKModulePyThread):
            def process_and_forward(self, c, outs, *a, **k):
                stash["outs"] = outs
                return super().process_and_forward(c, outs, *a, **k)

        layer = Layer(block)
        pc.set_vsk_forward_function(lambda x: x)

        if case == "cascade-operand":
            # moved.__mul__ drops the list's reference to the right operand, then
            # declines, so the interpreter calls source.__rmul__.
            class Source:
                def __rmul__(self, other): return 0
            class Moved:
                def __mul__(self, other):
                    stash["outs"][0] = None
                    return NotImplemented
            class Row:
                def view(self, shape): return self
                def to(self, device): return Moved()
            class Weights:
                def __getitem__(self, key): return Row() if isinstance(key, tuple) else self
            class Out:
                device = "cpu"
                def __add__(self, other): return self
            layer.layer_array[0].forward = lambda *a: Source()
            layer.layer_array[1].forward = lambda *a: Out()
            layer.__dict__["skip_weights"] = Weights()
            layer(1)
        else:
            # A key hashing like the name searched for, whose __eq__ replaces the
            # table being searched (the big tables' storage is really freed).
            table = case
            del layer.skip_weights  # no merge: the reads are the point here
            class Collide:
                armed = False
                def __hash__(self): return hash("layer_array")
                def __eq__(self, other):
                    if Collide.armed:
                        Collide.armed = False
                        if table == "__dict__":
                            layer.__dict__ = dict(layer.__dict__)
                        else:
                            layer.__dict__[table] = dict(layer.__dict__[table])
                    return False
            owner = layer.__dict__ if table == "__dict__" else layer.__dict__[table]
            entries = list(owner.items())
            owner.clear()
            owner[Collide()] = None  # first, so the search meets it before the name
            owner.update(entries)
            owner.update({f"pad{i}": None for i in range(20)} if table != "_modules" else {})
            del owner  # the layer's reference must be the table's last one
            Collide.armed = True
            layer(torch.zeros(1, 1))

    for case in sys.argv[1:]:
        run(case)
        print("survived", case, flush=True)
"""


BORROWED_CASES = ["cascade-operand", "__dict__", "_parameters", "_buffers", "_modules"]


def test_user_code_cannot_free_what_the_native_code_reads():
    result = run_poisoned(BORROWED_HOLDER, *BORROWED_CASES)
    assert result.returncode == 0, result.stdout + result.stderr[-3000:]
    assert result.stdout.split() == [w for case in BORROWED_CASES for w in ("survived", case)]


SHUTDOWN_IN_FLIGHT = """
    import gc, os, sys, threading, time
    import torch
    from torch import nn
    from veskari import clean_veskari as C

    class Busy(nn.Module):
        def forward(self, x, *rest):
            entered.release()
            while True:  # wakes, so wants the interpreter lock, during shutdown
                time.sleep(0.0005)

    entered = threading.Semaphore(0)
    block = nn.Module()
    block.layer_array = nn.Sequential(Busy(), Busy(), Busy())
    block.processor_array = [None] * 3
    block.node_index, block.num_cycles = torch.tensor(0), torch.tensor(0)
    block.view_tuple = torch.tensor([1])
    layer = C.VSKModulePyThread(block)
    x = torch.zeros(1)

    def run(grad):
        with torch.set_grad_enabled(grad):
            layer(x)

    for threaded in (False, True):
        C.doing_threading = threaded
        for grad in (False, True):
            threading.Thread(target=run, args=(grad,), daemon=True).start()
            for _ in range(3 if threaded else 1):
                entered.acquire()

    def watch(phase, info, x=x, count=sys.getrefcount, sleep=time.sleep, write=os.write,
              finalizing=sys.is_finalizing, done=[]):
        # The first collection after shutdown began: lets the daemon threads
        # run into their end, then reports whether that released references
        # (it must not: none of them holds the interpreter lock any more).
        if finalizing() and not done:
            done.append(True)
            before = count(x)
            sleep(0.3)
            write(1, b"released %d\\n" % (before - count(x)))

    gc.callbacks.append(watch)
    print("exiting", flush=True)
"""

# GCC 12's ASan checks its own sigaltstack() call while it cleans the stack
# during pthread_exit's unwinding and reports the stale shadow of the frames
# already unwound (a known false positive of the runtime, not of our code).
ASAN_SHUTDOWN_SUPPRESSIONS = "interceptor_name:sigaltstack\n"


def test_interpreter_exits_cleanly_with_forwards_in_flight(tmp_path):
    """Daemon threads inside forwards (a sequential branch, a threaded join and
    its branch threads, with and without grad) when the interpreter exits."""
    suppressions = tmp_path / "asan.supp"
    suppressions.write_text(ASAN_SHUTDOWN_SUPPRESSIONS)
    result = run_poisoned(SHUTDOWN_IN_FLIGHT, asan_options=[f"suppressions={suppressions}"])
    assert (result.returncode, result.stdout.split()) == (0, ["exiting", "released", "0"]), \
        result.stdout + result.stderr[-3000:]
    assert "terminate" not in result.stderr and "ERROR" not in result.stderr
