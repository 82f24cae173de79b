"""Helpers to turn an ordinary network into a dendrite network and grow it."""
import copy

import torch
from torch import nn

from veskari.modules_veskari import RecurrentProcessor, VSKNeuronModule


def output_layout(module):
    """``(output_dimensions, node_index)`` of a layer's (processed) output."""
    if isinstance(module, nn.Linear):
        return [-1, 0], 1
    if isinstance(module, nn.modules.conv._ConvNd):
        spatial = len(module.kernel_size)
        return [-1, 0] + [-1] * spatial, 1
    if isinstance(module, nn.RNNBase):
        # (B, T, H) and (T, B, H) both keep the neurons last.
        return [-1, -1, 0], 2
    raise ValueError(f"no known output layout for {type(module).__name__}")


def default_processor(module):
    """A processor for layers whose output needs adapting, else None."""
    return RecurrentProcessor() if isinstance(module, nn.RNNBase) else None


def wrap_module(module, make_processor=None):
    """Wrap one layer in a ``VSKNeuronModule`` with the inferred layout."""
    make_processor = make_processor or default_processor
    dims, node_index = output_layout(module)
    return VSKNeuronModule(module, dims, node_index, processor=make_processor(module))


def wrap_layers(net, layer_types, make_processor=None):
    """Replace, in place, every submodule of exactly one of ``layer_types``.

    Types match exactly, not by subclass, so e.g. the output projection of
    nn.MultiheadAttention (a Linear subclass read by weight) stays as is.
    Existing neuron modules are not entered. Returns ``net``, or its
    wrapper if ``net`` itself matched.
    """
    types = tuple(layer_types) if isinstance(layer_types, (list, tuple, set)) else (layer_types,)
    if type(net) in types:
        return wrap_module(net, make_processor)
    _wrap_children(net, types, make_processor)
    return net


def _wrap_children(parent, types, make_processor):
    for name, child in list(parent.named_children()):
        if type(child) in types:
            setattr(parent, name, wrap_module(child, make_processor))
        elif not isinstance(child, VSKNeuronModule):
            _wrap_children(child, types, make_processor)


def named_neuron_modules(net):
    """``(path, module)`` for every neuron module in ``net``, in module order."""
    return [(name, m) for name, m in net.named_modules() if isinstance(m, VSKNeuronModule)]


def neuron_modules(net):
    """Every neuron module in ``net`` (including ``net`` itself), in module order."""
    return [m for _, m in named_neuron_modules(net)]


def fresh_copy_factory(layer):
    """Factory of re-initialised copies of ``layer`` (same configuration)."""
    def make():
        new = copy.deepcopy(layer)
        for sub in new.modules():
            if hasattr(sub, "reset_parameters"):
                sub.reset_parameters()
        return new
    return make


def add_dendrites(net, k, seed=0, init_scale=0.1):
    """Add ``k`` dendrites to every neuron module of ``net``.

    Each dendrite is a re-initialised copy of its main layer; layers with a
    main processor get a fresh processor of the same type per dendrite.
    Everything random comes from ``seed``; the global RNG is left untouched.
    """
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        for module in neuron_modules(net):
            proc = module.processor
            module.add_dendrites(
                k, fresh_copy_factory(module.main_module),
                processor_factory=type(proc) if proc is not None else None,
                init_scale=init_scale)
    return net


def describe(net):
    """One line per neuron module: path, main layer type, dendrite count."""
    return "\n".join(
        f"{name or '<root>'}: {type(m.main_module).__name__} with {m.num_dendrites} dendrite(s)"
        for name, m in named_neuron_modules(net))
