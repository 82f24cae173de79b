"""Where the neurons are in a layer's output, and how big that axis is.

``wrap_layers`` needs both for every type it wraps. The layer types of
PyTorch are known by class; a Linear-like layer that stores its weight
transposed (``(in, out)``, as GPT-2's ``Conv1D`` does) is recognised by its
shape alone, so no other library needs importing to know it; any other type
takes a layout from the caller.
"""
from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass

import torch
from torch import nn

from veskari._internal.torch_private import ConvBase, parameter_table

__all__ = ["LINEAR", "Layouts", "OutputLayout", "is_transposed_linear", "known_layout",
           "layout_of", "neuron_count"]


@dataclass(frozen=True)
class OutputLayout:
    """The layout of a layer type's output, given to ``wrap_layers(layouts=...)``.

    ``dimensions`` has one entry per output axis, 0 on the neuron axis and
    -1 elsewhere (``[-1, 0]`` when the neurons are last, as after a Linear).
    ``neurons`` gives the size of that axis for one layer, when the layer
    has none of the usual attributes (``out_features``, ``out_channels``).
    """

    dimensions: Sequence[int]
    neurons: Callable[[nn.Module], int] | None = None

    @property
    def node_index(self) -> int:
        dims = list(self.dimensions)
        if dims.count(0) != 1 or any(d not in (0, -1) for d in dims):
            raise ValueError(f"an output layout needs -1 entries and exactly one 0 (the neuron "
                             f"axis), got {dims}")
        return dims.index(0)


# What a caller may give per type: the layout, or just its dimensions.
Layouts = Mapping[type, OutputLayout | Sequence[int]]

LINEAR = OutputLayout([-1, 0])


def is_transposed_linear(module: nn.Module) -> bool:
    """A Linear-like layer whose weight is stored ``(in, out)``, with the
    output width in ``nf`` (GPT-2's ``Conv1D`` and its copies)."""
    weight = parameter_table(module).get("weight")
    bias = parameter_table(module).get("bias")
    nf = module.__dict__.get("nf")
    return (isinstance(weight, torch.Tensor) and weight.dim() == 2
            and isinstance(nf, int) and weight.shape[1] == nf
            and (bias is None or tuple(bias.shape) == (nf,)))


def known_layout(module: nn.Module) -> OutputLayout | None:
    """The layout of PyTorch's own layer types and of transposed Linears."""
    if isinstance(module, nn.Linear) or is_transposed_linear(module):
        return LINEAR
    if isinstance(module, ConvBase):
        return OutputLayout([-1, 0] + [-1] * len(module.kernel_size))
    if isinstance(module, nn.RNNBase):
        # (B, T, H) and (T, B, H) both keep the neurons last.
        return OutputLayout([-1, -1, 0])
    return None


_LAYOUTS_FORM = ("layouts= takes a dict {layer type: OutputLayout or a list of -1/0 entries}, "
                 "e.g. {MyLayer: [-1, 0]}")


def check_layouts(layouts: object) -> None:
    """``TypeError`` unless ``layouts`` is None or of the form :data:`Layouts`."""
    if layouts is None:
        return
    if not isinstance(layouts, Mapping):
        raise TypeError(f"{_LAYOUTS_FORM}; got a {type(layouts).__name__}")
    for kind, given in layouts.items():
        if not isinstance(kind, type):
            raise TypeError(f"{_LAYOUTS_FORM}; got the key {kind!r}, which is not a type")
        dims = given.dimensions if isinstance(given, OutputLayout) else given
        if isinstance(dims, (str, bytes)) or not isinstance(dims, Sequence) or not all(
                type(d) is int for d in dims):
            raise TypeError(f"{_LAYOUTS_FORM}; got {given!r} for {kind.__name__}")
        if isinstance(given, OutputLayout) and not (given.neurons is None
                                                    or callable(given.neurons)):
            raise TypeError(f"OutputLayout.neurons for {kind.__name__} must be a function of "
                            f"the layer, got {type(given.neurons).__name__}")


def layout_of(module: nn.Module, layouts: Layouts | None = None) -> OutputLayout:
    """The caller's layout for the module's type, else the known one."""
    check_layouts(layouts)
    given = (layouts or {}).get(type(module))
    if given is not None:
        return given if isinstance(given, OutputLayout) else OutputLayout(list(given))
    known = known_layout(module)
    if known is None:
        raise ValueError(
            f"no known output layout for {type(module).__name__}; pass "
            f"wrap_layers(..., layouts={{{type(module).__name__}: [-1, 0]}}) with 0 on the "
            "neuron axis of its output (veskari.layouts.OutputLayout also takes the neuron "
            "count)")
    return known


def neuron_count(module: nn.Module, layout: OutputLayout | None = None) -> int:
    """Size of the neuron axis of a layer's output."""
    if layout is not None and layout.neurons is not None:
        return positive_count(layout.neurons(module),
                              f"the layout's neurons({type(module).__name__})")
    if isinstance(module, nn.RNNBase):
        size = module.proj_size or module.hidden_size
        return positive_count(size * (2 if module.bidirectional else 1),
                              f"the width of {type(module).__name__}")
    if is_transposed_linear(module):
        return positive_count(module.__dict__["nf"], f"{type(module).__name__}.nf")
    for name in ("out_features", "out_channels"):
        value = getattr(module, name, None)
        if isinstance(value, int):
            return positive_count(value, f"{type(module).__name__}.{name}")
    raise ValueError(f"cannot infer the neuron count of {type(module).__name__}; pass "
                     "num_neurons (or wrap_layers(..., layouts={type: "
                     "OutputLayout(dims, neurons=...)}))")


def positive_count(value: object, what: str) -> int:
    """``value`` if it is a positive int (not a bool, not a float); else an
    error naming ``what``."""
    if type(value) is bool or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be a positive int (a neuron count), got "
                        f"{type(value).__name__} {value!r}")
    if value <= 0:
        raise ValueError(f"{what} must be a positive int (a neuron count), got {value}")
    return int(value)


def reset_transposed_linear(module: nn.Module) -> None:
    """nn.Linear's own initialisation, applied to a weight stored ``(in, out)``."""
    weight = parameter_table(module)["weight"]
    bias = parameter_table(module).get("bias")
    assert weight is not None
    with torch.no_grad():
        nn.init.kaiming_uniform_(weight.T, a=math.sqrt(5))
        if bias is not None:
            bound = 1 / math.sqrt(weight.shape[0]) if weight.shape[0] > 0 else 0
            nn.init.uniform_(bias, -bound, bound)
