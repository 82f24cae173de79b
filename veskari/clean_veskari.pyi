"""Clean conversion: block layers (``VSKLayer``) become ``VSKModulePyThread``
modules whose native ``forward`` runs every branch and merges the dendrite
outputs. Set ``doing_threading = True`` to run one thread per branch.

Documentation for editors and type checkers; the native functions carry no
docstrings of their own.
"""
from typing import Any, TypeVar, overload

import torch
from torch import nn

from veskari.blockwise_veskari import VSKLayer

_M = TypeVar("_M", bound=nn.Module)
_T = TypeVar("_T")

__test__: dict[str, Any]

doing_threading: bool
"""When true at the start of a forward call, each branch runs on its own thread."""

class VSKModulePyThread(nn.Module):
    """Inference form of one dendrite-augmented layer.

    Built from a ``VSKLayer``; shares its layers, processing objects and
    weights, and keeps a private copy of the neuron-axis tensor.
    """

    layer_array: nn.Sequential
    """The branch layers: dendrite layers in cascade order, the main layer last."""
    processor_array: list[Any]
    """One processing object (or ``None``) per branch, in the order of ``layer_array``."""
    skip_weights: nn.ParameterList
    """Connection weights; entry k feeds branches 0..k into branch k + 1.
    Absent when the block had no weights."""
    view_tuple: torch.Tensor
    """The shape that lays a skip-weight row along the neuron axis."""
    def __init__(self, original_module: nn.Module) -> None:
        """Take over the branches, processors and weights of a ``VSKLayer``."""
    def process_and_forward(self, *args2: Any, **kwargs2: Any) -> None:
        """Run one dendrite branch: ``(c, dendrite_outs, *inputs, **kwargs)``;
        stores the result in ``dendrite_outs[c]``."""
    def process_and_pre(self, *args: Any, **kwargs: Any) -> None:
        """Run the main branch: ``(dendrite_outs, *inputs, **kwargs)``; stores
        the result in the last slot of ``dendrite_outs``."""
    def forward(self, *args: Any, **kwargs: Any) -> Any:
        """Evaluate every branch, merge the dendrite outputs in cascade order
        and return the main branch's processed result."""

ModuleType: type[VSKModulePyThread]
"""The class ``make_module`` instantiates; rebinding it redirects every conversion."""

@overload
def refresh_net(pretrained_dendrite: VSKLayer) -> VSKModulePyThread: ...
@overload
def refresh_net(pretrained_dendrite: _M) -> _M:
    """Replace, in place, every ``VSKLayer`` in the network by a ``VSKModulePyThread``.

    Returns the network to use: the same object, unless the network itself
    is a ``VSKLayer`` (then a new ``VSKModulePyThread``). Run
    ``blockwise_veskari.blockwise_network`` first: a network without block
    layers comes back unchanged, silently. ``veskari.convert`` runs both
    conversions and reports what it did.
    """

def refresh_vsk(
    net: _T, depth: int, name_so_far: str, converted_list: list[str]
) -> _T | VSKModulePyThread:
    """One step of the walk behind ``refresh_net``: converts the subtree of
    ``net`` (path name ``name_so_far``) and returns what stands in its place.
    ``converted_list`` collects the path names entered."""

def make_module(module: nn.Module) -> VSKModulePyThread:
    """Convert one ``VSKLayer``: ``ModuleType(module)``."""

def get_pretrained_vsk_attr(pretrained_dendrite: Any, member: str) -> Any:
    """``getattr(pretrained_dendrite, member)``, or ``None`` without a network."""

def get_pretrained_vsk_var(pretrained_dendrite: Any, submodule_id: str) -> Any:
    """``pretrained_dendrite.get_submodule(submodule_id)``, or ``None`` without a network."""
