"""Networks built without their weights' memory, and the check that they were filled.

A large network is converted before its trained weights are loaded: built
with every parameter on the ``meta`` device (no storage), converted, then
filled from the checkpoint through ``report.translate``. Only parameters
may go to ``meta``. Buffers that a ``state_dict`` does not hold (the
non-persistent ones: position ids, rotary frequencies) are computed when the
network is built and never loaded again, so built on ``meta`` they stay
there, and the network answers NaN or fails deep inside PyTorch.
:func:`skeleton` keeps them real; :func:`check_loaded` names whatever is
still on ``meta``, and ``veskari.convert`` makes a network holding such
tensors run that check at its first call.
"""
from __future__ import annotations

import contextlib
import itertools
from collections.abc import Iterator
from typing import Any

from torch import nn
from torch.utils.hooks import RemovableHandle

from veskari._internal.torch_private import parameter_table

__all__ = ["check_loaded", "check_at_first_call", "skeleton"]


@contextlib.contextmanager
def skeleton() -> Iterator[None]:
    """Build networks inside it with their parameters on ``meta`` and their buffers real.

    Every parameter a module registers while the context is open is
    replaced by a parameter on ``meta`` of the same shape, dtype and
    ``requires_grad`` (the class becomes ``nn.Parameter``, as ``Module.to``
    makes it); one already on ``meta`` is kept as it is, so weights tied
    while building stay tied. Buffers and plain tensor attributes are
    computed as usual. Each parameter's memory is held only until its
    module registers it (``torch.empty`` does not touch it), and the
    initialisation that follows runs on ``meta``, costing nothing.

    Convert outside the context: a parameter the conversion creates would
    go to ``meta`` too. The context patches ``nn.Module.register_parameter``
    for the whole process while it is open, so modules other threads build
    meanwhile go to ``meta`` as well.
    """
    register = nn.Module.register_parameter

    def register_on_meta(self: nn.Module, name: str, param: nn.Parameter | None) -> None:
        register(self, name, param)
        held = parameter_table(self).get(name)
        if (held is not None and not held.is_meta
                and not isinstance(held, nn.parameter.UninitializedParameter)):
            parameter_table(self)[name] = nn.Parameter(held.detach().to("meta"),
                                                         held.requires_grad)

    nn.Module.register_parameter = register_on_meta  # type: ignore[method-assign]
    try:
        yield
    finally:
        nn.Module.register_parameter = register  # type: ignore[method-assign]


def left_on_meta(net: nn.Module) -> list[tuple[str, str]]:
    """``(name, "parameter" or "buffer")`` of every tensor of ``net`` on ``meta``."""
    named = itertools.chain(
        ((name, "parameter", t) for name, t in net.named_parameters(remove_duplicate=False)),
        ((name, "buffer", t) for name, t in net.named_buffers(remove_duplicate=False)))
    return [(name, kind) for name, kind, t in named if t.is_meta]


def check_loaded(net: nn.Module) -> None:
    """Raise ``ValueError`` naming the parameters and buffers of ``net``
    (all of them, non-persistent buffers included) still on ``meta``."""
    left = left_on_meta(net)
    if not left:
        return
    shown = ", ".join(f"{name or '<root>'} ({kind})" for name, kind in left[:3])
    more = ", ..." if len(left) > 3 else ""
    hints = []
    if any(kind == "buffer" for _, kind in left):
        hints.append("a buffer on meta was built there and no checkpoint holds it: build the "
                     "network inside veskari.skeleton(), which keeps buffers real")
    if any(kind == "parameter" for _, kind in left):
        hints.append("a parameter on meta was never loaded: load every shard of the checkpoint "
                     "through report.translate (tied weights: call tie_weights() after loading)")
    raise ValueError(f"veskari: {len(left)} tensor(s) of the network are still on the meta "
                     f"device, which holds no values ({shown}{more}); " + "; ".join(hints))


class _FirstCallCheck:
    """Forward pre-hook running :func:`check_loaded` until it passes once."""

    def __init__(self) -> None:
        self.handle: RemovableHandle | None = None

    def __call__(self, module: nn.Module, args: Any) -> None:
        check_loaded(module)
        if self.handle is not None:
            self.handle.remove()


def check_at_first_call(net: nn.Module) -> None:
    """Make ``net`` run :func:`check_loaded` before computing its first output,
    if it holds a tensor on ``meta``; the check goes once it has passed."""
    if left_on_meta(net):
        hook = _FirstCallCheck()
        hook.handle = net.register_forward_pre_hook(hook, prepend=True)
