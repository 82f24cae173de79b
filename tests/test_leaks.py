"""Reference and memory leak checks of the native code.

Loops of forwards and conversions, on success and on error paths, must leave
the reference counts of the shared objects and the interpreter's traced
memory where they were.
"""
import copy
import gc
import sys
import threading
import tracemalloc

import pytest
import torch
from torch import nn

from helpers import converted_layer
from helpers import neuron as shared_neuron
from veskari import blockwise_veskari, clean_veskari
from veskari.globals_veskari import pc
from veskari.modules_veskari import Processor

# Traced-memory growth allowed over a whole loop: allocator noise, not a
# per-iteration leak (one leaked tuple per call would be ~600 KB here).
MEMORY_BOUND = 64 * 1024


class Failing(nn.Module):
    def forward(self, x):
        raise ValueError("branch failed")


def neuron(processors):
    return shared_neuron(3, 6, 5, processors=processors, seed=1)


def shared_objects(layer):
    """Everything a converted layer shares with the block it came from."""
    objects = [layer.layer_array, layer.processor_array, layer.view_tuple, layer.num_cycles,
               pc, clean_veskari.Thread, clean_veskari.VSKModulePyThread]
    objects += list(layer.layer_array) + [p for p in layer.processor_array if p is not None]
    objects += list(layer.skip_weights)
    return objects


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def measure(loop, objects, repeat):
    """Runs loop once to warm up, then `repeat` times under tracemalloc."""
    loop()
    gc.collect()
    before = refcounts(objects)
    tracemalloc.start()
    try:
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(repeat):
            loop()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert refcounts(objects) == before
    assert end - start < MEMORY_BOUND


@pytest.fixture
def quiet_threads(monkeypatch):
    monkeypatch.setattr(threading, "excepthook", lambda args: None)


@pytest.mark.parametrize("threaded,processors,calls", [
    pytest.param(False, False, 10_000, marks=pytest.mark.slow), (False, True, 2_000),
    pytest.param(True, False, 1_000, marks=pytest.mark.slow),
    pytest.param(True, True, 1_000, marks=pytest.mark.slow),
], ids=["sequential-plain", "sequential-processors", "threaded-plain", "threaded-processors"])
def test_forward_loops_leave_counts_and_memory_flat(monkeypatch, processors, threaded, calls):
    monkeypatch.setattr(clean_veskari, "doing_threading", threaded)
    layer = converted_layer(neuron(processors))
    x = torch.randn(2, 6)

    def loop():
        with torch.no_grad():
            for _ in range(calls // 10):
                layer(x)

    measure(loop, shared_objects(layer) + [x], 10)


@pytest.mark.parametrize("threaded", [False, True], ids=["sequential", "threaded"])
def test_failing_branches_leave_counts_and_memory_flat(monkeypatch, quiet_threads, threaded):
    monkeypatch.setattr(clean_veskari, "doing_threading", threaded)
    layer = converted_layer(neuron(False))
    layer.layer_array[1] = Failing()
    x = torch.randn(2, 6)
    # Sequential: the branch's error; threaded: the merge meets its None slot.
    expected = ValueError if not threaded else AttributeError

    def loop():
        for _ in range(50):
            with pytest.raises(expected):
                layer(x)

    measure(loop, shared_objects(layer) + [x], 10)


def test_conversion_loops_leave_counts_and_memory_flat():
    template = nn.Sequential(neuron(True), nn.ReLU(),
                             nn.ModuleList([neuron(False), nn.Sequential(neuron(True))]))
    layers = [m for m in template.modules() if isinstance(m, (nn.Linear, Processor))]
    globals_ = [pc, blockwise_veskari.VSKLayer, clean_veskari.VSKModulePyThread,
                blockwise_veskari.optimize_module, clean_veskari.refresh_vsk]

    def loop():
        for _ in range(10):
            net = copy.copy(template)  # shallow: the layers stay the shared ones
            net._modules = dict(template._modules)
            blockwise_veskari.blockwise_network(net)
            clean_veskari.refresh_net(net)

    measure(loop, layers + globals_, 10)


def test_walks_failing_half_way_leave_counts_and_memory_flat(monkeypatch):
    template = nn.Sequential(neuron(False), neuron(False))
    calls = []
    real_convert = blockwise_veskari.convert_to_vsk_layer_block

    def convert_then_fail(module):
        calls.append(module)
        if len(calls) % 2 == 0:
            raise RuntimeError("conversion failed")
        return real_convert(module)

    monkeypatch.setattr(blockwise_veskari, "convert_to_vsk_layer_block", convert_then_fail)
    shared = list(template.modules())

    def loop():
        for _ in range(20):
            net = nn.Sequential(*template)
            with pytest.raises(RuntimeError, match="conversion failed"):
                blockwise_veskari.blockwise_network(net)
            assert type(net[0]).__name__ == "VSKLayer"  # left as far as it got
            calls.clear()

    measure(loop, shared, 5)
