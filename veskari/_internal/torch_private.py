"""Every private PyTorch name the package uses, in one place.

A PyTorch upgrade that moves one of them breaks this module's import, not a
forward pass somewhere else. Public APIs are used wherever PyTorch has one;
what is here has none, or its public form costs a Python call the hot path
cannot afford. The native ``_prepared`` module fetches its tracer and mode
probes from here at start-up. Not here, because a subclass must override
them under their own names: ``nn.Module._apply`` and
``nn.Module._load_from_state_dict`` (``veskari.inference``).
"""
from __future__ import annotations

from typing import Any

import torch
import torch.utils._pytree as pytree
from torch import nn
from torch.fx import _symbolic_trace as fx_symbolic_trace

__all__ = [
    "ConvBase", "DropoutBase", "NormBase", "are_functorch_transforms_active",
    "autocast_supported_devices", "buffer_table", "child_table", "forward_ad",
    "fx_symbolic_trace", "is_jit_tracing", "is_torch_function_mode_enabled",
    "len_torch_dispatch_stack", "parameter_table", "pytree", "write_count",
]

# The bases of PyTorch's dropout, batch-norm-like and convolution layers.
DropoutBase = nn.modules.dropout._DropoutNd
NormBase = nn.modules.batchnorm._NormBase
ConvBase = nn.modules.conv._ConvNd

# The device types autocast can run on (the threaded forward's oracle carries
# the caller's autocast state for each into its threads).
autocast_supported_devices = torch._C._autocast_supported_devices

# torch.jit.is_tracing() is the public form, a Python function that asks
# is_scripting() (always False outside TorchScript) and then this; the
# prepared forward asks on every call, so it takes this C function directly.
is_jit_tracing = torch._C._is_tracing
# fx_symbolic_trace's _is_fx_tracing_flag and is_fx_symbolic_tracing tell an
# fx trace is running; there is no public probe of either.
# None when this PyTorch lacks them: the prepared forward then never uses a plan.
is_torch_function_mode_enabled = getattr(torch._C, "_is_torch_function_mode_enabled", None)
len_torch_dispatch_stack = getattr(torch._C, "_len_torch_dispatch_stack", None)
# Whether torch.func's grad, vmap, jvp or functionalize is running; None as above.
are_functorch_transforms_active = getattr(torch._C, "_are_functorch_transforms_active", None)
# The forward-mode AD API's module: its _current_level (-1 outside every
# dual_level()) tells whether a tensor can carry a tangent; there is no public
# probe. Read at each call; without it, no plan is used either.
forward_ad = torch.autograd.forward_ad


# A module's own tables, read without Module.__getattr__: through it a
# module being unpickled (its tables not yet set) would recurse, and a
# wrapper's forwarding __getattr__ would be asked first.
def parameter_table(module: nn.Module) -> dict[str, Any]:
    """The module's own parameters by name (None for a registered absent one)."""
    return module.__dict__.get("_parameters", {})


def buffer_table(module: nn.Module) -> dict[str, Any]:
    """The module's own buffers by name."""
    return module.__dict__.get("_buffers", {})


def child_table(module: nn.Module) -> dict[str, Any]:
    """The module's children by name; writing to it replaces a child."""
    return module.__dict__.get("_modules", {})


def write_count(tensor: torch.Tensor) -> int:
    """The tensor's in-place write counter (shared by views of its storage)."""
    return int(tensor._version)
