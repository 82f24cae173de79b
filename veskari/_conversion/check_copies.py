"""Copies of a network for the conversion check that hold no second set of weights.

The check runs a trained and a converted copy of the caller's network. A
deep copy would duplicate every parameter, twice, which on a large model is
the difference between converting and running out of memory. Here each
copy has its own module tree, containers, processors and ``Parameter``
objects (the conversion renames, appends to and rebinds those), but the
parameters' tensors share the caller's storage: the conversion never writes
tensor data. Buffers are cloned, since a forward may update them in place
(BatchNorm statistics in training mode), and the caller's must not move.
"""
from __future__ import annotations

import copy
from typing import Any, TypeVar

import torch
from torch import nn

from veskari._internal.torch_private import buffer_table, parameter_table, pytree, write_count

__all__ = ["own_inputs", "parameter_versions", "sharing_copy", "written_parameters"]

_M = TypeVar("_M", bound=nn.Module)

COPY_NOTE = ("veskari.convert copies the network to check it on the example inputs; "
             "convert(net) without example_inputs/example_kwargs does not copy it (the "
             "network is then converted unchecked)")


def sharing_copy(net: _M) -> _M:
    """A deep copy of ``net`` whose parameters share the storage of ``net``'s."""
    memo: dict[int, Any] = {}
    for module in net.modules():
        for param in parameter_table(module).values():
            if type(param) is nn.Parameter and id(param) not in memo:
                memo[id(param)] = _sharing_parameter(param)
        for buffer in buffer_table(module).values():
            if buffer is not None and id(buffer) not in memo:
                memo[id(buffer)] = buffer.clone()
    try:
        return copy.deepcopy(net, memo)
    except Exception as err:
        err.add_note(COPY_NOTE)
        raise


def _sharing_parameter(param: nn.Parameter) -> nn.Parameter:
    shared = nn.Parameter(param.detach(), param.requires_grad)
    # Attributes set on the parameter (the converter deletes one of them) are
    # the copy's own, so removing them leaves the caller's in place.
    shared.__dict__.update(param.__dict__)
    return shared


def parameter_versions(net: nn.Module) -> dict[str, int]:
    """Each parameter's write counter (shared with the sharing copies' tensors)."""
    return {name: write_count(param) for name, param in net.named_parameters()
            if not param.is_inference()}


def written_parameters(net: nn.Module, versions: dict[str, int]) -> list[str]:
    """Names of the parameters written in place since ``versions`` was taken."""
    return [name for name, param in net.named_parameters()
            if name in versions and write_count(param) != versions[name]]


def own_inputs(value: Any) -> Any:
    """A copy of example inputs for one trial run, which may modify it in place."""
    try:
        return copy.deepcopy(value)
    except Exception:
        # Tensors that refuse deep copies (non-leaf tensors needing grad)
        # still clone; what holds them is rebuilt by pytree.
        return pytree.tree_map_only(
            torch.Tensor, lambda tensor: tensor.detach().clone(), value)
