"""Helpers to turn an ordinary network into a dendrite network and grow it."""
import copy
import warnings

import torch
from torch import nn

from veskari.modules_veskari import RecurrentProcessor, VSKNeuronModule, recording_calls


class LayerLeftUnwrappedWarning(UserWarning):
    """A layer of a wrapped type was left as it is: its dendrites would not count."""


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
    wrapper = VSKNeuronModule(module, dims, node_index, processor=make_processor(module))
    return wrapper.train(module.training)  # a network put in eval mode stays in it


def wrap_layers(net, layer_types, make_processor=None, *, example_inputs=None,
                example_kwargs=None):
    """Replace, in place, every submodule of exactly one of ``layer_types``.

    Types match exactly, not by subclass. Existing neuron modules are not
    entered. A layer whose parent computes with its weights and never calls
    it would keep dendrites that change nothing, so it is left as it is,
    with a :class:`LayerLeftUnwrappedWarning` naming it and why:

    * PyTorch's own such parents are known (``nn.MultiheadAttention``'s
      ``out_proj``; ``linear1``/``linear2`` of an ``nn.TransformerEncoderLayer``
      that can take its eval fast path);
    * for any other parent, pass ``example_inputs`` (one argument or a tuple)
      and/or ``example_kwargs``: one trial forward in eval mode, without
      grad, finds the wrapped layers that were never called.

    Returns ``net``, or its wrapper if ``net`` itself matched.
    """
    types = tuple(layer_types) if isinstance(layer_types, (list, tuple, set)) else (layer_types,)
    if type(net) in types:
        return wrap_module(net, make_processor)
    wrapped, left = [], []
    _wrap_children(net, "", types, make_processor, wrapped, left)
    if example_inputs is not None or example_kwargs is not None:
        never_called = _never_called(net, [m for _, _, _, m in wrapped],
                                     example_inputs, example_kwargs)
        for path, parent, name, module in wrapped:
            if id(module) in never_called:
                setattr(parent, name, module.main_module)
                left.append((path, f"{type(parent).__name__} did not call it in a trial forward "
                                   "(it computes with the layer's weights itself)"))
    if left:
        warnings.warn(
            f"wrap_layers left {len(left)} layer(s) unwrapped, since their dendrites would "
            "not count in the output: " + "; ".join(f"{p}: {why}" for p, why in left),
            LayerLeftUnwrappedWarning, stacklevel=2)
    return net


def bypassed_children(parent):
    """``{child name: why}`` for the children a PyTorch module computes with
    directly instead of calling them."""
    if isinstance(parent, nn.MultiheadAttention):
        return {"out_proj": "nn.MultiheadAttention computes its output projection with "
                            "out_proj.weight and never calls out_proj"}
    if isinstance(parent, nn.TransformerEncoderLayer) and _fast_path_possible(parent):
        return {name: f"nn.TransformerEncoderLayer's fast path (eval, no grad) computes with "
                      f"{name}.weight and never calls {name}; a non-relu/gelu activation or "
                      "batch_first=False keeps it off that path"
                for name in ("linear1", "linear2")}
    return {}


def _fast_path_possible(layer):
    # The settings that rule the fast path out for good; the others vary per call.
    return bool(layer.activation_relu_or_gelu) and layer.self_attn.batch_first


def _wrap_children(parent, prefix, types, make_processor, wrapped, left):
    bypassed = bypassed_children(parent)
    for name, child in list(parent.named_children()):
        path = prefix + name
        if type(child) in types and name in bypassed:
            left.append((path, bypassed[name]))
        elif type(child) in types:
            module = wrap_module(child, make_processor)
            setattr(parent, name, module)
            wrapped.append((path, parent, name, module))
        elif not isinstance(child, VSKNeuronModule):
            _wrap_children(child, path + ".", types, make_processor, wrapped, left)


def _never_called(net, modules, example_inputs, example_kwargs):
    """Ids of ``modules`` whose forward did not run in one eval-mode trial."""
    args = example_inputs if isinstance(example_inputs, tuple) else (
        () if example_inputs is None else (example_inputs,))
    modes = [(m, m.training) for m in net.modules()]
    try:
        net.eval()
        with torch.no_grad(), recording_calls() as called:
            net(*args, **(example_kwargs or {}))
    finally:
        for m, training in modes:
            m.training = training
    return {id(m) for m in modules} - called


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
