"""Block-wise conversion: every ``VSKNeuronModule`` of a trained network
becomes a ``VSKLayer`` block, the intermediate form that
``clean_veskari.refresh_net`` turns into an inference network.

Documentation for editors and type checkers; the native functions carry no
docstrings of their own.
"""
from typing import Any, TypeVar

import torch
from torch import nn

from veskari.modules_veskari import VSKNeuronModule

_M = TypeVar("_M", bound=nn.Module)
_T = TypeVar("_T")

__test__: dict[str, Any]

class VSKLayer(nn.Module):
    """One trained neuron module as a block. It holds state only and has no
    ``forward``: calling it raises ``NotImplementedError`` until
    ``clean_veskari.refresh_net`` replaces it."""

    layer_array: nn.Sequential
    """The dendrite layers in cascade order, then the main layer."""
    processor_array: list[Any]
    """One processing object (or ``None``) per entry of ``layer_array``."""
    skip_weights: nn.ParameterList
    """Connection weights; entry 0 is unused. Absent without dendrite weights."""
    node_index: torch.Tensor
    """The neuron axis of the layer's output."""
    internal_nonlinearity: Any
    """The dendrite nonlinearity from the settings at construction time."""
    def __init__(
        self,
        layer_array: nn.Sequential,
        processor_array: list[Any],
        dendrites_to_top: nn.ParameterList,
        dendrites_to_dendrites: nn.ParameterList,
        node_index: torch.Tensor,
        num_cycles: torch.Tensor | None,
        view_tuple: list[int],
    ) -> None: ...

def blockwise_network(net: _M) -> _M:
    """Replace, in place, every ``VSKNeuronModule`` below ``net`` by a ``VSKLayer``.

    Returns ``net`` itself. Only exact ``VSKNeuronModule`` instances are
    converted, never ``net`` itself; members on the settings' skip list and
    sub-module names PyTorch's ``__dir__`` leaves out (names starting with a
    digit) are not reached. Anything else, converted or not, returns
    silently: ``veskari.convert`` runs both conversions and reports what it did.
    """

def optimize_module(net: _T, depth: int, name_so_far: str, converted_list: list[str]) -> _T:
    """One step of the walk behind ``blockwise_network``: converts the
    subtree of ``net`` (path name ``name_so_far``) and returns ``net``.
    ``converted_list`` collects the path names entered."""

def convert_to_vsk_layer_block(pretrained_dendrite: VSKNeuronModule) -> VSKLayer:
    """Build the ``VSKLayer`` of one trained neuron module (sharing its layers and weights)."""

def unWrap_params(model: nn.Module) -> None:
    """Remove the ``wrapped`` marker from every parameter of ``model``."""

def get_pretrained_vsk_attr(pretrained_dendrite: Any, member: str) -> Any:
    """``getattr(pretrained_dendrite, member)``, or ``None`` without a network."""

def get_pretrained_vsk_var(pretrained_dendrite: Any, submodule_id: Any) -> Any:
    """``pretrained_dendrite[submodule_id]``, or ``None`` without a network."""
