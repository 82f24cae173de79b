"""Helpers to turn an ordinary network into a dendrite network and grow it."""
from __future__ import annotations

import copy
import numbers
import warnings
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias, TypeVar

import torch
from torch import nn

from veskari._conversion.recorded_forward import positional, trial_forward
from veskari._internal.layer_names import some
from veskari._internal.reinitialise import Initialisers, reinitialise, uncovered_types
from veskari._internal.torch_private import child_table, parameter_table

# Deprecated paths of three warnings, which live in veskari.errors; they go in 0.4.0.
from veskari.errors import CopiedDendritesWarning as CopiedDendritesWarning
from veskari.errors import LayerLeftUnwrappedWarning as LayerLeftUnwrappedWarning
from veskari.errors import NothingDoneWarning as NothingDoneWarning
from veskari.layouts import Layouts, check_layouts, layout_of, neuron_count
from veskari.modules_veskari import NewDendrites, Processor, RecurrentProcessor, VSKNeuronModule
from veskari.modules_veskari import freeze_unread as _freeze_module

__all__ = ["LayerTypes", "MakeProcessor", "add_dendrites", "bypassed_children",
           "default_processor", "describe", "freeze_unread", "fresh_copy_factory",
           "named_neuron_modules", "neuron_modules", "wrap_layers", "wrap_module"]

_M = TypeVar("_M", bound=nn.Module)
_Layer: TypeAlias = type[nn.Module]
LayerTypes: TypeAlias = _Layer | list[_Layer] | tuple[_Layer, ...] | set[_Layer]
MakeProcessor: TypeAlias = Callable[[nn.Module], Processor | None]
# (path, parent, name under the parent, the wrapper)
_Wrapped: TypeAlias = tuple[str, nn.Module, str, VSKNeuronModule]


def default_processor(module: nn.Module) -> Processor | None:
    """A processor for layers whose output needs adapting, else None."""
    return RecurrentProcessor() if isinstance(module, nn.RNNBase) else None


def wrap_module(module: nn.Module, make_processor: MakeProcessor | None = None,
                layouts: Layouts | None = None) -> VSKNeuronModule:
    """Wrap one layer in a ``VSKNeuronModule`` with the inferred layout."""
    make_processor = make_processor or default_processor
    layout = layout_of(module, layouts)
    wrapper = VSKNeuronModule(module, list(layout.dimensions), layout.node_index,
                              processor=make_processor(module),
                              num_neurons=neuron_count(module, layout))
    # A network put in eval mode stays in it; the layer's own parts keep theirs.
    wrapper.training = module.training
    wrapper.dendrite_module.train(module.training)
    return wrapper


def wrap_layers(net: nn.Module, layer_types: LayerTypes,
                make_processor: MakeProcessor | None = None, *, example_inputs: Any = None,
                example_kwargs: dict[str, Any] | None = None,
                layouts: Layouts | None = None) -> nn.Module:
    """Replace, in place, every submodule of exactly one of ``layer_types``.

    Types match exactly, not by subclass. Existing neuron modules are not
    entered. PyTorch's layer types and Linear-like layers storing their
    weight transposed (GPT-2's ``Conv1D``) have a known output layout; for
    any other type pass ``layouts={type: [-1, 0]}`` (0 on the neuron axis;
    :class:`~veskari.layouts.OutputLayout` also takes the neuron count).
    A layer held under several names gets one wrapper under all of them.

    A layer whose weights are tied to another module's (an ``lm_head``
    sharing the input embeddings) is left as it is: wrapped, its weights
    would be saved under a new name, which breaks the tie that
    ``save_pretrained`` and ``tie_weights`` look for. So is a layer whose
    parent computes with its weights and never calls it, since its
    dendrites would change nothing. Both come with a
    :class:`LayerLeftUnwrappedWarning` naming them and why:

    * PyTorch's own such parents are known (``nn.MultiheadAttention``'s
      ``out_proj``; ``linear1``/``linear2`` of an ``nn.TransformerEncoderLayer``
      that can take its eval fast path);
    * for any other parent, pass ``example_inputs`` (one argument or a tuple)
      and/or ``example_kwargs``: one trial forward in eval mode, without
      grad, finds the wrapped layers that were never called.

    Returns ``net``, or its wrapper if ``net`` itself matched. Warns with
    :class:`NothingDoneWarning` when ``net`` holds no layer of those types.

    All or nothing: every wrapper (layout, neuron count) is made before the
    first is put in place, and an error, including one of the trial forward
    (which also checks each layer's real output width against its neuron
    count), puts every layer back: the network is left as it was.
    """
    types = _layer_types(layer_types)
    check_layouts(layouts)
    if make_processor is not None and not callable(make_processor):
        raise TypeError("wrap_layers' make_processor must be a function of the layer, got "
                        f"{type(make_processor).__name__}")
    if example_kwargs is not None and not isinstance(example_kwargs, Mapping):
        raise TypeError("wrap_layers' example_kwargs must be a dict of keyword arguments, got "
                        f"{type(example_kwargs).__name__}")
    if type(net) in types:
        return wrap_module(net, make_processor, layouts)
    if not any(type(m) in types for m in net.modules()):
        warnings.warn(f"wrap_layers found no layer of type {', '.join(t.__name__ for t in types)}"
                      " in the network (types match exactly, not by subclass)",
                      NothingDoneWarning, stacklevel=2)
        return net
    wrapped: list[_Wrapped] = []
    left: list[tuple[str, str]] = []
    walk = _Wrapping(types, lambda m: wrap_module(m, make_processor, layouts),
                     _parameter_holders(net), wrapped, left)
    walk.children(net, "")  # makes the wrappers; the network is not changed yet
    try:
        for _, parent, name, module in wrapped:
            child_table(parent)[name] = module
        if example_inputs is not None or example_kwargs is not None:
            never_called = _never_called(net, [m for _, _, _, m in wrapped],
                                         example_inputs, example_kwargs)
    except BaseException:
        for _, parent, name, module in wrapped:
            child_table(parent)[name] = module.main_module
        raise
    if example_inputs is not None or example_kwargs is not None:
        for path, parent, name, module in wrapped:
            if id(module) in never_called:
                child_table(parent)[name] = module.main_module
                left.append((path, f"{type(parent).__name__} did not call it in a trial forward "
                                   "(it computes with the layer's weights itself)"))
    if left:
        warnings.warn(LayerLeftUnwrappedWarning(_left_message(left), left), stacklevel=2)
    return net


def _layer_types(layer_types: LayerTypes) -> tuple[_Layer, ...]:
    types = tuple(layer_types) if isinstance(layer_types, (list, tuple, set)) else (layer_types,)
    for t in types:
        if not (isinstance(t, type) and issubclass(t, nn.Module)):
            raise TypeError(f"wrap_layers needs layer classes (e.g. nn.Linear), got {t!r} "
                            f"({type(t).__name__})")
    return types


def _left_message(left: list[tuple[str, str]]) -> str:
    by_reason: dict[str, list[str]] = {}
    for path, why in left:
        by_reason.setdefault(why, []).append(path)
    reasons = [f"{paths[0]}{f' and {len(paths) - 1} more' if len(paths) > 1 else ''}: {why}"
               for why, paths in list(by_reason.items())[:3]]
    return (f"wrap_layers left {some([p for p, _ in left])} unwrapped: " + "; ".join(reasons)
            + ("; ..." if len(by_reason) > 3 else "")
            + " (the warning's .layers has each one with its reason)")


def bypassed_children(parent: nn.Module) -> dict[str, str]:
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


def _fast_path_possible(layer: nn.TransformerEncoderLayer) -> bool:
    # The settings that rule the fast path out for good; the others vary per call.
    return bool(layer.activation_relu_or_gelu) and layer.self_attn.batch_first


def _parameter_holders(net: nn.Module) -> dict[int, list[tuple[int, str]]]:
    """``{id(parameter): [(id(module), path)]}``: which modules hold each parameter."""
    holders: dict[int, list[tuple[int, str]]] = {}
    for path, module in net.named_modules():
        for name, p in parameter_table(module).items():
            if p is not None:
                holders.setdefault(id(p), []).append((id(module), f"{path}.{name}".lstrip(".")))
    return holders


class _Wrapping:
    """One pass of wrap_layers over a network: the wrappers it would put in
    place (it puts none) and the layers it leaves."""

    def __init__(self, types: tuple[_Layer, ...], wrap: Callable[[nn.Module], VSKNeuronModule],
                 holders: dict[int, list[tuple[int, str]]], wrapped: list[_Wrapped],
                 left: list[tuple[str, str]]):
        self.types, self.wrap, self.holders = types, wrap, holders
        self.wrapped, self.left = wrapped, left
        # id(layer) -> its wrapper, for a layer held under several names
        self.made: dict[int, VSKNeuronModule] = {}

    def children(self, parent: nn.Module, prefix: str) -> None:
        bypassed = bypassed_children(parent)
        for name, child in list(child_table(parent).items()):
            path = prefix + name
            if id(child) in self.made:
                self.wrapped.append((path, parent, name, self.made[id(child)]))
            elif type(child) in self.types:
                why = bypassed.get(name) or self._tied(child)
                if why:
                    self.left.append((path, why))
                    continue
                module = self.made[id(child)] = self.wrap(child)
                self.wrapped.append((path, parent, name, module))
            elif child is not None and not isinstance(child, VSKNeuronModule):
                self.children(child, path + ".")

    def _tied(self, layer: nn.Module) -> str | None:
        for name, p in parameter_table(layer).items():
            others = [path for owner, path in self.holders.get(id(p), ()) if owner != id(layer)]
            if p is not None and others:
                return (f"its {name} is tied to {others[0]} (wrapped, it would be saved under "
                        "another name, and save_pretrained or tie_weights would lose the tie)")
        return None


def _never_called(net: nn.Module, modules: list[VSKNeuronModule], example_inputs: Any,
                  example_kwargs: dict[str, Any] | None) -> set[int]:
    """Ids of ``modules`` whose forward did not run in one eval-mode trial."""
    modes = [(m, m.training) for m in net.modules()]
    try:
        net.eval()
        _, called = trial_forward(net, positional(example_inputs), dict(example_kwargs or {}),
                                  "veskari.wrap_layers: raised by its trial forward on the "
                                  "example inputs")
    finally:
        for m, training in modes:
            m.training = training
    return {id(m) for m in modules} - called


def named_neuron_modules(net: nn.Module) -> list[tuple[str, VSKNeuronModule]]:
    """``(path, module)`` for every neuron module in ``net``, in module order."""
    return [(name, m) for name, m in net.named_modules() if isinstance(m, VSKNeuronModule)]


def neuron_modules(net: nn.Module) -> list[VSKNeuronModule]:
    """Every neuron module in ``net`` (including ``net`` itself), in module order."""
    return [m for _, m in named_neuron_modules(net)]


def fresh_copy_factory(layer: nn.Module, initialisers: Initialisers | None = None
                       ) -> Callable[[], nn.Module]:
    """Factory of re-initialised copies of ``layer`` (same configuration)."""
    def make() -> nn.Module:
        new = copy.deepcopy(layer)
        reinitialise(new, initialisers)
        return new
    return make


def add_dendrites(net: _M, k: int, seed: int = 0, init_scale: float = 0.1, *,
                  initialisers: Initialisers | None = None) -> _M:
    """Add ``k`` dendrites to every neuron module of ``net``.

    Each dendrite is a copy of its main layer, re-initialised by
    ``initialisers[type]`` (a function taking the layer), else by its own
    ``reset_parameters``; a layer type with neither starts its dendrites as
    copies of the trained weights, with a :class:`CopiedDendritesWarning`.
    Layers with a main processor get a fresh processor of the same type per
    dendrite. Everything random comes from ``seed``; the global RNG is left
    untouched. Warns with :class:`NothingDoneWarning` when ``net`` holds no
    neuron module.

    Afterwards the weights the training forward no longer reads (every
    ``dendrites_to_top`` entry but the last, the placeholder
    ``dendrites_to_dendrites[0]``) do not require grad, so
    ``DistributedDataParallel`` trains the network as it is; see
    :func:`freeze_unread`.

    All or nothing: every dendrite of every layer is made and checked (an
    initialiser must leave the copy's tensors as the layer's: same keys,
    shapes, dtypes and devices, finite values where the layer's are) before
    the first is attached, so an error, an initialiser's included, leaves
    the network as it was.
    """
    if type(k) is bool or not isinstance(k, numbers.Integral) or k < 0:
        raise TypeError(f"add_dendrites' k must be an int >= 0, got {type(k).__name__} {k!r}")
    _check_initialisers(initialisers)
    named = named_neuron_modules(net)
    if not named:
        warnings.warn("add_dendrites found no VSKNeuronModule in the network; wrap its layers "
                      "first (wrap_layers)", NothingDoneWarning, stacklevel=2)
    copied: dict[str, list[str]] = {}
    made: list[tuple[VSKNeuronModule, NewDendrites]] = []
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        for path, module in named:
            for name in uncovered_types(module.main_module, initialisers):
                copied.setdefault(name, []).append(path)
            proc = module.processor
            new = module.make_dendrites(
                int(k), fresh_copy_factory(module.main_module, initialisers),
                processor_factory=type(proc) if proc is not None else None,
                init_scale=init_scale)
            for layer in new.layers:
                _check_fresh(path, module.main_module, layer)
            made.append((module, new))
    for module, new in made:
        module.attach_dendrites(new)
    for name, paths in copied.items() if k > 0 else ():
        warnings.warn(
            f"add_dendrites: the dendrites of {some(paths)} start as copies of the trained "
            f"weights, since {name} has no reset_parameters; pass "
            f"add_dendrites(..., initialisers={{{name}: function}})", CopiedDendritesWarning,
            stacklevel=2)
    return net


def freeze_unread(net: _M) -> _M:
    """Stop every weight of ``net``'s neuron modules that the training forward
    never reads from requiring grad; returns ``net``.

    ``add_dendrites`` does this itself. Call it again after anything that
    sets every flag, such as ``net.requires_grad_(True)``, before wrapping
    the network in ``DistributedDataParallel``. The weights stay parameters
    under their keys with their values; no other flag changes.
    """
    for module in neuron_modules(net):
        _freeze_module(module)
    return net


def _check_initialisers(initialisers: object) -> None:
    if initialisers is None:
        return
    if not isinstance(initialisers, Mapping) or not all(
            isinstance(kind, type) and callable(rule) for kind, rule in initialisers.items()):
        raise TypeError("add_dendrites' initialisers= takes a dict {layer type: function "
                        "re-initialising such a layer in place}, got "
                        f"{type(initialisers).__name__} {initialisers!r}"[:300])


def _check_fresh(path: str, layer: nn.Module, fresh: nn.Module) -> None:
    """A dendrite's re-initialised copy must hold what its layer holds."""
    def tensors(module: nn.Module) -> dict[str, tuple[Any, ...]]:
        return {key: (tuple(t.shape), t.dtype, t.device) for key, t
                in module.state_dict(keep_vars=True).items() if isinstance(t, torch.Tensor)}

    want, got = tensors(layer), tensors(fresh)
    wrong = next((key for key in {**want, **got} if want.get(key) != got.get(key)), None)
    if type(fresh) is not type(layer) or wrong is not None:
        raise ValueError(
            f"add_dendrites: the initialiser left the dendrite copy of {path or '<root>'} "
            f"unlike its {type(layer).__name__}: "
            + (f"a {type(fresh).__name__}" if wrong is None else
               f"{wrong} is {_shown(got.get(wrong))}, the layer's {_shown(want.get(wrong))}")
            + " (an initialiser re-initialises the layer it is given in place)")
    trained = dict(layer.named_parameters())
    for name, p in fresh.named_parameters():
        if (p.is_floating_point() and not p.is_meta and not _finite(p)
                and name in trained and _finite(trained[name])):
            raise ValueError(f"add_dendrites: the initialiser left {name} of the dendrite copy "
                             f"of {path or '<root>'} with values that are not finite")


def _finite(tensor: torch.Tensor) -> bool:
    # In slices: a whole-size temporary raises the allocator's threshold for
    # handing memory back, which costs the rest of the conversion's peak.
    flat = tensor.detach().reshape(-1)
    return all(bool(torch.isfinite(part).all()) for part in flat.split(_FINITE_SLICE))


_FINITE_SLICE = 1 << 14


def _shown(tensor: tuple[Any, ...] | None) -> str:
    return "missing" if tensor is None else f"{tensor[0]} {tensor[1]} on {tensor[2]}"


def describe(net: nn.Module) -> str:
    """One line per neuron module: path, main layer type, dendrite count."""
    return "\n".join(
        f"{name or '<root>'}: {type(m.main_module).__name__} with {m.num_dendrites} dendrite(s)"
        for name, m in named_neuron_modules(net))
